#include "db/game_swap.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "db/layout.h"
#include "lib/file_io.h"

namespace fs = std::filesystem;

namespace {

// link_tree below `to`, which exists and is empty: nothing is in the way of a name, so each file
// takes one link() and each directory one mkdir().
int link_into(const std::string& from, const std::string& to) {
  int files = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(from)) {
    const std::string name = entry.path().filename().string();
    if (is_leftover_temporary(name) || is_spare(name)) continue;
    const std::string target = to + "/" + name;
    if (entry.is_directory()) {
      if (::mkdir(target.c_str(), 0755) != 0) {
        throw io_error(errno_message("cannot create directory", target));
      }
      files += link_into(entry.path().string(), target);
    } else {
      if (::link(entry.path().c_str(), target.c_str()) != 0) {
        throw io_error(errno_message("cannot link " + entry.path().string() + " to", target));
      }
      ++files;
    }
  }
  return files;
}

}  // namespace

int link_tree(const std::string& from, const std::string& to) {
  if (dir_exists(to)) throw io_error(to + " exists: nothing linked into it");
  make_dirs(to);
  return link_into(from, to);
}

void sync_tree(const std::string& dir) {
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    if (entry.is_directory()) sync_tree(entry.path().string());
  }
  sync_dir(dir);
}

void sync_file_system(const std::string& path) {
  unique_fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.fd < 0) throw io_error(errno_message("cannot open", path));
  if (::syncfs(fd.fd) != 0) throw io_error(errno_message("cannot sync the file system of", path));
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
