#include "db/turn_times.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "db/aside.h"
#include "db/layout.h"
#include "lib/conv.h"
#include "save/zts_save.h"

annotated_mutex turn_times_lock;

namespace {

constexpr int64_t day_ms = 86400 * int64_t{1000};
constexpr int64_t window_ms = 7 * day_ms;

int64_t rounded_seconds(int64_t ms) {
  return (ms + 500) / 1000;
}

int64_t mtime_ms(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

player_turn_times times_of(std::vector<int64_t> spent_ms) {
  player_turn_times t;
  if (spent_ms.empty()) return t;
  std::sort(spent_ms.begin(), spent_ms.end());
  const size_t n = spent_ms.size();
  int64_t sum = 0;
  for (int64_t ms : spent_ms) sum += ms;
  t.count = static_cast<int32_t>(n);
  t.median_s =
      rounded_seconds(n % 2 ? spent_ms[n / 2] : (spent_ms[n / 2 - 1] + spent_ms[n / 2]) / 2);
  t.mean_s = rounded_seconds(sum / static_cast<int64_t>(n));
  t.longest_s = rounded_seconds(spent_ms.back());
  return t;
}

// A save's name as the server writes it (db/layout.h): "turn_<turn>_<player>.zts", or "set_..."
// in the opening phase; plain decimal numbers. False for anything else in turns/.
bool parse_save_name(std::string_view name, int32_t* turn, int32_t* player, bool* opening) {
  *opening = name.starts_with("set_");
  if (!*opening && !name.starts_with("turn_")) return false;
  if (!name.ends_with(".zts")) return false;
  std::string_view numbers = name.substr(*opening ? 4 : 5);
  numbers.remove_suffix(4);
  const size_t sep = numbers.find('_');
  if (sep == std::string_view::npos) return false;
  auto is_number = [](std::string_view t) {
    return !t.empty() && t.size() <= 9 &&
           std::all_of(t.begin(), t.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
  };
  if (!is_number(numbers.substr(0, sep)) || !is_number(numbers.substr(sep + 1))) return false;
  *turn = str_to_int(numbers.substr(0, sep));
  *player = str_to_int(numbers.substr(sep + 1));
  return true;
}

// A game's kept history. `epoch` is the count of changes (kept_set::changes) at its last move or
// forget, kept or not: a read that started before one of them is not kept, and a reply built
// from an older history knows it is stale.
struct kept_history {
  bool loaded = false;
  uint64_t epoch = 0;
  std::vector<stored_turn> history;
};

struct kept_set {
  uint64_t changes = 0;     // every move and forget counts one, so epochs never repeat
  uint64_t cleared_at = 0;  // the epoch of a game not in `games`
  std::map<int32_t, kept_history> games;

  uint64_t epoch_of(int32_t id) const {
    auto it = games.find(id);
    return it != games.end() ? it->second.epoch : cleared_at;
  }
  // The game's history after a change, with a fresh epoch.
  kept_history& changed(int32_t id) {
    kept_history& h = games[id];
    h.epoch = ++changes;
    return h;
  }
};

// Never destroyed: a connection thread cut off by a stop may still read it at exit.
kept_set& kept() REQUIRES(turn_times_lock) {
  static kept_set* k = new kept_set;
  return *k;
}

}  // namespace

turn_figures summarize_turns(const std::vector<stored_turn>& history, int32_t player_count,
                             int64_t now_ms) {
  turn_figures f;
  int32_t players = std::clamp(player_count, 0, max_players);
  for (const stored_turn& s : history) {
    if (s.player < max_players) players = std::max(players, s.player + 1);
  }
  std::vector<std::vector<int64_t>> spent(static_cast<size_t>(players));
  int32_t in_window = 0;
  for (size_t i = 1; i < history.size(); ++i) {
    const int32_t mover = history[i - 1].player;
    const int64_t ms = std::max<int64_t>(0, history[i].stored_ms - history[i - 1].stored_ms);
    if (mover >= 0 && mover < players) spent[static_cast<size_t>(mover)].push_back(ms);
    if (history[i].stored_ms > now_ms - window_ms) {
      ++in_window;
      f.changes_at_ms = std::min(f.changes_at_ms, history[i].stored_ms + window_ms);
    }
  }
  for (auto& s : spent) f.players.push_back(times_of(std::move(s)));
  if (history.empty()) return f;
  f.newest_ms = history.back().stored_ms;
  const auto moves = static_cast<double>(history.size() - 1);
  const double span_days =
      static_cast<double>(history.back().stored_ms - history.front().stored_ms) / day_ms;
  f.per_day_last_7_days = in_window / 7.0;
  f.per_day_overall = moves / std::max(span_days, 1.0);
  return f;
}

std::vector<stored_turn> read_turn_history(std::string_view root, int32_t id) {
  struct found {
    stored_turn s;
    bool opening = false;
  };
  std::vector<found> saves;
  const std::string dir = turns_dir(root, id);
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return {};
  while (const dirent* e = readdir(d.get())) {
    found f;
    struct stat st {};
    if (!parse_save_name(e->d_name, &f.s.turn, &f.s.player, &f.opening)) continue;
    if (::stat((dir + "/" + e->d_name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    f.s.stored_ms = mtime_ms(st);
    saves.push_back(f);
  }
  // Order of play: by turn; the opening phase's set_ files before a turn_ file of the same turn.
  std::sort(saves.begin(), saves.end(), [](const found& a, const found& b) {
    if (a.s.turn != b.s.turn) return a.s.turn < b.s.turn;
    if (a.opening != b.opening) return a.opening;
    return a.s.player < b.s.player;
  });
  std::vector<stored_turn> out;
  out.reserve(saves.size() + 1);
  for (const found& f : saves) out.push_back(f.s);
  // The save a final move replaced (the newest save names the same turn and player).
  const std::string replaced = out.empty() ? "" : kept_final_save(game_dir(root, id));
  struct stat st {};
  if (!replaced.empty() && ::stat(replaced.c_str(), &st) == 0 &&
      mtime_ms(st) <= out.back().stored_ms) {
    stored_turn before = out.back();
    before.stored_ms = mtime_ms(st);
    out.insert(out.end() - 1, before);
  }
  return out;
}

int64_t file_stored_ms(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return mtime_ms(st);
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::vector<stored_turn> turn_history(std::string_view root, int32_t id) {
  uint64_t epoch = 0;
  {
    mutex_lock lock(turn_times_lock);
    kept_set& k = kept();
    auto it = k.games.find(id);
    if (it != k.games.end() && it->second.loaded) return it->second.history;
    epoch = k.epoch_of(id);
  }
  std::vector<stored_turn> read = read_turn_history(root, id);
  mutex_lock lock(turn_times_lock);
  kept_set& k = kept();
  if (k.epoch_of(id) == epoch) {
    kept_history& h = k.games[id];
    h.epoch = epoch;
    h.history = read;
    h.loaded = true;
  }
  return read;
}

uint64_t turn_times_epoch(int32_t id) {
  mutex_lock lock(turn_times_lock);
  return kept().epoch_of(id);
}

std::optional<int64_t> note_stored_turn(std::string_view root, int32_t id,
                                        const stored_turn& added) {
  {
    mutex_lock lock(turn_times_lock);
    kept_history& h = kept().changed(id);
    if (h.loaded) {
      std::optional<int64_t> spent;
      if (!h.history.empty())
        spent = std::max<int64_t>(0, added.stored_ms - h.history.back().stored_ms);
      h.history.push_back(added);
      return spent;
    }
  }
  const std::vector<stored_turn> read = turn_history(root, id);
  if (read.size() < 2) return std::nullopt;
  return std::max<int64_t>(0, read.back().stored_ms - read[read.size() - 2].stored_ms);
}

std::optional<int64_t> median_turn_seconds(std::string_view root, int32_t id, int32_t player) {
  const turn_figures f = summarize_turns(turn_history(root, id), 0, 0);
  if (player < 0 || static_cast<size_t>(player) >= f.players.size() ||
      f.players[static_cast<size_t>(player)].count == 0) {
    return std::nullopt;
  }
  return f.players[static_cast<size_t>(player)].median_s;
}

void forget_turn_times(int32_t id) {
  mutex_lock lock(turn_times_lock);
  kept_history& h = kept().changed(id);
  h.loaded = false;
  h.history = {};
}

void forget_all_turn_times() {
  mutex_lock lock(turn_times_lock);
  kept_set& k = kept();
  k.games.clear();
  k.cleared_at = ++k.changes;
}
