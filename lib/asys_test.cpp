#include "lib/asys.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

namespace {

TEST(SleepMs, WaitsAtLeastTheGivenTime) {
  auto start = std::chrono::steady_clock::now();
  sleep_ms(30);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

// Sets TZ for one test and puts the old value back afterwards.
class ServerClock : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("TZ");
    had_tz = old != nullptr;
    if (had_tz) old_tz = old;
  }
  void TearDown() override {
    if (had_tz) {
      setenv("TZ", old_tz.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    set_server_clock_override(std::nullopt);
  }
  static void use_zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

  bool had_tz = false;
  std::string old_tz;
};

TEST_F(ServerClock, UtcOutsideDaylightSavingAheadByTheShiftDuringIt) {
  // POSIX zone rules, so no time zone database is needed. "J1/0,J365/25" keeps daylight-saving
  // time on all year.
  struct {
    const char* tz;
    int64_t ahead;
  } cases[] = {
      {"UTC0", 0},
      {"XST5", 0},                             // west of UTC, no DST
      {"XST-5:30", 0},                         // east of UTC, no DST
      {"XST5XDT,J1/0,J365/25", 3600},          // west, DST all year
      {"XST-1XDT,J1/0,J365/25", 3600},         // east, DST all year
      {"XST-10:30XDT-11,J1/0,J365/25", 1800},  // a half-hour shift
  };
  for (const auto& c : cases) {
    use_zone(c.tz);
    int64_t before = time(nullptr);
    uint32_t clock = server_clock();
    int64_t after = time(nullptr);
    EXPECT_GE(clock, static_cast<uint32_t>(before + c.ahead)) << c.tz;
    EXPECT_LE(clock, static_cast<uint32_t>(after + c.ahead)) << c.tz;
  }
}

TEST_F(ServerClock, OverrideIsReturnedUntilCleared) {
  set_server_clock_override(12345);
  EXPECT_EQ(server_clock(), 12345u);
  set_server_clock_override(0xFFFFFFFFu);
  EXPECT_EQ(server_clock(), 0xFFFFFFFFu);
  set_server_clock_override(std::nullopt);
  use_zone("UTC0");
  EXPECT_NEAR(static_cast<double>(server_clock()), static_cast<double>(time(nullptr)), 1);
}

using ServerClockConcurrent = ServerClock;

TEST_F(ServerClockConcurrent, ReadersAndOverrideWritersRace) {
  use_zone("UTC0");
  std::vector<std::thread> pool;
  for (int t = 0; t < 4; ++t) {
    pool.emplace_back([] {
      for (int i = 0; i < 500; ++i) {
        uint32_t c = server_clock();
        EXPECT_TRUE(c == 77u || c > 1700000000u) << c;
      }
    });
  }
  pool.emplace_back([] {
    for (int i = 0; i < 500; ++i) {
      set_server_clock_override(77u);
      set_server_clock_override(std::nullopt);
    }
  });
  for (auto& th : pool) th.join();
}

TEST(ReplaceAll, EveryOccurrenceLeftToRight) {
  struct {
    std::string text, from, to, want;
  } cases[] = {
      {"aaa", "a", "b", "bbb"},
      {"aaa", "aa", "b", "ba"},
      {"aa", "a", "aa", "aaaa"},  // what was inserted is not searched again
      {"a.b.c", ".", "", "abc"},
      {"Hello", "h", "j", "Hello"},
      {"abc", "", "x", "abc"},
      {"", "a", "b", ""},
      {"<b>&</b>", "&", "&amp;", "<b>&amp;</b>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(replace_all(c.text, c.from, c.to), c.want) << c.text << " " << c.from;
  }
}

}  // namespace
