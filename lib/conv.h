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

// Lenient decimal/hexadecimal ("$", "x", "0x") reading; see the module's tests for the rules.
int32_t str_to_int(std::string_view text);

// Fixed-point text with `decimals` digits after "."; decimals == -99 picks decimals_needed(x).
std::string real_to_str(int32_t decimals, double x);

// Lenient real reading: sign, digits, ".", digits, exponent.
double str_to_real(std::string_view text);

// Upper-case hexadecimal, at least two digits ("0A", "FF").
std::string byte_to_hex(int v);

// 0..3: how many decimals show x without trailing noise (3 -> 0, 2.5 -> 1, 0.05 -> 2).
int decimals_needed(double x);

// Tuple readers: the text is split at commas (or at blanks/TABs when there are too few commas),
// each part trimmed and read with str_to_real.
std::array<double, 2> parse_pair(std::string_view text);
std::array<double, 3> parse_triple(std::string_view text);
std::array<double, 4> parse_quad(std::string_view text);
std::array<double, 5> parse_quint(std::string_view text);
