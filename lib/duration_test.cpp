#include "lib/duration.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::milliseconds;

TEST(Duration, ReadsEveryUnitAndSumsAndRefusesTheRest) {
  const struct {
    const char* text;
    bool ok;
    int64_t ms;
  } cases[] = {
      {"500ms", true, 500},
      {"60s", true, 60'000},
      {"2m", true, 120'000},
      {"1h", true, 3'600'000},
      {"2d", true, 172'800'000},
      {"1h30m", true, 5'400'000},
      {"1m500ms", true, 60'500},
      {"0s", true, 0},
      {"000000001s", true, 1000},
      {"999999999h", true, 999'999'999LL * 3'600'000},
      {"", false, 0},
      {"24", false, 0},  // a bare number
      {"h", false, 0},
      {"1w", false, 0},
      {"-1h", false, 0},
      {"1h ", false, 0},
      {"1h 30m", false, 0},
      {"1.5h", false, 0},
      {"1mss", false, 0},
      {"1hm", false, 0},
      {"1000000000ms", false, 0},  // ten digits
      {"99999999999s", false, 0},
  };
  for (const auto& c : cases) {
    milliseconds d{-7};
    EXPECT_EQ(parse_duration(c.text, &d), c.ok) << c.text;
    EXPECT_EQ(d.count(), c.ok ? c.ms : -7) << c.text;
  }
  // No sum of parts overflows: past the bound the text is refused.
  std::string many;
  for (int i = 0; i < 20'000; ++i) many += "999999999d";
  milliseconds d{};
  EXPECT_FALSE(parse_duration(many, &d));
}

TEST(Duration, FormatPicksTheLargestWholeUnitAndReadsBack) {
  const struct {
    int64_t ms;
    const char* text;
  } cases[] = {{0, "0s"},         {1, "1ms"},        {1500, "1500ms"},     {60'000, "60s"},
               {120'000, "120s"}, {3'600'000, "1h"}, {5'400'000, "5400s"}, {86'400'000, "24h"}};
  for (const auto& c : cases) {
    EXPECT_EQ(format_duration(milliseconds(c.ms)), c.text);
    milliseconds back{-1};
    EXPECT_TRUE(parse_duration(format_duration(milliseconds(c.ms)), &back)) << c.text;
    EXPECT_EQ(back.count(), c.ms) << c.text;
  }
}

}  // namespace
