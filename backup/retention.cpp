#include "backup/retention.h"

#include <time.h>

#include <algorithm>
#include <numeric>

#include "lib/conv.h"

namespace {

int64_t floor_div(int64_t a, int64_t b) {
  return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

constexpr int64_t hour_s = 3600;
constexpr int64_t day_s = 24 * hour_s;

int64_t hour_of(int64_t t) {
  return floor_div(t, hour_s);
}
int64_t day_of(int64_t t) {
  return floor_div(t, day_s);
}
// 1970-01-01 was a Thursday: counting from the Monday before it, weeks start on Mondays.
int64_t week_of(int64_t t) {
  return floor_div(day_of(t) + 3, 7);
}

}  // namespace

std::vector<bool> snapshots_to_keep(const std::vector<int64_t>& times, const retention_rule& rule) {
  std::vector<bool> keep(times.size(), false);
  if (times.empty()) return keep;
  std::vector<size_t> newest_first(times.size());
  std::iota(newest_first.begin(), newest_first.end(), size_t{0});
  std::stable_sort(newest_first.begin(), newest_first.end(),
                   [&](size_t a, size_t b) { return times[a] > times[b]; });
  keep[newest_first.front()] = true;
  // Walking newest first, the first snapshot met in a period is that period's newest.
  auto keep_newest_per = [&](int64_t (*period_of)(int64_t), int count) {
    int kept = 0;
    bool any = false;
    int64_t last = 0;
    for (size_t i : newest_first) {
      if (kept >= count) return;
      const int64_t period = period_of(times[i]);
      if (any && period == last) continue;
      keep[i] = true;
      any = true;
      last = period;
      ++kept;
    }
  };
  keep_newest_per(hour_of, rule.keep_hourly);
  keep_newest_per(day_of, rule.keep_daily);
  keep_newest_per(week_of, rule.keep_weekly);
  return keep;
}

std::string snapshot_name(int64_t time) {
  // The ISO 8601 time with "-" for ":", which file names on other systems cannot hold.
  std::string name = iso_time(time);
  std::replace(name.begin(), name.end(), ':', '-');
  return name;
}

bool parse_snapshot_name(std::string_view name, int64_t* time) {
  // Digits where the format has them, its separators elsewhere.
  constexpr std::string_view shape = "dddd-dd-ddTdd-dd-ddZ";
  if (name.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = name[i] >= '0' && name[i] <= '9';
    if (shape[i] == 'd' ? !digit : name[i] != shape[i]) return false;
  }
  auto number = [&](size_t at, size_t len) {
    int n = 0;
    for (size_t i = at; i < at + len; ++i) n = n * 10 + (name[i] - '0');
    return n;
  };
  struct tm utc {};
  utc.tm_year = number(0, 4) - 1900;
  utc.tm_mon = number(5, 2) - 1;
  utc.tm_mday = number(8, 2);
  utc.tm_hour = number(11, 2);
  utc.tm_min = number(14, 2);
  utc.tm_sec = number(17, 2);
  const int64_t t = static_cast<int64_t>(timegm(&utc));
  // timegm carries 2026-02-30 into March: such a name is not one we wrote.
  if (snapshot_name(t) != name) return false;
  *time = t;
  return true;
}
