#include "ops/admin_ops.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "db/aside.h"
#include "db/game.h"
#include "db/game_files.h"
#include "db/game_json.h"
#include "db/game_swap.h"
#include "db/layout.h"
#include "db/load.h"
#include "db/repair.h"
#include "lib/asys.h"
#include "lib/conv.h"
#include "lib/cp1251.h"
#include "lib/file_io.h"
#include "lib/json.h"
#include "lib/refusal.h"
#include "ops/admin_internal.h"
#include "save/zts_save.h"

namespace fs = std::filesystem;

using admin_internal::done;
using admin_internal::find_record;
using admin_internal::label;
using admin_internal::path_taken;

namespace {

std::string text_of(std::string_view cp1251) {
  return cp1251_to_utf8(cp1251);
}

const std::string& entry_or_empty(const astr& list, int32_t i) {
  static const std::string none;
  return i >= 0 && static_cast<size_t>(i) < list.size() ? list[i] : none;
}

bool in_game(const game_info& g, int32_t i) {
  return i >= 0 && static_cast<size_t>(i) < g.plr_states.size() && g.plr_states[i];
}

// The game's JSON object without its closing brace: the JSON API's (its newest save's time read
// with one stat) and then what only operators see.
std::string game_json(const game_info& g) {
  std::string out;
  append_game_json(summary_of(g), {newest_save_time(game_root, g.id, g.lastfile), nullptr, ""},
                   &out);
  out += ",\"newest_save\":" + json_string(g.lastfile);
  if (g.archived_from >= 0) out += ",\"archived_from\":" + int_to_str(g.archived_from);
  if (g.unarchived_at != 0) out += ",\"unarchived\":" + json_string(iso_time(g.unarchived_at));
  if (!g.damage.empty()) out += ",\"held\":" + json_string(text_of(g.damage));
  return out;
}

// One line: id, status, turn, the player to move or the winner, the name.
std::string game_line(const game_info& g) {
  std::string who = g.status == status_finished
                        ? "winner: " + text_of(entry_or_empty(g.teams, g.winner))
                        : "to move: " + text_of(entry_or_empty(g.teams, g.curplr));
  return label(g.id) + "  " + status_word(g.status) + "  turn " + int_to_str(g.turn) + "  " + who +
         "  \"" + text_of(g.name) + "\"\n";
}

// A stored save as read, or why it cannot be: a revert is refused, not failed, when a save it
// needs is missing or unreadable.
refusable<std::unique_ptr<gametyp>> read_save(const std::string& path) {
  auto save = std::make_unique<gametyp>();  // large
  std::string bytes;
  try {
    bytes = read_file(path);
  } catch (const io_error& e) {
    return refusal{e.what()};
  }
  std::string why;
  if (!load_game_save(save.get(), bytes, &why)) return refusal{why};
  return save;
}

// The record before the move that made the newest save of `g` (a move that did not end the
// game), worked out the way the move was made: its mover is the newest save's player, the turn
// went up when the move wrapped round, and the opening phase covers turns 0 and 1 of a game
// with a moratorium. Teams, colours and who is in the game come from the previous save, the
// one the mover had downloaded. Refused when that cannot be done.
refusable<game_info> record_before_move(const game_info& g) {
  const std::string turns = turns_dir(game_root, g.id) + "/";
  const refusable<std::unique_ptr<gametyp>> newest = read_save(turns + g.lastfile);
  if (!newest) {
    return refusal{"cannot read the newest save " + g.lastfile + " (" + newest.message() + ")"};
  }
  const int32_t mover = (*newest)->curplr;
  if (g.plr_cnt < 1 || g.plr_cnt > max_players || mover < 0 || mover >= g.plr_cnt ||
      mover == g.curplr) {
    return refusal{"the newest save " + g.lastfile + " does not show which move led to it"};
  }
  game_info prev = g;
  prev.curplr = mover;
  prev.turn = g.curplr > mover ? g.turn : g.turn - 1;
  if (prev.turn < 0) {
    return refusal{"the newest save " + g.lastfile + " does not follow any earlier turn"};
  }
  prev.status = g.moratorium > 0 && prev.turn < 2 ? status_opening : status_playing;
  prev.lastfile = turn_file_name(prev.turn, mover, prev.status == status_opening);
  if (!file_exists(turns + prev.lastfile)) {
    // An archived spell in the opening phase names files "turn_" early; try the other form.
    prev.status = prev.status == status_opening ? status_playing : status_opening;
    prev.lastfile = turn_file_name(prev.turn, mover, prev.status == status_opening);
  }
  const refusable<std::unique_ptr<gametyp>> read = read_save(turns + prev.lastfile);
  if (!read) {
    return refusal{"cannot read the previous save " + prev.lastfile + " (" + read.message() + ")"};
  }
  const gametyp* before = read->get();
  const bool first_save = prev.turn == 0 && mover == 0;
  prev.teams.assign(g.plr_cnt, "");
  prev.colors.assign(g.plr_cnt, "");
  prev.plr_states.assign(g.plr_cnt, true);
  for (int32_t i = 0; i < g.plr_cnt && i < before->plr_cnt; ++i) {
    prev.teams[i] = before->plrs[i].team_name;
    prev.colors[i] = color_text(before->plrs[i]);
    // The creator's save counts everyone in, whatever it says.
    prev.plr_states[i] = first_save || !before->plrs[i].out_flag;
  }
  return prev;
}

// Takes the turn, player, status, winner, newest save and players over from `from`.
void take_state(game_info* to, const game_info& from) {
  to->turn = from.turn;
  to->curplr = from.curplr;
  to->status = from.status;
  to->winner = from.winner;
  to->lastfile = from.lastfile;
  to->teams = from.teams;
  to->colors = from.colors;
  to->plr_states = from.plr_states;
}

void write_admin_notes(const std::string& staged, const game_info& g) {
  const std::string notes = format_admin_notes(g);
  if (notes.empty()) {
    remove_file_quiet(staged + "/" + admin_file);
  } else {
    write_file_atomic(staged + "/" + admin_file, notes);
  }
}

// The status an archived game goes back to when nobody remembered it.
int32_t status_before_archive(const game_info& g) {
  int32_t left = 0;
  for (int32_t i = 0; i < g.plr_cnt; ++i) left += in_game(g, i) ? 1 : 0;
  if (left <= 1) return 2;
  return is_opening_save_name(g.lastfile) ? 1 : 0;
}

// A copy of the game's record when it may be changed, or a refusal: a held game's record is what
// its damaged files gave, and writing it would make the damage permanent.
refusable<game_info> find_changeable(int32_t id) EXCLUDES(db_lock) {
  refusable<game_info> g = find_record(id);
  if (g && !g->damage.empty()) {
    return refusal{label(id) + " is held (" + g->damage + "): repair it first"};
  }
  return g;
}

}  // namespace

