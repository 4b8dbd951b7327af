#include "db/refresh.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>

#include "db/game.h"
#include "db/game_files.h"
#include "db/layout.h"
#include "db/save_read.h"
#include "lib/asys.h"
#include "lib/conv.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "lib/metrics.h"
#include "lib/mutex.h"
#include "save/zts_save.h"

namespace {

// Games the refresh never reads or changes.
constexpr int32_t refresh_skip_ids[] = {599, 600, 610, 611};

// Age limits in seconds; a rule fires only when the age is strictly above its limit.
constexpr int32_t day = 86400;
constexpr int32_t three_days = 259200;
constexpr int32_t fifteen_days = 1296000;
constexpr int32_t thirty_days = 2592000;
constexpr int32_t six_months = 15552000;

struct file_identity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtime_ns = 0;
  bool operator==(const file_identity&) const = default;
};

struct save_stamp {
  std::string path;
  file_identity identity;
  int32_t save_time = 0;
};

// Keyed by the turns directory, so that a game keeps one entry however many turns it stores.
// Its lock is a leaf: moves and the pass update it from under their game locks.
annotated_mutex save_stamps_mutex;
std::unordered_map<std::string, save_stamp> save_stamps GUARDED_BY(save_stamps_mutex);

std::optional<file_identity> identify(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return file_identity{st.st_dev, st.st_ino, st.st_size,
                       int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

std::string dir_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The save_time of the save at `path`, decoded only when the file is new or changed.
// False with *reason when the file cannot be read or the save is refused.
bool read_save_time(const std::string& path, int32_t* save_time, std::string* reason)
    EXCLUDES(save_stamps_mutex) {
  // Identify before reading: a file replaced in between is merely decoded again next time.
  std::optional<file_identity> identity = identify(path);
  if (identity) {
    mutex_lock lock(save_stamps_mutex);
    auto it = save_stamps.find(dir_of(path));
    if (it != save_stamps.end() && it->second.path == path && it->second.identity == *identity) {
      *save_time = it->second.save_time;
      return true;
    }
  }
  std::string bytes;
  try {
    bytes = read_file(path);
  } catch (const io_error& e) {
    *reason = e.what();
    return false;
  }
  auto game = std::make_unique<gametyp>();  // too large for the stack
  if (!read_game_save(game.get(), bytes, reason)) return false;
  *save_time = game->save_time;
  if (identity) {
    mutex_lock lock(save_stamps_mutex);
    save_stamps[dir_of(path)] = save_stamp{path, *identity, *save_time};
  }
  return true;
}

struct refresh_rule {
  int32_t min_age;
  bool (*applies)(const game_info& g);
  int32_t new_status;
  const char* verb;  // "Archiving game_<id> due to <reason>"
  const char* reason;
  bool with_clock;         // append " (<now>,<stamp>,<difference>)"
  refresh_rule_kind kind;  // its label in zts_refresh_changes_total
};

const refresh_rule quick_rules[] = {
    {day,
     [](const game_info& g) {
       return g.status == status_opening || (g.status == status_playing && g.turn < 3);
     },
     status_archived, "Archiving", "plr_plr", false, refresh_rule_kind::quick_archive_idle},
    {three_days, [](const game_info& g) { return g.status < status_archived && g.turn < 3; },
     status_archived, "Archiving", "plr_plr for more than 6 days", false,
     refresh_rule_kind::quick_archive_small},
};

const refresh_rule normal_rules[] = {
    {fifteen_days,
     [](const game_info& g) {
       return g.status == status_opening || (g.status == status_playing && g.turn < 3);
     },
     status_archived, "Archiving", "3 days with no create", false,
     refresh_rule_kind::archive_unstarted},
    {thirty_days, [](const game_info& g) { return g.status == status_finished && g.turn < 3; },
     status_archived, "Archiving", "smallness", false, refresh_rule_kind::archive_small_closed},
    {six_months, [](const game_info& g) { return g.status < status_finished && g.turn > 3; },
     status_finished, "Finishing", "6 months of no turns", true, refresh_rule_kind::finish_idle},
    {six_months, [](const game_info& g) { return g.status <= status_finished && g.turn < 3; },
     status_archived, "Archiving small game", "6 months of no turns", false,
     refresh_rule_kind::archive_small_idle},
    {six_months, [](const game_info& g) { return g.status == status_archived && g.turn > 3; },
     status_finished, "Upping", "6 months of no turns", false, refresh_rule_kind::revive_archived},
};

int32_t seconds_since(int32_t stamp) {
  return static_cast<int32_t>(server_clock() - static_cast<uint32_t>(stamp));
}

std::string rule_message(const refresh_rule& rule, int32_t id, int32_t save_time) {
  std::string message =
      std::string(rule.verb) + " game_" + int_to_str(id) + " due to " + rule.reason;
  if (rule.with_clock) {
    std::string now = int_to_str(static_cast<int32_t>(server_clock()));
    message +=
        " (" + now + "," + int_to_str(save_time) + "," + int_to_str(seconds_since(save_time)) + ")";
  }
  return message;
}

void log_failure(const game_info& g, const std::string& reason) {
  write_log("UPD", "Error parsing game_" + int_to_str(g.id) + ", file " + g.lastfile + ", (" +
                       reason + ")");
}

// Applies the rules in order to *g, a copy of the game's record, each seeing the status the
// earlier ones left. A rule that fires rewrites the files at once; when that fails the status
// goes back to what the disk holds and the game is left for the next pass.
template <size_t N>
void apply_rules(const std::string& root, const refresh_rule (&rules)[N], int32_t age,
                 int32_t save_time, game_info* g) {
  for (const refresh_rule& rule : rules) {
    if (age <= rule.min_age || !rule.applies(*g)) continue;
    write_log("UPD", rule_message(rule, g->id, save_time));
    int32_t before = g->status;
    g->status = rule.new_status;
    try {
      save_game_files(root, *g);
    } catch (const io_error& e) {
      g->status = before;
      log_failure(*g, e.what());
      return;
    }
    count_refresh_change(rule.kind);
  }
}

}  // namespace

void refresh_game(const std::string& root, int32_t id) {
  if (id < 0 || std::ranges::find(refresh_skip_ids, id) != std::end(refresh_skip_ids)) return;
  {
    mutex_lock lock(db_lock);
    if (static_cast<size_t>(id) >= games.size() || !games[id]) return;
  }
  // The save is read and the files written holding this game's lock alone: moves of other
  // games, the lists and the pages go on meanwhile.
  double waited = 0;
  mutex_lock hold(game_lock(id), &waited);
  observe_lock_wait(lock_waiter::refresh, waited);
  std::optional<game_info> record = copy_game(id);
  if (!record) return;
  game_info* g = &*record;
  if (g->status > status_archived || !g->damage.empty()) return;  // held: never written
  std::string path = newest_save_path(root, *g);
  int32_t save_time = 0;
  std::string reason;
  if (!read_save_time(path, &save_time, &reason)) {
    log_failure(*g, reason);
    return;
  }
  int32_t age = seconds_since(save_time);
  g->last_turn_age = age;
  // An operator's unarchive counts as a move for the rules: they measure from it while it is
  // the newer of the two, so an unarchived game is not archived again by the next pass.
  if (g->unarchived_at != 0) age = std::min(age, seconds_since(g->unarchived_at));
  if (g->name == "plr_plr") {
    apply_rules(root, quick_rules, age, save_time, g);
  } else {
    apply_rules(root, normal_rules, age, save_time, g);
  }
  publish_game(*g);
}

void refresh_games(const std::string& root) {
  size_t count = 0;
  {
    mutex_lock lock(db_lock);
    count = games.size();
  }
  for (size_t id = 0; id < count; ++id) refresh_game(root, static_cast<int32_t>(id));
}

void remember_save_stamp(const std::string& path, int32_t save_time) {
  std::optional<file_identity> identity = identify(path);
  if (!identity) return;
  mutex_lock lock(save_stamps_mutex);
  save_stamps[dir_of(path)] = save_stamp{path, *identity, save_time};
}

void clear_save_stamps() {
  mutex_lock lock(save_stamps_mutex);
  save_stamps.clear();
}
