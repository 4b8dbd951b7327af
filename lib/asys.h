// Small system functions: sleeping, the server clock, text replacement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Suspends the calling thread for `ms` milliseconds.
void sleep_ms(uint32_t ms);

// Whole seconds since 1970-01-01 from the local time plus the zone's standard (non-daylight)
// offset: equal to UTC epoch seconds outside daylight-saving time, one hour ahead during it.
// Low 32 bits. Tests may pin it with set_server_clock_override. Any thread; takes a lock
// private to this module (the zone globals are re-read on every call, so a changed TZ counts).
uint32_t server_clock();

// Pins server_clock() to a fixed value (tests); std::nullopt returns to the real clock.
void set_server_clock_override(std::optional<uint32_t> value);

// Replaces every occurrence of `from` (case-sensitive, left to right, not re-scanning what was
// inserted) with `to`. An empty `from` leaves the text unchanged.
std::string replace_all(std::string_view text, std::string_view from, std::string_view to);
