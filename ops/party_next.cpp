#include "ops/party_next.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>

#include "db/aside.h"
#include "db/game.h"
#include "db/game_files.h"
#include "db/layout.h"
#include "db/refresh.h"
#include "db/repair.h"
#include "db/save_read.h"
#include "db/turn_times.h"
#include "lib/conv.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "lib/metrics.h"
#include "lib/mutex.h"
#include "ops/game_id.h"
#include "save/zts_save.h"

namespace {

// Whether a save that names an existing game may be applied; its refusals are checked in the
// order clients see them.
refusable<> check_turn(const game_info& g, const gametyp& gam) {
  if (g.status == status_finished) {
    return refusal{"ZTXS Game is closed or finished"};
  }
  if (g.status == status_opening && g.turn == 1) {
    // In the opening phase's second round the client counts turns up to the moratorium.
    if (gam.turn != g.moratorium) {
      return refusal{"ZTXS Wrong turn (gam.turn=" + int_to_str(gam.turn) +
                     ", state.mor=" + int_to_str(g.moratorium) + ")"};
    }
  } else if (gam.turn != g.turn) {
    return refusal{"ZTXS Wrong turn (gam.turn=" + int_to_str(gam.turn) +
                   ", state.turn=" + int_to_str(g.turn) + ")"};
  }
  if (gam.curplr != g.curplr) {
    return refusal{"ZTXS Wrong player (gam.curplr=" + int_to_str(gam.curplr) +
                   ", state.curplr=" + int_to_str(g.curplr) + ")"};
  }
  return accepted;
}

// Passes the move to the next player still in the game, or ends the game when at most one is
// left. Sets turn, curplr, status, winner and lastfile.
// REQUIRES: 0 <= plr_cnt <= max_players, 0 <= curplr < max(plr_cnt, 1).
void advance(game_info& g, const gametyp& gam) {
  int32_t in_game = 0;
  for (int32_t i = 0; i < g.plr_cnt; ++i) in_game += gam.plrs[i].out_flag ? 0 : 1;
  if (in_game >= 2) {
    for (int32_t step = 0; step < g.plr_cnt; ++step) {
      if (++g.curplr >= g.plr_cnt) {
        g.curplr = 0;
        ++g.turn;
      }
      if (g.turn == 2 && g.status == status_opening)
        g.status = status_playing;  // the opening phase is over
      if (!gam.plrs[g.curplr].out_flag) break;
    }
  } else {
    g.status = status_finished;
    for (int32_t i = g.plr_cnt - 1; i >= 0; --i) {
      if (!gam.plrs[i].out_flag) {
        g.winner = i;
        break;
      }
    }
  }
  g.lastfile = turn_file_name(g.turn, g.curplr, g.status == status_opening);
}

}  // namespace

op_result party_next(const std::string& req_body) {
  auto gam = std::make_unique<gametyp>();  // large: keep it off the worker's stack
  std::string why;
  if (!read_game_save(gam.get(), req_body, &why)) {
    return op_refusal("ZTXS Server failed to parse game data file (" + why + ")");
  }
  int32_t id = 0;
  {
    mutex_lock lock(db_lock);
    refusable<int32_t> found = find_game(gam->server_id);
    if (!found) return op_refusal(found.take_message());
    id = *found;
  }
  // The move is checked, written and synced holding this game's lock alone; the record it
  // changes is a copy, put back whole once everything is on disk.
  double waited = 0;
  mutex_lock hold(game_lock(id), &waited);
  observe_lock_wait(lock_waiter::request, waited);
  const std::optional<game_info> before = copy_game(id);
  if (!before) return op_refusal("ZTXS Unregistered game id");
  game_info g = *before;
  refuse_if_held(g, "party_next");
  write_log("SVOP", "party_next: game_" + int_to_str(g.id) + " (" + g.name + ")");
  refusable<> checked = check_turn(g, *gam);
  if (!checked) return op_refusal(checked.take_message());
  if (g.plr_cnt < 0 || g.plr_cnt > max_players || g.curplr < 0 ||
      g.curplr >= std::max(g.plr_cnt, 1)) {
    throw std::runtime_error("game_" + int_to_str(id) + ": player count or current player " +
                             "out of range");
  }

  advance(g, *gam);
  const bool final_move = g.status == status_finished;
  const std::string path = newest_save_path(game_root, g);
  std::optional<std::string> replaced;  // the file this turn overwrites (a game's last move)
  bool kept_aside = false;
  bool turn_written = false;
  bool text_files_touched = false;
  try {
    // The final move replaces the file its mover downloaded: what it replaces is kept aside
    // first, so that a crash before state.txt is written can be undone at the next start and a
    // revert can put it back.
    if (final_move) keep_before_final_move(game_dir(game_root, id), g.lastfile);
    kept_aside = final_move;
    if (file_exists(path)) replaced = read_file(path);
    write_file_atomic(path, req_body);
    turn_written = true;
    take_players(*gam, &g);
    make_texts_storable(&g);
    text_files_touched = true;
    save_game_files(game_root, g);
  } catch (...) {
    try {
      if (turn_written && replaced) write_file_atomic(path, *replaced);
      if (turn_written && !replaced) remove_file_quiet(path);
      if (text_files_touched) save_game_files(game_root, *before);
      if (kept_aside) undo_final_move_aside(game_dir(game_root, id));
    } catch (...) {
      // The first failure is the one reported; the disk may still be unwritable.
    }
    throw;
  }
  if (final_move) settle_final_move_aside(game_dir(game_root, id));
  publish_game(g);
  remember_save_stamp(path, gam->save_time);
  // Clients download the newest turn; the one it replaced is seldom read again, and its pages
  // are better reused by the next move than kept while fresh ones are taken.
  if (before->lastfile != g.lastfile) drop_from_cache(newest_save_path(game_root, *before));
  count_move();
  const std::optional<int64_t> spent =
      note_stored_turn(game_root, id, {g.turn, g.curplr, file_stored_ms(path)});
  if (spent) observe_turn_time(static_cast<double>(*spent) / 1000.0);
  return op_page_utf8("ZTXS\n00\nOk\n");
}
