#include "db/game_swap.h"

#include <fcntl.h>
#include <stdio.h>

#include <filesystem>

#include "db/layout.h"
#include "lib/file_io.h"

namespace fs = std::filesystem;

int link_tree(const std::string& from, const std::string& to) {
  make_dirs(to);
  int files = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(from)) {
    const std::string name = entry.path().filename().string();
    if (is_leftover_temporary(name) || is_spare(name)) continue;
    const std::string target = to + "/" + name;
    if (entry.is_directory()) {
      files += link_tree(entry.path().string(), target);
    } else {
      link_file_atomic(entry.path().string(), target);
      ++files;
    }
  }
  return files;
}

void sync_tree(const std::string& dir) {
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    if (entry.is_directory()) sync_tree(entry.path().string());
  }
  sync_dir(dir);
}

void swap_game_files(const std::string& root, int32_t id,
                     const std::function<void(const std::string& staged)>& edit) {
  const std::string live = game_dir(root, id);
  const std::string staged = swap_game_dir(root, id);
  std::error_code ec;
  fs::remove_all(staged, ec);  // a stale tree of an earlier crash
  try {
    link_tree(live, staged);
    edit(staged);
    sync_tree(staged);
    sync_dir(fs::path(staged).parent_path().string());
    if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, live.c_str(), RENAME_EXCHANGE) != 0) {
      throw io_error(errno_message("cannot exchange " + staged + " with", live));
    }
  } catch (...) {
    fs::remove_all(staged, ec);
    throw;
  }
  try {
    sync_dir(root);
  } catch (const io_error&) {
    // The exchange is done and journaled by the file system; the game is the new version.
  }
  fs::remove_all(staged, ec);
}
