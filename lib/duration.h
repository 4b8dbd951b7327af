// Durations as operators write them in the configuration: a number and a unit, "500ms", "60s",
// "2m", "1h", "2d", or a sum of such parts without blanks, "1h30m". One grammar for every key
// that takes a time; each key checks its own range.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

// Reads `text` into *out. Each part is 1 to 9 digits and one of ms, s, m, h, d. Returns false
// (leaving *out as it was) on anything else: empty text, a bare number, a sign, a blank, an
// unknown unit. Never throws.
bool parse_duration(std::string_view text, std::chrono::milliseconds* out);

// "1500ms", "60s", "1h": whole hours in h, else whole seconds in s, else ms. parse_duration reads
// it back.
std::string format_duration(std::chrono::milliseconds d);
