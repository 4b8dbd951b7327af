#include "lib/asys.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "lib/mutex.h"

namespace {

// server_clock() returns this when it is >= 0 (tests pin the clock).
std::atomic<int64_t> clock_override{-1};

// tzset() rewrites the zone globals that server_clock reads.
annotated_mutex zone_lock;
// When tzset() last ran.
time_t zone_checked GUARDED_BY(zone_lock) = -1;

}  // namespace

void sleep_ms(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint32_t server_clock() {
  int64_t pinned = clock_override.load();
  if (pinned >= 0) return static_cast<uint32_t>(pinned);
  time_t now = time(nullptr);
  mutex_lock guard(zone_lock);
  // tzset() looks at the zone file on every call (a stat each time); once a second is enough
  // to follow a changed zone, and keeps a refresh pass over many games off the disk.
  if (now != zone_checked) {
    tzset();
    zone_checked = now;
  }
  struct tm local {};
  localtime_r(&now, &local);
  int64_t clock = static_cast<int64_t>(now);
  // Outside daylight-saving time the local offset is the standard one and cancels out.
  // `timezone` is the standard offset in seconds west of UTC.
  if (local.tm_isdst > 0) clock += local.tm_gmtoff + timezone;
  return static_cast<uint32_t>(clock);
}

void set_server_clock_override(std::optional<uint32_t> value) {
  clock_override.store(value ? static_cast<int64_t>(*value) : -1);
}

std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(text, pos, hit - pos);
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text, pos);
  return out;
}
