// Text and number conversions used everywhere in the server. Texts are byte strings
// (Windows-1251); positions are 1-based and 0 means "not found". Reading a number from text
// never fails: a malformed text gives the value of the digits before the first invalid byte.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// Returns the text without bytes 0..32 at either end (empty when nothing else is left).
std::string trim(std::string_view text);

// Position of the first byte equal to c (a blank also matches a TAB), or 0.
int char_pos(std::string_view text, char c);

// Position of the n-th match as in char_pos, or 0 (also for n < 1).
int char_pos_nth(std::string_view text, char c, int n);

// The text with every run of c reduced to one c (exact match; TAB is not a blank here).
std::string squeeze_char(std::string_view text, char c);

// Decimal text, "-" before negative values.
std::string int_to_str(int32_t n);

// True when `text` is 1 to max_digits ASCII digits and nothing else: the check every number a
// client sends passes before it may reach a path or a lookup.
bool is_decimal(std::string_view text, size_t max_digits);

// "2024-05-01T12:00:00Z": `seconds` since the epoch in UTC, as the JSON replies write times.
std::string iso_time(int64_t seconds);

// The 64-bit FNV-1a hash of `bytes` as 16 lowercase hex digits: stable across runs and builds.
std::string fnv1a_hex(std::string_view bytes);

// Base64 with the RFC 4648 alphabet and "=" padding, no line breaks.
std::string to_base64(std::string_view bytes);

// Lenient decimal/hexadecimal ("$", "x", "0x") reading of the trimmed text: an optional sign,
// then digits; reading stops before a digit once the value is above 214748364 (hexadecimal:
// 0FFFFFFF). A text read whole gives the signed value; otherwise (invalid byte, no digit, a
// stop) the value of the digits read so far without the sign: "12abc" -> 12, "-12abc" -> 12.
// A value beyond 32 bits saturates at INT32_MIN/INT32_MAX when decimal ("2147483648" ->
// 2147483647) and is taken as a 32-bit pattern when hexadecimal ("$FFFFFFFF" -> -1).
int32_t str_to_int(std::string_view text);

// Fixed-point text with `decimals` digits after "." (none and no "." for 0); decimals == -99
// picks decimals_needed(x); other values are clamped to 0..40. Rounds the exact binary value
// to nearest, exact halves to even ("2.5" at 0 decimals -> "2", 0.125 at 2 -> "0.12"). A
// negative value that rounds to zero is written without "-".
std::string real_to_str(int32_t decimals, double x);

// Lenient real reading of the trimmed text: sign, digits, ".", digits, exponent ("e"/"E", sign,
// digits). A text read whole gives its value ("." -> 0, "5." -> 5); otherwise all digits read
// so far as one whole number, without point, exponent or sign: "2.5x" -> 25, "-3x" -> 3,
// "1e" -> 1. Never returns -0.
double str_to_real(std::string_view text);

// 0..3: how many decimals show x without trailing noise (3 -> 0, 2.5 -> 1, 0.05 -> 2,
// 1.23456 -> 3). Each decimal digit within 1e-5 of a whole number ends the count, and a digit
// just below a whole number counts as it (100.1 -> 1, not 0).
int decimals_needed(double x);

// Tuple readers: runs of blanks are squeezed, then the text is split: the k-th separator is the
// k-th comma when there are at least k commas, else the k-th blank or TAB. Each part is trimmed
// and read with str_to_real; an empty part is 0. A missing separator is position 0, so the
// part before it is empty and the part after it starts at the text's beginning ("1,2" as a
// triple -> (1, 0, 1)); parse_quint counts its missing 2nd..4th separators as the end of the
// text instead, so missing trailing values are 0.
std::array<double, 2> parse_pair(std::string_view text);
std::array<double, 3> parse_triple(std::string_view text);
std::array<double, 4> parse_quad(std::string_view text);
std::array<double, 5> parse_quint(std::string_view text);
