#include "ops/turns.h"

#include <optional>

#include "db/game.h"
#include "db/layout.h"
#include "db/repair.h"
#include "lib/file_io.h"
#include "lib/metrics.h"
#include "lib/mutex.h"
#include "ops/game_id.h"

namespace {

// The first value of `name`, or nullptr when it is missing or empty.
const std::string* find_given(const aget_rec& pairs, std::string_view name) {
  const std::string* value = find_query(pairs, name);
  return value && !value->empty() ? value : nullptr;
}

// Resolves the game id text under db_lock (see find_game).
refusable<int32_t> find_game_unlocked(std::string_view id_text) EXCLUDES(db_lock) {
  mutex_lock lock(db_lock);
  return find_game(id_text);
}

// Runs `serve` on a copy of the record of game `id_text`, holding that game's lock throughout:
// never the record of a move whose files are half written. Unknown games are refused; a held
// one throws game_held naming `op`.
template <class Serve>
op_result with_game(std::string_view id_text, std::string_view op, Serve serve) EXCLUDES(db_lock) {
  refusable<int32_t> id = find_game_unlocked(id_text);
  if (!id) return op_refusal(id.take_message());
  double waited = 0;
  mutex_lock hold(game_lock(*id), &waited);
  observe_lock_wait(lock_waiter::request, waited);
  const std::optional<game_info> g = copy_game(*id);
  if (!g) return op_refusal("ZTXS Unregistered game id");
  refuse_if_held(*g, op);
  return serve(*g);
}

}  // namespace

op_result get_party_turn(const aget_rec& pairs) {
  const std::string* fn = find_given(pairs, "fn");
  if (!fn) {
    return op_refusal("ZTXS No game ID provided");
  }
  return with_game(*fn, "get_party_turn", [](const game_info& g) {
    if (g.status == status_finished) {
      return op_refusal("ZTXS Game is closed or finished");
    }
    return op_download(g.lastfile, open_regular_file(newest_save_path(game_root, g)));
  });
}

bool party_turn_ready(const aget_rec& pairs) {
  const std::string* fn = find_given(pairs, "fn");
  if (!fn) return true;
  const refusable<int32_t> id = find_game_unlocked(*fn);
  if (!id) return true;
  annotated_mutex& lock = game_lock(*id);
  if (!lock.try_lock()) return false;
  lock.unlock();
  return true;
}

op_result give_party_turn(const aget_rec& pairs) {
  const std::string* fn = find_given(pairs, "fn");
  const std::string* tn = find_given(pairs, "tn");
  const std::string* pl = find_given(pairs, "pl");
  if (!fn) {
    return op_refusal("ZTXS No game ID provided");
  }
  if (!tn) {
    return op_refusal("ZTXS No turn provided");
  }
  if (!pl) {
    return op_refusal("ZTXS No player provided");
  }
  return with_game(*fn, "give_party_turn", [&](const game_info& g) {
    if (g.status != status_finished) {
      return op_refusal("ZTXS Game is not closed or finished");
    }
    const std::optional<std::string> name = requested_turn_file_name(*tn, *pl);
    const std::string path = name ? turn_file_path(game_root, g.id, *name) : std::string();
    if (!name || !file_exists(path)) {
      return op_refusal("ZTXS Turn was not saved");
    }
    return op_download(*name, open_regular_file(path));
  });
}
