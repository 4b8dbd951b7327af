#include "db/reply_cache.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "db/generation.h"

namespace {

// Section 0 names the games in play, section 1 every game with its turn; the head counts the
// games, so a change anywhere shows in it.
int rendered = 0;  // entries rendered by test_shape

list_shape test_shape() {
  list_shape shape;
  shape.sections = 2;
  shape.entry = [](size_t s, const game_info& g, std::string* out) {
    ++rendered;
    if (s == 0 && g.status == status_playing) *out += "p" + std::to_string(g.id) + ";";
    if (s == 1) *out += std::to_string(g.id) + ":" + std::to_string(g.turn) + ";";
  };
  shape.body_head = []() REQUIRES(db_lock) {
    return "n=" + std::to_string(count_open_games() + count_finished_games()) + "|";
  };
  shape.body_tail = "|end";
  shape.http_head = [](size_t size) { return "L" + std::to_string(size) + "\n"; };
  return shape;
}

std::string expected_reply(const list_shape& shape) {
  std::lock_guard lock(db_lock);
  std::string body = whole_list_body(shape);
  return shape.http_head(body.size()) + body;
}

std::set<const std::string*> pieces_of(const shared_reply& reply) {
  std::set<const std::string*> out;
  for (const shared_text& piece : reply->pieces) out.insert(piece.get());
  return out;
}

size_t shared_between(const shared_reply& a, const shared_reply& b) {
  size_t n = 0;
  for (const std::string* p : pieces_of(a)) n += pieces_of(b).count(p);
  return n;
}

void publish(int32_t id, int32_t turn, int32_t status) {
  game_info g;
  g.id = id;
  g.turn = turn;
  g.status = status;
  publish_game(g);
}

// A list of four and a half pieces of games kept across a move, a new game past the last piece, an
// emptied slot and the list swapped whole: each reply is byte for byte the list built whole at that
// moment, and pieces of games that did not change are the same bytes in memory as before.
TEST(KeptList, RebuildsOnlyThePiecesOfChangedGamesAndAlwaysMatchesTheWholeList) {
  const list_shape shape = test_shape();
  kept_list cache;
  constexpr auto k = static_cast<int32_t>(list_chunk_slots);
  const int32_t count = 4 * k + k / 2;
  {
    std::lock_guard lock(db_lock);
    games.clear();
    games.resize(count);
    bump_games_generation();
  }
  for (int32_t id = 0; id < count; ++id) publish(id, id % 5, id % 3 == 0 ? 2 : 0);

  const shared_reply first = kept_list_reply(&cache, shape);
  EXPECT_EQ(joined(*first), expected_reply(shape));
  EXPECT_EQ(first->size, joined(*first).size());
  EXPECT_EQ(kept_list_reply(&cache, shape), first) << "nothing changed: the same reply";
  // Head, 5 pieces per section, tail, HTTP head.
  EXPECT_EQ(first->pieces.size(), 1u + 1u + 5u + 5u + 1u);

  publish(k + 6, 99, status_playing);  // in the second piece
  rendered = 0;
  const shared_reply moved = kept_list_reply(&cache, shape);
  EXPECT_EQ(rendered, 2) << "only the moved game's two entries rendered again";
  EXPECT_NE(joined(*moved), joined(*first));
  EXPECT_EQ(joined(*moved), expected_reply(shape));
  EXPECT_EQ(shared_between(first, moved), 8u) << "all but the moved game's two pieces kept";

  {
    std::lock_guard lock(db_lock);
    games.resize(5 * k + 1);
  }
  publish(5 * k, 1, status_playing);
  const shared_reply grown = kept_list_reply(&cache, shape);
  EXPECT_EQ(joined(*grown), expected_reply(shape));
  const std::string newest_first = "p" + std::to_string(5 * k) + ";p" +
                                   std::to_string((count - 1) % 3 ? count - 1 : count - 2) + ";";
  EXPECT_NE(joined(*grown).find(newest_first), std::string::npos) << "newest game listed first";
  EXPECT_EQ(shared_between(moved, grown), 10u);

  {
    std::lock_guard lock(db_lock);
    games[5].reset();
    bump_game_generation(5);
  }
  const shared_reply emptied = kept_list_reply(&cache, shape);
  EXPECT_EQ(joined(*emptied), expected_reply(shape));
  EXPECT_EQ(joined(*emptied).find(";5:"), std::string::npos);

  {
    std::lock_guard lock(db_lock);
    games.resize(2);
    bump_games_generation();
  }
  const shared_reply swapped = kept_list_reply(&cache, shape);
  EXPECT_EQ(joined(*swapped), "L19\nn=2|p1;1:1;0:0;|end");
  EXPECT_EQ(shared_between(emptied, swapped), 0u);

  std::lock_guard lock(db_lock);
  games.clear();
  bump_games_generation();
}

}  // namespace
