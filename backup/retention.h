// Which back-up snapshots to keep: the newest N of each hour, day and week, and always the
// newest of all. Snapshots are named by their UTC time, "2026-12-08T11-00-00Z", so that the name
// sorts by time and says it without reading anything inside.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// How many of the most recent hours, days (UTC) and weeks (Monday to Sunday, UTC) keep their
// newest snapshot. A snapshot kept by any of the three stays.
struct retention_rule {
  int keep_hourly = 24;
  int keep_daily = 7;
  int keep_weekly = 8;
};

// For each of `times` (seconds since 1970, UTC, in any order, repeats allowed), whether the
// rule keeps it. The newest is always kept, whatever the counts (even all 0).
std::vector<bool> snapshots_to_keep(const std::vector<int64_t>& times, const retention_rule& rule);

// The snapshot name of `time`: "YYYY-MM-DDTHH-MM-SSZ".
std::string snapshot_name(int64_t time);

// Reads a snapshot name back into *time; false for any other name (hidden names of snapshots
// being written, other files), which the tools then leave alone.
bool parse_snapshot_name(std::string_view name, int64_t* time);