namespace admin_internal {

std::string label(int32_t id) {
  return game_dir_name(id);
}

admin_result done(const std::string& message, const game_info& g) {
  admin_result r;
  r.ok = true;
  r.message = message;
  r.text = message + "\n" + game_line(g);
  r.json = "{\"ok\":true,\"message\":" + json_string(message) + ",\"game\":" + game_json(g) + "}}";
  return r;
}

admin_result done(const std::string& message) {
  admin_result r;
  r.ok = true;
  r.message = message;
  r.text = message + "\n";
  r.json = "{\"ok\":true,\"message\":" + json_string(message) + "}";
  return r;
}

refusable<game_info> find_record(int32_t id) EXCLUDES(db_lock) {
  std::optional<game_info> g = id >= 0 ? copy_game(id) : std::nullopt;
  if (!g) return refusal{"no game " + label(id)};
  return std::move(*g);
}

bool path_taken(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace admin_internal

admin_result admin_refusal(const std::string& reason) {
  admin_result r;
  r.message = reason;
  r.text = reason + "\n";
  r.json = "{\"ok\":false,\"error\":" + json_string(reason) + "}";
  return r;
}

bool parse_status(const std::string& text, int32_t* status) {
  for (int32_t s = 0; s <= 3; ++s) {
    if (text == int_to_str(s) || text == status_word(s)) {
      *status = s;
      return true;
    }
  }
  return false;
}

bool parse_game_id(const std::string& text, int32_t* id) {
  std::string_view digits = text;
  digits = game_number_text(digits).value_or(digits);
  if (!is_decimal(digits, 9)) return false;
  *id = str_to_int(digits);
  return true;
}

admin_result admin_games(int32_t status_filter) {
  std::vector<game_info> shown;
  {
    mutex_lock lock(db_lock);
    for (size_t k = games.size(); k-- > 0;) {
      if (games[k] && (status_filter < 0 || games[k]->status == status_filter)) {
        shown.push_back(*games[k]);
      }
    }
  }
  admin_result r;
  r.ok = true;
  std::string members;
  int32_t count = 0;
  for (const game_info& g : shown) {
    r.text += game_line(g);
    if (count++ > 0) members += ",";
    members += game_json(g) + "}";
  }
  r.message = int_to_str(count) + " games";
  r.text += r.message + "\n";
  r.json = "{\"ok\":true,\"games\":[" + members + "]}";
  return r;
}

admin_result admin_game(int32_t id) {
  const refusable<game_info> g = find_record(id);
  if (!g) return admin_refusal(g.message());
  struct stored {
    std::string name;
    int64_t size, time;
  };
  std::vector<stored> files;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(turns_dir(game_root, id), ec)) {
    const std::string name = e.path().filename().string();
    struct stat st;
    if (!is_stored_turn_file(name) || ::stat(e.path().c_str(), &st) != 0) {
      continue;
    }
    files.push_back({name, st.st_size, st.st_mtim.tv_sec});
  }
  std::sort(files.begin(), files.end(), [](const stored& a, const stored& b) {
    return a.time != b.time ? a.time < b.time : a.name < b.name;
  });
  std::vector<std::string> aside;
  for (const fs::directory_entry& e :
       fs::directory_iterator(aside_dir(game_dir(game_root, id)), ec)) {
    const std::string name = e.path().filename().string();
    if (!name.starts_with('.')) aside.push_back(name);
  }
  std::sort(aside.begin(), aside.end());

  admin_result r;
  r.ok = true;
  r.message = label(id);
  r.text = game_line(*g) + "name: " + text_of(g->name) + "\ndescription: " + text_of(g->descr) +
           "\nnewest save: " + g->lastfile + "\n" +
           (g->damage.empty() ? "" : "held: " + text_of(g->damage) + "\n") + "players:\n";
  for (int32_t i = 0; i < g->plr_cnt && i < max_players; ++i) {
    r.text += "  " + int_to_str(i) + "  " + text_of(entry_or_empty(g->teams, i)) + "  #" +
              text_of(entry_or_empty(g->colors, i)) + (in_game(*g, i) ? "" : "  (out)") + "\n";
  }
  r.text += "turn files:\n";
  std::string file_json;
  for (const stored& f : files) {
    r.text += "  " + f.name + "  " + std::to_string(f.size) + " bytes  " + iso_time(f.time) + "\n";
    if (!file_json.empty()) file_json += ",";
    file_json += "{\"name\":" + json_string(f.name) + ",\"size\":" + std::to_string(f.size) +
                 ",\"time\":" + json_string(iso_time(f.time)) + "}";
  }
  std::string aside_json;
  if (!aside.empty()) r.text += "kept aside:\n";
  for (const std::string& name : aside) {
    r.text += "  " + name + "\n";
    if (!aside_json.empty()) aside_json += ",";
    aside_json += json_string(name);
  }
  r.json = "{\"ok\":true,\"game\":" + game_json(*g) + ",\"turn_files\":[" + file_json +
           "],\"aside\":[" + aside_json + "]}}";
  return r;
}

admin_result admin_revert(int32_t id, const std::string& expect) {
  refusable<game_info> g = find_changeable(id);
  if (!g) return admin_refusal(g.message());
  const std::string dir = game_dir(game_root, id);
  if (!expect.empty() && expect != g->lastfile) {
    return admin_refusal(label(id) + "'s newest save is " + g->lastfile + ", not " + expect +
                         ": nothing reverted");
  }
  if (g->status == status_archived)
    return admin_refusal(label(id) + " is archived: unarchive it first");
  game_info prev;
  const bool final_move = g->status == status_finished;
  const std::string undone = g->lastfile;
  if (final_move) {
    if (!final_move_kept(dir)) {
      return admin_refusal(label(id) + " did not end with a move whose files were kept aside: " +
                           "nothing to revert");
    }
    prev = *g;
    try {
      apply_state(parse_file(aside_dir(dir) + "/" + end_state_file, game_file_options), &prev);
      apply_conditions(parse_file(aside_dir(dir) + "/" + end_cond_file, game_file_options), &prev);
    } catch (const io_error& e) {
      return admin_refusal(label(id) + ": cannot read what its final move kept aside (" + e.what() +
                           ")");
    }
  } else {
    if (g->turn == 0 && g->curplr == 0) return admin_refusal(label(id) + " has no move to revert");
    const refusable<game_info> before = record_before_move(*g);
    if (!before) return admin_refusal(label(id) + ": " + before.message() + ": nothing reverted");
    prev = *before;
  }
  const std::string kept_as = next_undone_name(dir, undone);
  swap_game_files(game_root, id, [&](const std::string& staged) {
    const std::string aside = aside_dir(staged);
    const std::string end_save = aside + "/" + end_save_file;
    make_dirs(aside);
    rename_path(staged + "/" + turns_subdir + "/" + undone, aside + "/" + kept_as);
    if (final_move) {
      // The end_* files are the state before the final move, byte for byte.
      if (prev.lastfile == undone && file_exists(end_save)) {
        rename_path(end_save, staged + "/" + turns_subdir + "/" + undone);
      }
      rename_path(aside + "/" + end_cond_file, staged + "/" + cond_file);
      rename_path(aside + "/" + end_state_file, staged + "/" + state_file);
      remove_file_quiet(end_save);
    } else {
      write_file_atomic(staged + "/" + cond_file, format_conditions(prev));
      write_file_atomic(staged + "/" + state_file, format_state(prev));
    }
  });
  take_state(&*g, prev);
  publish_game(*g);
  return done("reverted " + label(id) + ": " + undone + " undone (kept as aside/" + kept_as +
                  "), newest save " + g->lastfile,
              *g);
}

admin_result admin_archive(int32_t id) {
  refusable<game_info> g = find_changeable(id);
  if (!g) return admin_refusal(g.message());
  if (g->status == status_archived) return admin_refusal(label(id) + " is already archived");
  game_info after = *g;
  after.archived_from = g->status;
  after.status = status_archived;
  swap_game_files(game_root, id, [&](const std::string& staged) {
    write_admin_notes(staged, after);
    write_file_atomic(staged + "/" + state_file, format_state(after));
  });
  publish_game(after);
  return done("archived " + label(id) + " (was " + status_word(g->status) + ")", after);
}

admin_result admin_unarchive(int32_t id) {
  refusable<game_info> g = find_changeable(id);
  if (!g) return admin_refusal(g.message());
  if (g->status != status_archived) {
    return admin_refusal(label(id) + " is not archived (" + status_word(g->status) + ")");
  }
  game_info after = *g;
  after.status =
      g->archived_from >= 0 && g->archived_from <= 2 ? g->archived_from : status_before_archive(*g);
  // The opening phase and its "set_" file names go together.
  if (after.status < status_finished)
    after.status = is_opening_save_name(g->lastfile) ? status_opening : status_playing;
  after.archived_from = -1;
  after.unarchived_at = static_cast<int32_t>(server_clock());
  swap_game_files(game_root, id, [&](const std::string& staged) {
    write_admin_notes(staged, after);
    write_file_atomic(staged + "/" + state_file, format_state(after));
  });
  publish_game(after);
  return done("unarchived " + label(id) + " (now " + status_word(after.status) + ")", after);
}

admin_result admin_repair(int32_t id) {
  refusable<game_info> g = find_record(id);
  if (!g) return admin_refusal(g.message());
  const text_damage damage = read_text_damage(game_root, id);
  if (!damage.any()) {
    if (g->damage.empty())
      return admin_refusal(label(id) + "'s files are whole: nothing to repair");
    game_info reread;  // mended by hand while held
    read_game_record(game_root, id, &reread);
    publish_game(reread);
    return done("read " + label(id) + " again: its files are whole", reread);
  }
  game_info repaired;
  std::string save_name, why;
  if (!rebuild_from_saves(game_root, *g, damage.state_whole(), &repaired, &save_name, &why)) {
    return admin_refusal(label(id) + ": " + damage.describe(game_dir(game_root, id)) + "; " + why +
                         ": nothing repaired");
  }
  swap_game_files(game_root, id, [&](const std::string& staged) {
    write_file_atomic(staged + "/" + cond_file, format_conditions(repaired));
    write_file_atomic(staged + "/" + state_file, format_state(repaired));
  });
  log_rebuilt(game_root, id, save_name, damage);
  publish_game(repaired);
  return done("repaired " + label(id) + " from turns/" + repaired.lastfile, repaired);
}
