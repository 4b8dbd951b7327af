#include "notify/events.h"

#include <gtest/gtest.h>

namespace {

game_view game(int32_t status, int32_t turn, int32_t curplr, const std::string& in_game,
               int32_t winner = 0) {
  game_view g;
  g.id = 3;
  g.name = "league";
  g.status = status;
  g.turn = turn;
  g.curplr = curplr;
  g.winner = winner;
  for (size_t k = 0; k < in_game.size(); ++k) {
    g.teams.push_back("T" + std::to_string(k));
    g.in_game.push_back(in_game[k] == '1');
  }
  return g;
}

TEST(NotifyEvents, NewestStateOnlyOneEventPerChange) {
  const reminder_policy off{};
  const struct {
    const char* what;
    game_view before;  // what was announced (status -1: nothing yet)
    game_view now;
    event_kind kind;
    bool silent;
    std::vector<int32_t> out;
    const char* event_id;
  } cases[] = {
      {"new game",
       game(-1, 0, 0, ""),
       game(1, 0, 0, "111"),
       event_kind::new_game,
       false,
       {},
       "zts-3-0-0-1-new_game"},
      {"three quick moves give one message",
       game(0, 4, 0, "111"),
       game(0, 5, 0, "111"),
       event_kind::turn,
       false,
       {},
       "zts-3-5-0-0-turn"},
      {"opening phase ends",
       game(1, 1, 2, "111"),
       game(0, 2, 0, "111"),
       event_kind::turn,
       false,
       {},
       "zts-3-2-0-0-turn"},
      {"a player out",
       game(0, 4, 0, "111"),
       game(0, 4, 2, "101"),
       event_kind::player_out,
       false,
       {1},
       "zts-3-4-2-0-player_out"},
      {"won",
       game(0, 7, 0, "101"),
       game(2, 7, 0, "001", 2),
       event_kind::finished,
       false,
       {},
       "zts-3-7-0-2-finished"},
      {"finished by the hourly pass",
       game(0, 9, 1, "111"),
       game(2, 9, 1, "111"),
       event_kind::finished_idle,
       false,
       {},
       "zts-3-9-1-2-finished_idle"},
      {"archived",
       game(0, 1, 1, "11"),
       game(3, 1, 1, "11"),
       event_kind::archived,
       false,
       {},
       "zts-3-1-1-3-archived"},
      {"a move in an archived game",
       game(3, 1, 1, "11"),
       game(3, 2, 0, "11"),
       event_kind::turn,
       false,
       {},
       "zts-3-2-0-3-turn"},
      {"finished game edited: nothing to say",
       game(2, 7, 0, "001", 2),
       game(2, 7, 0, "000", 2),
       event_kind::finished,
       true,
       {},
       "zts-3-7-0-2-finished"},
      {"new to the target but already over",
       game(-1, 0, 0, ""),
       game(2, 7, 0, "010", 1),
       event_kind::finished,
       false,
       {},
       "zts-3-7-0-2-finished"},
  };
  for (const auto& c : cases) {
    announced_state last = state_of(c.before, 100);
    std::optional<notify_event> e =
        next_event(c.now, c.before.status < 0 ? nullptr : &last, 200, off);
    ASSERT_TRUE(e) << c.what;
    EXPECT_EQ(e->kind, c.kind) << c.what;
    EXPECT_EQ(e->silent, c.silent) << c.what;
    EXPECT_EQ(e->out, c.out) << c.what;
    EXPECT_EQ(event_id_for(*e, 7), std::string(c.event_id) + "-7") << c.what;
    EXPECT_EQ(e->next, state_of(c.now, 200)) << c.what;
    // Once stored, the same state gives nothing more.
    EXPECT_FALSE(next_event(c.now, &e->next, 300, off)) << c.what;
  }
}

TEST(NotifyEvents, RemindersDueAfterThenEveryUpToMax) {
  const reminder_policy policy{.after_s = 100, .every_s = 50, .max = 2};
  const game_view g = game(0, 4, 1, "11");
  announced_state s = state_of(g, 1000);
  EXPECT_FALSE(next_event(g, &s, 1099, policy));
  std::optional<notify_event> first = next_event(g, &s, 1100, policy);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->kind, event_kind::reminder);
  EXPECT_EQ(first->waited_s, 100u);
  EXPECT_EQ(first->next.reminders, 1);
  EXPECT_EQ(first->next.since, 1000u);  // counted from the turn, not from the reminder
  EXPECT_EQ(event_id_for(*first, 7), "zts-3-4-1-0-reminder-7-1");
  s = first->next;
  EXPECT_FALSE(next_event(g, &s, 1149, policy));
  std::optional<notify_event> second = next_event(g, &s, 1150, policy);
  ASSERT_TRUE(second);
  s = second->next;
  EXPECT_FALSE(next_event(g, &s, 99999, policy));  // max reached

  // None for a finished game, none when off, none when the clock went back.
  const game_view done = game(2, 4, 1, "10");
  announced_state d = state_of(done, 1000);
  EXPECT_FALSE(next_event(done, &d, 5000, policy));
  announced_state a = state_of(g, 1000);
  EXPECT_FALSE(next_event(g, &a, 5000, reminder_policy{}));
  EXPECT_FALSE(next_event(g, &a, 900, policy));
}

}  // namespace
