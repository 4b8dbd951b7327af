#include "lib/conv.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

// str_to_int stops before a digit that could carry the value past 32 bits.
constexpr int64_t decimal_stop = 214748364;
constexpr int64_t hex_stop = 0x0FFFFFFF;

// Exponents beyond this already take any double to infinity or zero; capping keeps the
// accumulator from overflowing on absurdly long exponent texts.
constexpr int64_t max_exponent = 100000;

// real_to_str shows at most this many decimals; a double carries no more meaning than that.
constexpr int max_decimals = 40;

// decimals_needed treats a digit expansion as finished when it is this close to whole.
constexpr double whole_tolerance = 1e-5;

bool is_blank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

std::string_view trim_view(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

bool char_matches(char have, char want) {
  return have == want || (want == ' ' && have == '\t');
}

int digit_value(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (!hex) return -1;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A value that does not fit 32 bits: decimal saturates at the nearest limit, hexadecimal is
// taken as the 32-bit pattern it spells (so "$FFFFFFFF" is -1).
int32_t fit_int32(int64_t value, bool hex) {
  if (hex) return static_cast<int32_t>(static_cast<uint32_t>(value));
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

// whole * 10^power, dividing for negative powers so that "0.1" is the nearest double to 0.1.
double scale_by_ten(double whole, int64_t power) {
  // Steps keep each factor finite, so values near the ends of the double range survive.
  constexpr int64_t step = 300;
  while (power > step && std::isfinite(whole) && whole != 0) {
    whole *= 1e300;
    power -= step;
  }
  while (power < -step && whole != 0) {
    whole /= 1e300;
    power += step;
  }
  if (power >= 0) return whole * std::pow(10.0, static_cast<double>(power));
  return whole / std::pow(10.0, static_cast<double>(-power));
}

// Reads the 1-based byte range [from, to] as a real; an empty range is 0.
double read_part(std::string_view text, int from, int to) {
  to = std::min(to, static_cast<int>(text.size()));
  if (from < 1 || from > to) return 0;
  return str_to_real(trim_view(text.substr(from - 1, to - from + 1)));
}

// The k-th separator: the k-th comma when there are k commas, else the k-th blank or TAB.
int separator_pos(std::string_view text, int commas, int k) {
  return commas >= k ? char_pos_nth(text, ',', k) : char_pos_nth(text, ' ', k);
}

// Splits at N-1 separators and reads N parts. A missing separator is 0, or, with
// `missing_after_first_is_end`, the text length + 1 for every separator but the first.
template <size_t N>
std::array<double, N> parse_tuple(std::string_view text, bool missing_after_first_is_end) {
  std::string squeezed = squeeze_char(text, ' ');
  int commas = static_cast<int>(std::count(squeezed.begin(), squeezed.end(), ','));
  int end = static_cast<int>(squeezed.size()) + 1;
  std::array<int, N + 1> bounds{};  // bounds[0] = 0 and bounds[N] = end frame the parts
  bounds[N] = end;
  for (size_t k = 1; k < N; ++k) {
    bounds[k] = separator_pos(squeezed, commas, static_cast<int>(k));
    if (bounds[k] == 0 && missing_after_first_is_end && k > 1) bounds[k] = end;
  }
  std::array<double, N> values{};
  for (size_t k = 0; k < N; ++k) values[k] = read_part(squeezed, bounds[k] + 1, bounds[k + 1] - 1);
  return values;
}

}  // namespace

std::string trim(std::string_view text) {
  return std::string(trim_view(text));
}

int char_pos(std::string_view text, char c) {
  return char_pos_nth(text, c, 1);
}

int char_pos_nth(std::string_view text, char c, int n) {
  if (n < 1) return 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (char_matches(text[i], c) && --n == 0) return static_cast<int>(i) + 1;
  }
  return 0;
}

std::string squeeze_char(std::string_view text, char c) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == c && i > 0 && text[i - 1] == c) continue;
    out += text[i];
  }
  return out;
}

std::string int_to_str(int32_t n) {
  return std::to_string(n);
}

