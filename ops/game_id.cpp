#include "ops/game_id.h"

#include "db/game.h"
#include "db/layout.h"
#include "lib/conv.h"
#include "ops/op_result.h"

refusable<int32_t> find_game(std::string_view id_text) {
  const std::optional<std::string_view> number = game_number_text(id_text);
  if (!number) return refusal{"ZTXS Invalid game id"};
  const int32_t k = str_to_int(*number);
  if (k < 0 || static_cast<size_t>(k) >= games.size()) {
    return refusal{"ZTXS Game id is out of range"};
  }
  if (!games[k]) return refusal{"ZTXS Unregistered game id"};
  note_request_game(k);
  return k;
}
