#include "backup/retention.h"

#include <gtest/gtest.h>

#include <set>

namespace {

struct retention_case {
  const char* what;
  retention_rule rule;
  std::vector<std::string> names;  // in any order
  std::set<std::string> kept;
};

TEST(Retention, KeepsTheNewestOfEachRecentHourDayAndWeek) {
  const retention_case cases[] = {
      {"nothing to keep", {24, 7, 8}, {}, {}},
      {"all counts 0 still keep the newest",
       {0, 0, 0},
       {"2026-12-08T10-00-00Z", "2026-12-08T12-00-00Z", "2026-12-08T11-00-00Z"},
       {"2026-12-08T12-00-00Z"}},
      {"two hours: the newest in each",
       {2, 0, 0},
       {"2026-12-08T10-00-00Z", "2026-12-08T10-30-00Z", "2026-12-08T11-00-00Z",
        "2026-12-08T11-45-00Z", "2026-12-08T12-15-00Z"},
       {"2026-12-08T12-15-00Z", "2026-12-08T11-45-00Z"}},
      {"hours with no snapshot do not count",
       {2, 0, 0},
       {"2026-12-01T03-00-00Z", "2026-12-05T09-00-00Z", "2026-12-08T12-00-00Z"},
       {"2026-12-08T12-00-00Z", "2026-12-05T09-00-00Z"}},
      {"days end at midnight UTC",
       {0, 2, 0},
       {"2026-12-06T23-00-00Z", "2026-12-07T01-00-00Z", "2026-12-07T23-59-59Z",
        "2026-12-08T00-00-00Z"},
       {"2026-12-08T00-00-00Z", "2026-12-07T23-59-59Z"}},
      {"weeks start on Monday",
       {0, 0, 2},
       {"2026-11-29T12-00-00Z", "2026-11-30T12-00-00Z", "2026-12-06T12-00-00Z",
        "2026-12-07T12-00-00Z"},
       {"2026-12-07T12-00-00Z", "2026-12-06T12-00-00Z"}},
      {"the rules add up",
       {1, 2, 3},
       {"2026-11-16T08-00-00Z", "2026-11-23T08-00-00Z", "2026-11-30T08-00-00Z",
        "2026-12-07T08-00-00Z", "2026-12-08T08-00-00Z", "2026-12-08T09-00-00Z"},
       {"2026-12-08T09-00-00Z", "2026-12-07T08-00-00Z", "2026-11-30T08-00-00Z",
        "2026-11-23T08-00-00Z"}},
      {"a repeated time is kept once",
       {1, 0, 0},
       {"2026-12-08T09-00-00Z", "2026-12-08T09-00-00Z"},
       {"2026-12-08T09-00-00Z"}},
  };
  for (const retention_case& c : cases) {
    std::vector<int64_t> times;
    for (const std::string& name : c.names) {
      int64_t t = 0;
      ASSERT_TRUE(parse_snapshot_name(name, &t)) << name;
      times.push_back(t);
    }
    const std::vector<bool> keep = snapshots_to_keep(times, c.rule);
    ASSERT_EQ(keep.size(), times.size()) << c.what;
    std::set<std::string> kept;
    size_t kept_count = 0;
    for (size_t i = 0; i < keep.size(); ++i) {
      if (keep[i]) ++kept_count;
      if (keep[i]) kept.insert(c.names[i]);
    }
    EXPECT_EQ(kept, c.kept) << c.what;
    EXPECT_EQ(kept_count, c.kept.size()) << c.what;
  }
}

TEST(Retention, NamesAreUtcTimesAndNothingElse) {
  int64_t t = 0;
  ASSERT_TRUE(parse_snapshot_name("2026-12-08T11-00-00Z", &t));
  EXPECT_EQ(t, 1796727600);
  EXPECT_EQ(snapshot_name(t), "2026-12-08T11-00-00Z");
  for (const char* bad : {"", ".2026-12-08T11-00-00Z.snapshot.42", ".removing-2026-12-08T11-00-00Z",
                          "2026-12-08T11-00-00", "2026-12-08 11-00-00Z", "2026-02-30T00-00-00Z",
                          "2026-12-08T11:00:00Z", "2026-12-08T11-00-00Z~"}) {
    EXPECT_FALSE(parse_snapshot_name(bad, &t)) << bad;
  }
}

}  // namespace
