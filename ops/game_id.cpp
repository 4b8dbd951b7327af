#include "ops/game_id.h"

#include "db/game.h"
#include "lib/conv.h"

bool find_game(std::string_view id_text, int32_t* id, std::string* reply) {
  constexpr std::string_view prefix = "game_";
  if (!id_text.starts_with(prefix)) {
    *reply = "ZTXS Invalid game id";
    return false;
  }
  int32_t k = str_to_int(id_text.substr(prefix.size()));
  if (k < 0 || static_cast<size_t>(k) >= games.size()) {
    *reply = "ZTXS Game id is out of range";
    return false;
  }
  if (!games[k]) {
    *reply = "ZTXS Unregistered game id";
    return false;
  }
  *id = k;
  return true;
}
