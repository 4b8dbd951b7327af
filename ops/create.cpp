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
#include "lib/file_io.h"
#include "lib/metrics.h"
#include "lib/mutex.h"
#include "ops/game_id.h"
#include "save/zts_save.h"

namespace {

// One creation at a time, held across its disk writes: creations share game_server/.new, which
// each removes when it is done. Moves, downloads and readers never take it.
annotated_mutex create_lock;

// Fills the new record from the decoded first save.
void fill_new_game(game_info& g, const gametyp& gam, const std::string& first_file) {
  g.name = gam.name;
  g.descr = gam.descr;
  g.map = gam.map;
  g.plr_cnt = gam.plr_cnt;
  g.money = gam.money;
  g.resource = gam.resource;
  g.moratorium = gam.moratorium;
  g.uniset = gam.uniset;
  for (size_t i = 0; i < g.rules.size(); ++i) g.rules[i] = gam.rule_bytes[i] ? 1 : 0;
  g.status = gam.moratorium > 0 ? 1 : 0;
  g.lastfile = first_file;
  for (int32_t i = 0; i < gam.plr_cnt; ++i) {
    g.teams.push_back(gam.plrs[i].team_name);
    g.colors.push_back(color_text(gam.plrs[i]));
    g.plr_states.push_back(true);  // everyone starts in the game, whatever the save says
  }
  make_texts_storable(&g);
}

bool path_taken(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// A new game is built whole in game_server/.new/game_<id>/ and then renamed into place, so a
// crash at any moment leaves either no game or a complete one. The loader only reads names that
// start with "game_"; a leftover of a crash is cleared by the next creation of that id.
// Takes a half-created game back out: its slot (the last one: creations take turns), its staged
// and final directory, and the root too when this creation made it and it is empty again.
void undo_create(int32_t id, bool root_existed) noexcept REQUIRES(create_lock) EXCLUDES(db_lock) {
  {
    mutex_lock lock(db_lock);
    if (static_cast<size_t>(id) < games.size()) games.resize(id);
  }
  std::error_code ec;
  std::filesystem::remove_all(staged_game_dir(game_root, id), ec);
  std::filesystem::remove(staging_root(game_root), ec);
  std::filesystem::remove_all(game_dir(game_root, id), ec);
  if (!root_existed) std::filesystem::remove(game_root, ec);
}

// Writes the first save and the text files of `g` into its staged directory, then moves that
// directory to game_server/game_<id> and makes the move durable.
void write_new_game(const game_info& g, const std::string& save) REQUIRES(create_lock) {
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
  std::error_code ec;
  std::filesystem::remove(staging, ec);  // empty again; a failure here harms nothing
}

}  // namespace

op_result create_party(const std::string& req_body) {
  auto gam = std::make_unique<gametyp>();  // large: keep it off the connection thread's stack
  std::string why;
  if (!read_game_save(gam.get(), req_body, &why)) {
    return op_refusal("ZTXS Server failed to parse new game data file (" + why + ")");
  }
  mutex_lock creating(create_lock);
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
  mutex_lock hold(game_lock(id));
  try {
    write_new_game(g, req_body);
  } catch (...) {
    undo_create(id, root_existed);
    throw;
  }
  publish_game(g);
  remember_save_stamp(newest_save_path(game_root, g), gam->save_time);
  count_game_created();
  return op_page_utf8("ZTXS\n00\nOK\n");
}
