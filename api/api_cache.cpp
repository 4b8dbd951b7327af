#include "api/api_cache.h"

#include "api/games_api.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "api/list_query.h"
#include "db/generation.h"
#include "db/layout.h"
#include "lib/conv.h"
#include "lib/cp1251.h"

annotated_mutex api_mutex;

namespace {

bool listed(const game_info& g) {
  return g.status >= status_playing && g.status <= status_archived;
}

// The stored saves of game `id` in the order of play. Reads the directory without any lock: a
// move landing meanwhile changes the generation, so the next request reads it again.
std::vector<turn_file> read_turns(int32_t id) {
  std::vector<turn_file> out;
  const std::string dir = turns_dir(game_root, id);
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return out;
  while (dirent* e = readdir(d.get())) {
    const std::optional<turn_file_ref> ref = parse_turn_file_name(e->d_name);
    if (!ref) continue;
    turn_file t{e->d_name, ref->turn, ref->curplr, ref->opening};
    struct stat st {};
    if (stat((dir + "/" + t.file).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    t.size = st.st_size;
    t.mtime = st.st_mtim.tv_sec;
    out.push_back(std::move(t));
  }
  std::sort(out.begin(), out.end(), [](const turn_file& a, const turn_file& b) {
    if (a.turn != b.turn) return a.turn < b.turn;
    if (a.opening != b.opening) return a.opening;
    return a.player < b.player;
  });
  return out;
}

}  // namespace

std::string game_row::files_key() const {
  return lastfile + "|" + int_to_str(status) + "|" + int_to_str(turn) + "|" + int_to_str(curplr);
}

api_cache& cache() {
  static api_cache* c = new api_cache;
  return *c;
}

api_cache& cache_for(const std::string& public_url) {
  api_cache& c = cache();
  if (public_url != c.public_url) {
    c.public_url = public_url;
    c.list.generation = 0;
    c.rows_generation = 0;  // the list's entries carry the links too
    c.games.clear();
  }
  return c;
}

void refresh_rows(api_cache& c) {
  if (c.rows_generation == games_generation()) return;
  std::vector<game_row> rows;
  status_counts counts{};
  uint64_t generation;
  {
    const int64_t wait_start = steady_ns();
    mutex_lock lock(db_lock);
    observe_lock_wait(lock_waiter::api, seconds_since_ns(wait_start));
    // Read under the lock: every bump happens under it, so this copy is exactly this generation.
    generation = games_generation();
    rows.reserve(games.size());
    for (const auto& g : games) {
      if (!g || !listed(*g)) continue;
      rows.push_back(game_row{summary_of(*g), ""});
      ++counts[g->status];
    }
  }
  for (game_row& row : rows) row.folded_name = fold_case(cp1251_to_utf8(row.name));
  c.rows = std::move(rows);
  c.by_status = counts;
  c.rows_generation = generation;
  c.entries.assign(c.rows.size(), std::string());
  c.rendered.assign(c.rows.size(), false);
}

const game_row* find_row(const api_cache& c, int32_t id) {
  auto it = std::lower_bound(c.rows.begin(), c.rows.end(), id,
                             [](const game_row& r, int32_t want) { return r.id < want; });
  return it != c.rows.end() && it->id == id ? &*it : nullptr;
}

const std::vector<turn_file>& turns_of(api_cache& c, const game_row& row) {
  cached_turns& t = c.turns[row.id];
  std::string key = row.files_key();
  if (t.key != key) {
    t.turns = read_turns(row.id);
    t.key = std::move(key);
  }
  return t.turns;
}

std::optional<int64_t> last_move_of(api_cache& c, const game_row& row) {
  cached_last_move& m = c.last_moves[row.id];
  std::string key = row.files_key();
  if (m.key != key) {
    m.time = newest_save_time(game_root, row.id, row.lastfile);
    m.key = std::move(key);
  }
  return m.time;
}

std::optional<int64_t> last_move_time(const std::vector<turn_file>& turns,
                                      const std::string& lastfile) {
  for (const turn_file& t : turns) {
    if (t.file == lastfile) return t.mtime;
  }
  return std::nullopt;
}

status_counts api_games_by_status() {
  mutex_lock lock(api_mutex);
  api_cache& c = cache();
  refresh_rows(c);
  return c.by_status;
}

void clear_api_cache() {
  mutex_lock lock(api_mutex);
  api_cache& c = cache();
  c.rows_generation = 0;
  c.rows.clear();
  c.list = cached_body{};
  c.games.clear();
  c.turns.clear();
  c.last_moves.clear();
  c.entries.clear();
  c.rendered.clear();
  forget_all_turn_times();
}
