#include "ops/turns.h"

#include <algorithm>

#include "db/game.h"
#include "db/layout.h"
#include "lib/file_io.h"
#include "net/reply.h"
#include "ops/game_id.h"

namespace {

// The first value of `name`, or nullptr when it is missing or empty.
const std::string* find_given(const aget_rec& pairs, std::string_view name) {
  const std::string* value = find_query(pairs, name);
  return value && !value->empty() ? value : nullptr;
}

// A turn or player number as it may appear in a stored turn file's name. Anything else (a
// "/", "..", letters) must never reach a path.
bool is_file_number(const std::string& text) {
  return !text.empty() && text.size() <= 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool get_party_turn(const aget_rec& pairs, std::string* reply) {
  const std::string* fn = find_given(pairs, "fn");
  if (!fn) {
    *reply = "ZTXS No game ID provided";
    return false;
  }
  int32_t id = 0;
  if (!find_game(*fn, &id, reply)) return false;
  const game_info& g = *games[id];
  if (g.status == 2) {
    *reply = "ZTXS Game is closed or finished";
    return false;
  }
  *reply = file_reply("200 OK", g.lastfile, newest_save_path(game_root, g));
  return true;
}

bool give_party_turn(const aget_rec& pairs, std::string* reply) {
  const std::string* fn = find_given(pairs, "fn");
  const std::string* tn = find_given(pairs, "tn");
  const std::string* pl = find_given(pairs, "pl");
  if (!fn) {
    *reply = "ZTXS No game ID provided";
    return false;
  }
  if (!tn) {
    *reply = "ZTXS No turn provided";
    return false;
  }
  if (!pl) {
    *reply = "ZTXS No player provided";
    return false;
  }
  int32_t id = 0;
  if (!find_game(*fn, &id, reply)) return false;
  if (games[id]->status != 2) {
    *reply = "ZTXS Game is not closed or finished";
    return false;
  }
  const std::string name = "turn_" + *tn + "_" + *pl + ".zts";
  const std::string path = turn_file_path(game_root, id, name);
  if (!is_file_number(*tn) || !is_file_number(*pl) || !file_exists(path)) {
    *reply = "ZTXS Turn was not saved";
    return false;
  }
  *reply = file_reply("200 OK", name, path);
  return true;
}
