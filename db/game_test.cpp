#include "db/game.h"

#include <gtest/gtest.h>

namespace {

game_info id_only(int32_t id) {
  game_info g;
  g.id = id;
  return g;
}

TEST(GameList, CountersSkipEmptySlotsAndArchivedGames) {
  games.clear();
  games.resize(7);
  const int32_t statuses[] = {0, 1, 2, 3, 2, 5};  // slot 6 stays empty
  for (int32_t slot = 0; slot < 6; ++slot) new_game_info(slot).status = statuses[slot];
  games[2].reset();
  EXPECT_EQ(count_open_games(), 2);      // 0 and 1
  EXPECT_EQ(count_finished_games(), 1);  // slot 4
  EXPECT_EQ(games[5]->id, 5);
  games.clear();
  EXPECT_EQ(count_open_games(), 0);
  EXPECT_EQ(count_finished_games(), 0);
}

TEST(GameList, NewRecordIsZeroed) {
  games.clear();
  games.resize(3);
  game_info& g = new_game_info(2);
  EXPECT_EQ(g, id_only(2));
  EXPECT_EQ(g.rules, (std::array<uint8_t, 16>{}));
  games.clear();
}

}  // namespace
