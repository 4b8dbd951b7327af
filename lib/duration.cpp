#include "lib/duration.h"

#include <cstdint>

namespace {

// A part's number: enough for any real setting, and small enough that no sum can overflow.
constexpr size_t max_digits = 9;
constexpr int64_t max_total_ms = int64_t{1} << 60;

constexpr int64_t ms_per_second = 1000;
constexpr int64_t ms_per_hour = 3600 * ms_per_second;

}  // namespace

bool parse_duration(std::string_view text, std::chrono::milliseconds* out) {
  if (text.empty()) return false;
  int64_t total = 0;
  size_t i = 0;
  while (i < text.size()) {
    int64_t n = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (++digits > max_digits) return false;
      n = n * 10 + (text[i++] - '0');
    }
    if (digits == 0) return false;
    int64_t unit;
    if (text.substr(i, 2) == "ms") {
      unit = 1;
      i += 2;
    } else if (i < text.size() && text[i] == 's') {
      unit = ms_per_second;
      ++i;
    } else if (i < text.size() && text[i] == 'm') {
      unit = 60 * ms_per_second;
      ++i;
    } else if (i < text.size() && text[i] == 'h') {
      unit = ms_per_hour;
      ++i;
    } else if (i < text.size() && text[i] == 'd') {
      unit = 24 * ms_per_hour;
      ++i;
    } else {
      return false;
    }
    total += n * unit;
    if (total > max_total_ms) return false;
  }
  *out = std::chrono::milliseconds(total);
  return true;
}

std::string format_duration(std::chrono::milliseconds d) {
  int64_t ms = d.count();
  if (ms != 0 && ms % ms_per_hour == 0) return std::to_string(ms / ms_per_hour) + "h";
  if (ms % ms_per_second == 0) return std::to_string(ms / ms_per_second) + "s";
  return std::to_string(ms) + "ms";
}
