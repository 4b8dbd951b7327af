#include "ops/create.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "db/game.h"
#include "db/game_files.h"
#include "db/layout.h"
#include "db/refresh.h"
#include "db/save_read.h"
#include "db/turn_times.h"
#include "lib/file_io.h"
#include "lib/metrics.h"
#include "lib/mutex.h"
#include "ops/game_id.h"
#include "save/zts_save.h"

namespace {

// Creations run side by side and share game_server/.new: the last one out removes it, so that
// it is never removed under another creation that is building its game there.
annotated_mutex staging_mutex;
int staging_users GUARDED_BY(staging_mutex) = 0;

// Counts a creation in as a user of game_server/.new for its scope.
struct staging_use {
  staging_use() EXCLUDES(staging_mutex) {
    mutex_lock lock(staging_mutex);
    ++staging_users;
  }
  ~staging_use() EXCLUDES(staging_mutex) {
    mutex_lock lock(staging_mutex);
    if (--staging_users > 0) return;
    std::error_code ec;
    std::filesystem::remove(staging_root(game_root), ec);  // empty again; a failure harms nothing
  }
  staging_use(const staging_use&) = delete;
  staging_use& operator=(const staging_use&) = delete;
};

// Fills the new record from the decoded first save.
void fill_new_game(game_info& g, const gametyp& gam, const std::string& first_file) {
  g.name = gam.name;
  g.descr = gam.descr;
  take_settings(gam, &g);
  g.status = gam.moratorium > 0 ? status_opening : status_playing;
  g.lastfile = first_file;
  take_players(gam, &g);
  g.plr_states.assign(g.teams.size(), true);  // everyone starts in the game, whatever the save says
  make_texts_storable(&g);
}

bool path_taken(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// A new game is built whole in game_server/.new/game_<id>/ and then renamed into place, so a
// crash at any moment leaves either no game or a complete one. The loader only reads names that
// start with "game_"; a leftover of a crash is cleared by the next creation of that id.
// Takes a half-created game back out: its slot (given back when it is the last one; a slot that
// a later creation holds beyond it stays empty), its staged and final directory, and the root
// too when this creation made it and it is empty again.
void undo_create(int32_t id, bool root_existed) noexcept EXCLUDES(db_lock) {
  {
    mutex_lock lock(db_lock);
    if (static_cast<size_t>(id) + 1 == games.size()) games.resize(id);
  }
  std::error_code ec;
  std::filesystem::remove_all(staged_game_dir(game_root, id), ec);
  std::filesystem::remove_all(game_dir(game_root, id), ec);
  if (!root_existed) std::filesystem::remove(game_root, ec);
}

// Writes the first save and the text files of `g` into its staged directory, then moves that
// directory to game_server/game_<id> and makes the move durable.
void write_new_game(const game_info& g, const std::string& save) {
  const std::string staging = staging_root(game_root);
  const std::string staged = staged_game_dir(game_root, g.id);
  std::filesystem::remove_all(staged);
  make_dirs(turns_dir(staging, g.id));
  sync_dir(".");
  sync_dir(game_root);
  sync_dir(staging);
  sync_dir(staged);
  write_file_atomic(newest_save_path(staging, g), save);
  save_game_files(staging, g);
  if (::rename(staged.c_str(), game_dir(game_root, g.id).c_str()) != 0) {
    throw io_error(errno_message("cannot rename", staged));
  }
  sync_dir(game_root);
}

}  // namespace

op_result create_party(const std::string& req_body) {
  auto gam = std::make_unique<gametyp>();  // large: keep it off the worker's stack
  std::string why;
  if (!read_game_save(gam.get(), req_body, &why)) {
    return op_refusal("ZTXS Server failed to parse new game data file (" + why + ")");
  }
  int32_t id = 0;
  {
    mutex_lock lock(db_lock);
    id = static_cast<int32_t>(games.size());
    // Anything at that path, not only a directory: the undo below must never remove what this
    // creation did not make.
    if (path_taken(game_dir(game_root, id))) {
      return op_refusal("ZTXS This game ID is already used");
    }
    // The slot is taken now and stays empty, unlisted and unknown to the other operations,
    // until the game is whole on disk.
    games.emplace_back();
  }
  const bool root_existed = path_taken(game_root);
  const std::string first_file = turn_file_name(0, 0, gam->moratorium > 0);

  game_info g;
  g.id = id;
  fill_new_game(g, *gam, first_file);
  note_request_game(id);
  mutex_lock hold(game_lock(id));
  try {
    staging_use staging;  // left before the undo below, which may remove the root
    try {
      write_new_game(g, req_body);
    } catch (...) {
      std::error_code ec;  // emptied before it is left, so that the last one out can remove it
      std::filesystem::remove_all(staged_game_dir(game_root, id), ec);
      throw;
    }
  } catch (...) {
    undo_create(id, root_existed);
    throw;
  }
  publish_game(g);
  remember_save_stamp(newest_save_path(game_root, g), gam->save_time);
  // Tests reuse ids in fresh directories; a new game's times start from its own first save.
  forget_turn_times(id);
  count_game_created();
  return op_page_utf8("ZTXS\n00\nOK\n");
}