bool is_decimal(std::string_view text, size_t max_digits) {
  return !text.empty() && text.size() <= max_digits &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string iso_time(int64_t seconds) {
  const auto t = static_cast<time_t>(seconds);
  struct tm utc {};
  gmtime_r(&t, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string fnv1a_hex(std::string_view bytes) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

std::string to_base64(std::string_view bytes) {
  static constexpr char digits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
    out += digits[(n >> 18) & 63];
    out += digits[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? digits[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? digits[n & 63] : '=';
  }
  return out;
}

int32_t str_to_int(std::string_view text) {
  std::string_view t = trim_view(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  bool hex = false;
  if (i < t.size() && (t[i] == '$' || t[i] == 'x' || t[i] == 'X')) {
    hex = true;
    i += 1;
  } else if (i + 1 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  const int64_t base = hex ? 16 : 10;
  const int64_t stop = hex ? hex_stop : decimal_stop;
  int64_t value = 0;
  size_t digits = 0;
  for (; i < t.size(); ++i) {
    int d = digit_value(t[i], hex);
    if (d < 0 || value > stop) break;
    value = value * base + d;
    ++digits;
  }
  if (i == t.size() && digits > 0) return fit_int32(negative ? -value : value, hex);
  return fit_int32(value, hex);  // the digits before the stop, sign dropped
}

std::string real_to_str(int32_t decimals, double x) {
  if (decimals == -99) decimals = decimals_needed(x);
  decimals = std::clamp(decimals, 0, max_decimals);
  int size = std::snprintf(nullptr, 0, "%.*f", decimals, x);
  std::string text(static_cast<size_t>(size) + 1, '\0');
  std::snprintf(text.data(), text.size(), "%.*f", decimals, x);
  text.resize(static_cast<size_t>(size));
  // A negative value that rounds to zero shows as zero, not "-0.00".
  if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  return text;
}

double str_to_real(std::string_view text) {
  std::string_view t = trim_view(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  double whole = 0;
  int64_t fraction_digits = 0;
  auto read_digits = [&](bool after_point) {
    for (; i < t.size() && digit_value(t[i], false) >= 0; ++i) {
      whole = whole * 10 + digit_value(t[i], false);
      if (after_point) ++fraction_digits;
    }
  };
  read_digits(false);
  if (i < t.size() && t[i] == '.') {
    ++i;
    read_digits(true);
  }
  int64_t exponent = 0;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    bool exponent_negative = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) exponent_negative = t[i++] == '-';
    size_t first = i;
    for (; i < t.size() && digit_value(t[i], false) >= 0; ++i) {
      exponent = std::min(exponent * 10 + digit_value(t[i], false), max_exponent);
    }
    if (i == first) return whole;  // an exponent needs digits
    if (exponent_negative) exponent = -exponent;
  }
  if (t.empty() || i != t.size()) return whole;  // no point, exponent or sign applied
  double value = scale_by_ten(whole, exponent - fraction_digits);
  if (value == 0) return 0;  // never -0
  return negative ? -value : value;
}

int decimals_needed(double x) {
  double whole;
  double f = std::modf(std::fabs(x), &whole);
  int answer = 0;
  for (int k = 1; k <= 3; ++k) {
    f *= 10;
    // A digit that lands just below a whole number (100.1 gives 0.99999...) counts as that
    // number, or 100.1 would need no decimals.
    bool near_whole = std::fabs(f - std::round(f)) < whole_tolerance;
    if ((near_whole ? std::round(f) : f) >= 1) answer = k;
    if (near_whole) break;
    f -= std::floor(f);
  }
  return answer;
}

std::array<double, 2> parse_pair(std::string_view text) {
  return parse_tuple<2>(text, false);
}
std::array<double, 3> parse_triple(std::string_view text) {
  return parse_tuple<3>(text, false);
}
std::array<double, 4> parse_quad(std::string_view text) {
  return parse_tuple<4>(text, false);
}
std::array<double, 5> parse_quint(std::string_view text) {
  return parse_tuple<5>(text, true);
}
