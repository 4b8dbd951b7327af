#include "ops/admin_ops.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "db/game.h"
#include "db/game_swap.h"
#include "db/generation.h"
#include "db/layout.h"
#include "db/load.h"
#include "db/refresh.h"
#include "lib/conv.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "ops/admin_internal.h"

namespace fs = std::filesystem;

using admin_internal::done;
using admin_internal::find_record;
using admin_internal::label;
using admin_internal::path_taken;

admin_result admin_remove(int32_t id) {
  refusable<game_info> g = find_record(id);
  if (!g) return admin_refusal(g.message());
  const std::string target = trashed_game_dir(game_root, id);
  if (path_taken(target)) {
    return admin_refusal("the trash already holds a " + label(id) + ": nothing removed");
  }
  const std::string trash = trash_root(game_root);
  const bool made = !dir_exists(trash);
  make_dirs(trash);
  if (made) sync_dir(game_root);
  // Out of the list first, so that no list shows a game whose directory has gone; the game's
  // lock keeps its moves and downloads out meanwhile.
  {
    mutex_lock lock(db_lock);
    games[static_cast<size_t>(id)].reset();
    bump_game_generation(static_cast<size_t>(id));
  }
  try {
    rename_path(game_dir(game_root, id), target);
  } catch (...) {
    publish_game(*g);
    throw;
  }
  sync_dir(trash);
  sync_dir(game_root);
  return done("removed " + label(id) + " to " + target);
}

admin_result admin_restore(int32_t id) {
  const std::string source = trashed_game_dir(game_root, id);
  if (id < 0 || id > max_game_id || !dir_exists(source)) {
    return admin_refusal("the trash holds no " + label(id));
  }
  const std::string live = game_dir(game_root, id);
  const admin_result taken = admin_refusal(label(id) + " exists: nothing restored");
  if (copy_game(id) || path_taken(live)) return taken;
  game_info record;
  read_game_record(trash_root(game_root), id, &record);  // read where it lies
  {
    // The slot is checked and filled, and the directory renamed, in one hold of db_lock: a
    // creation checks the same slot and path under it.
    mutex_lock lock(db_lock);
    const auto slot = static_cast<size_t>(id);
    if ((slot < games.size() && games[slot]) || path_taken(live)) return taken;
    rename_path(source, live);
    if (slot >= games.size()) games.resize(slot + 1);
    games[slot] = std::make_unique<game_info>(record);
    bump_game_generation(slot);
  }
  sync_dir(game_root);
  sync_dir(trash_root(game_root));
  return done("restored " + label(id), record);
}

admin_result admin_snapshot(const std::string& dir) {
  std::string trimmed = dir;
  while (trimmed.size() > 1 && trimmed.ends_with('/')) trimmed.pop_back();
  if (trimmed.empty()) return admin_refusal("snapshot needs a directory");
  if (path_taken(trimmed)) return admin_refusal(trimmed + " exists: nothing written");
  const fs::path target(trimmed);
  const std::string parent =
      target.has_parent_path() ? target.parent_path().string() : std::string(".");
  struct stat parent_st, games_st;
  if (::stat(parent.c_str(), &parent_st) != 0 || !S_ISDIR(parent_st.st_mode)) {
    return admin_refusal(parent + " is not a directory: nothing written");
  }
  if (::access(parent.c_str(), W_OK | X_OK) != 0) {
    return admin_refusal(parent + " is not writable: nothing written");
  }
  if (::stat(game_root, &games_st) == 0 && games_st.st_dev != parent_st.st_dev) {
    return admin_refusal(parent + " is on another file system than " + game_root +
                         ": a snapshot is made of hard links; make it beside the games and " +
                         "copy it elsewhere afterwards");
  }
  const std::string building =
      parent + "/." + target.filename().string() + ".snapshot." + std::to_string(::getpid());
  std::error_code ec;
  fs::remove_all(building, ec);
  std::vector<int32_t> ids;
  {
    mutex_lock lock(db_lock);
    for (size_t k = 0; k < games.size(); ++k) {
      if (games[k]) ids.push_back(static_cast<int32_t>(k));
    }
  }
  int32_t count = 0;
  int files = 0;
  try {
    make_dirs(building + "/" + game_root);
    // Each game is linked under its own lock, so it is caught between two changes, never in the
    // middle of one; the sync, the long part, holds no lock at all.
    for (int32_t id : ids) {
      mutex_lock hold(game_lock(id));
      if (!copy_game(id)) continue;  // removed meanwhile
      files += link_tree(game_dir(game_root, id), game_dir(building + "/" + game_root, id));
      ++count;
    }
    // One sync of the file system, not one per directory: 10,000 games have 20,000 of them.
    sync_file_system(building);
    rename_path(building, trimmed);
    sync_dir(parent);
  } catch (...) {
    fs::remove_all(building, ec);
    throw;
  }
  return done("snapshot of " + int_to_str(count) + " games (" + std::to_string(files) +
              " files) in " + trimmed);
}

admin_result admin_refresh() {
  refresh_games(game_root);
  write_log("UPD", "Status refresh.");
  mutex_lock lock(db_lock);
  return done("refreshed " + int_to_str(count_open_games()) + " open and " +
              int_to_str(count_finished_games()) + " finished games");
}
