#include "db/repair.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <tuple>

#include "db/game_files.h"
#include "db/layout.h"
#include "lib/conv.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "save/zts_save.h"

namespace {

// Saves older than this carry no server_id, so they cannot be tied to their game.
constexpr int32_t first_version_with_server_id = 20130122;

template <size_t N>
std::vector<std::string> lacking(const preca& entries,
                                 const std::array<std::string_view, N>& keys) {
  std::set<std::string_view> present;
  for (const parserectyp& e : entries) present.insert(e.key);
  std::vector<std::string> missing;
  for (std::string_view key : keys) {
    if (!present.contains(key)) missing.emplace_back(key);
  }
  return missing;
}

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : ", ") + w;
  return out;
}

// A stored save's name read back: turn_<turn>_<plr>.zts or set_<turn>_<plr>.zts, exactly as
// turn_file_name writes them.
struct stored_name {
  std::string name;
  int32_t turn = 0;
  int32_t curplr = 0;
  bool opening = false;
};

bool parse_stored_name(const std::string& name, stored_name* out) {
  const bool opening = name.starts_with("set_");
  if (!opening && !name.starts_with("turn_")) return false;
  const size_t first = name.find('_');
  const size_t second = name.find('_', first + 1);
  if (second == std::string::npos || !name.ends_with(".zts")) return false;
  const std::string turn = name.substr(first + 1, second - first - 1);
  const std::string plr = name.substr(second + 1, name.size() - 4 - second - 1);
  auto digits = [](const std::string& t) {
    return !t.empty() && t.size() <= 9 &&
           std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(turn) || !digits(plr)) return false;
  *out = {name, str_to_int(turn), str_to_int(plr), opening};
  return turn_file_name(out->turn, out->curplr, opening) == name;  // no leading zeros
}

// The game's stored saves, newest first: by turn, then player; `first` (when stored) leads.
std::vector<stored_name> stored_saves(const std::string& root, int32_t id,
                                      const std::string& first) {
  std::vector<stored_name> saves;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(turns_dir(root, id), ec)) {
    stored_name s;
    if (parse_stored_name(e.path().filename().string(), &s)) saves.push_back(s);
  }
  std::sort(saves.begin(), saves.end(), [&](const stored_name& a, const stored_name& b) {
    return std::make_tuple(a.name == first, a.turn, a.curplr, !a.opening) >
           std::make_tuple(b.name == first, b.turn, b.curplr, !b.opening);
  });
  return saves;
}

// Reads a stored save of game `id`; false with *why when it does not decode or is another game's.
bool read_stored_save(const std::string& path, int32_t id, gametyp* save, std::string* why) {
  std::string bytes;
  try {
    bytes = read_file(path);
  } catch (const io_error& e) {
    *why = e.what();
    return false;
  }
  if (!load_game_save(save, bytes, why)) return false;
  if (save->plr_cnt < 1 || save->plr_cnt > max_players || save->curplr < 0 ||
      save->curplr >= save->plr_cnt) {
    *why = "player count or player out of range";
    return false;
  }
  if (save->version >= first_version_with_server_id && save->server_id != game_dir_name(id)) {
    *why = "belongs to " + save->server_id;
    return false;
  }
  return true;
}

// The record the move that stored `save` as `stored` left (see party_next): the creator's save
// counts everyone in; a move that left at most one player in ended the game.
void record_from_save(const gametyp& save, const stored_name& stored, game_info* g) {
  take_settings(save, g);
  take_players(save, g);
  const auto in_game = std::count(g->plr_states.begin(), g->plr_states.end(), true);
  g->turn = stored.turn;
  g->curplr = stored.curplr;
  g->lastfile = stored.name;
  g->winner = 0;
  if (in_game < 2) {
    g->status = status_finished;
    for (int32_t i = save.plr_cnt - 1; i >= 0; --i) {
      if (!save.plrs[i].out_flag) {
        g->winner = i;
        break;
      }
    }
    return;
  }
  g->status = stored.opening ? status_opening : status_playing;
  if (stored.turn == 0 && stored.curplr == 0) g->plr_states.assign(save.plr_cnt, true);
}

}  // namespace

std::string text_damage::describe(const std::string& dir) const {
  std::string out;
  if (!cond_lacks.empty()) out = dir + "/" + cond_file + ": lacks " + joined(cond_lacks);
  if (state_missing || !state_lacks.empty()) {
    out += (out.empty() ? "" : "; ") + dir + "/" + state_file + ": " +
           (state_missing ? std::string("missing") : "lacks " + joined(state_lacks));
  }
  return out;
}

text_damage find_text_damage(const preca& cond, const preca& state, bool state_exists) {
  text_damage d;
  d.cond_lacks = lacking(cond, cond_keys);
  d.state_missing = !state_exists;
  if (state_exists) d.state_lacks = lacking(state, state_keys);
  return d;
}

text_damage read_text_damage(const std::string& root, int32_t id) {
  const std::string cond = game_file(root, id, cond_file);
  const std::string state = game_file(root, id, state_file);
  if (!file_exists(cond)) return {};
  return find_text_damage(parse_file(cond, game_file_options), parse_file(state, game_file_options),
                          file_exists(state));
}

bool rebuild_from_saves(const std::string& root, const game_info& current, bool state_whole,
                        game_info* rebuilt, std::string* save_name, std::string* why) {
  const int32_t id = current.id;
  const std::vector<stored_name> saves =
      stored_saves(root, id, state_whole ? current.lastfile : std::string());
  if (saves.empty()) {
    *why = "no stored save in " + turns_dir(root, id);
    return false;
  }
  why->clear();
  for (const stored_name& stored : saves) {
    auto save = std::make_unique<gametyp>();  // large
    std::string failed;
    if (!read_stored_save(turn_file_path(root, id, stored.name), id, save.get(), &failed)) {
      *why +=
          std::string(why->empty() ? "" : ", ") + turns_subdir + "/" + stored.name + ": " + failed;
      continue;
    }
    game_info g = current;
    record_from_save(*save, stored, &g);
    if (state_whole && current.lastfile == stored.name) {
      // state.txt is whole: it knows what no save does (finished or archived by the hourly
      // pass or an operator).
      g.turn = current.turn;
      g.curplr = current.curplr;
      g.status = current.status;
      g.winner = current.winner;
      g.plr_states = current.plr_states;
    }
    g.damage.clear();
    make_texts_storable(&g);
    *rebuilt = std::move(g);
    *save_name = stored.name;
    return true;
  }
  *why = "no stored save reads (" + *why + ")";
  return false;
}

bool repair_game(const std::string& root, const text_damage& damage, game_info* record) {
  game_info rebuilt;
  std::string save_name, why;
  if (!rebuild_from_saves(root, *record, damage.state_whole(), &rebuilt, &save_name, &why)) {
    record->damage = damage.describe(game_dir(root, record->id)) + "; " + why;
    return false;
  }
  save_game_files(root, rebuilt);
  log_rebuilt(root, record->id, save_name, damage);
  *record = std::move(rebuilt);
  return true;
}

void log_rebuilt(const std::string& root, int32_t id, const std::string& save_name,
                 const text_damage& damage) {
  write_log("UPD", game_dir_name(id) + ": " + cond_file + " and " + state_file + " rebuilt from " +
                       turns_subdir + "/" + save_name + " (" + damage.describe(game_dir(root, id)) +
                       ")");
}

void refuse_if_held(const game_info& record, std::string_view op) {
  if (record.damage.empty()) return;
  throw game_held(std::string(op) + " game " + int_to_str(record.id) + ": " + record.damage);
}
