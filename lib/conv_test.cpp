#include "lib/conv.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

namespace {

TEST(Trim, CutsControlBytesAndBlanksOnlyAtTheEnds) {
  struct {
    std::string in, want;
  } cases[] = {
      {"  a b \t\r\n", "a b"},    {std::string("\0\x01 x\x1f", 5), "x"}, {" \t ", ""}, {"", ""},
      {"\xA0x\xA0", "\xA0x\xA0"},  // bytes above 32 (Windows-1251 letters, NBSP) stay
  };
  for (const auto& c : cases) EXPECT_EQ(trim(c.in), c.want) << c.in;
}

TEST(CharPos, BlankAlsoMatchesTabAndPositionsAreOneBased) {
  struct {
    std::string text;
    char c;
    int n, want;
  } cases[] = {
      {"a\tb", ' ', 1, 2},   {"a b\tc", ' ', 2, 4}, {"a b", '\t', 1, 0},  // not the other way
      {"abcabc", 'c', 1, 3}, {"abcabc", 'c', 2, 6}, {"abcabc", 'c', 3, 0},
      {"abc", 'a', 0, 0},    {"abc", 'a', -1, 0},   {"", ' ', 1, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(char_pos_nth(c.text, c.c, c.n), c.want) << c.text << " n=" << c.n;
    if (c.n == 1) {
      EXPECT_EQ(char_pos(c.text, c.c), c.want) << c.text;
    }
  }
}

TEST(SqueezeChar, KeepsOneOfEachRunIncludingTheEnds) {
  struct {
    std::string in;
    char c;
    std::string want;
  } cases[] = {
      {"a   b", ' ', "a b"},     {"  a  ", ' ', " a "}, {"a\t\tb", ' ', "a\t\tb"},
      {"a \t b", ' ', "a \t b"}, {"xxyxx", 'x', "xyx"}, {"", ' ', ""},
  };
  for (const auto& c : cases) EXPECT_EQ(squeeze_char(c.in, c.c), c.want) << c.in;
}

TEST(IntToStr, WholeRange) {
  EXPECT_EQ(int_to_str(0), "0");
  EXPECT_EQ(int_to_str(-5), "-5");
  EXPECT_EQ(int_to_str(std::numeric_limits<int32_t>::max()), "2147483647");
  EXPECT_EQ(int_to_str(std::numeric_limits<int32_t>::min()), "-2147483648");
}

TEST(StrToInt, LenientReading) {
  constexpr int32_t max = std::numeric_limits<int32_t>::max();
  constexpr int32_t min = std::numeric_limits<int32_t>::min();
  struct {
    std::string in;
    int32_t want;
  } cases[] = {
      {"42", 42},
      {" -7 \t", -7},
      {"+5", 5},
      {"007", 7},
      {"0", 0},
      {"$1F", 31},
      {"0x1F", 31},
      {"0X1f", 31},
      {"x10", 16},
      {"X", 0},
      {"-$10", -16},
      {"12abc", 12},
      {"-12abc", 12},  // an invalid byte drops the sign
      {"- 5", 0},      // the blank after the sign stops the reading
      {"1 2", 1},
      {"$1g", 1},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"$", 0},
      {"0x", 0},
      {"2147483647", max},
      {"-2147483648", min},
      {"99999999999", 999999999},  // stops before the tenth digit
      {"-99999999999", 999999999},
      {"$123456789", 0x12345678},
      // Read whole but beyond 32 bits: decimal saturates, hexadecimal is a bit pattern.
      {"2147483648", max},
      {"2147483649", max},
      {"-2147483649", min},
      {"2147483649x", max},
      {"$7FFFFFFF", max},
      {"$80000000", min},
      {"$FFFFFFFF", -1},
      {"-$FFFFFFFF", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(str_to_int(c.in), c.want) << '"' << c.in << '"';
}

TEST(StrToReal, LenientReading) {
  struct {
    std::string in;
    double want;
  } cases[] = {
      {"2.5", 2.5},
      {"-1e3", -1000},
      {"+2.5", 2.5},
      {" 7 ", 7},
      {"1E5", 100000},
      {"1e5", 100000},
      {"1e+2", 100},
      {"1.5e-1", 0.15},
      {"5.", 5},
      {".5", 0.5},
      {".", 0},
      {"", 0},
      {"abc", 0},
      {"0.1", 0.1},
      {"123.456", 123.456},
      // Not read whole: all digits so far as one number, no point, exponent or sign.
      {"2.5x", 25},
      {"-3x", 3},
      {"2,3", 2},
      {"1e", 1},
      {"1e-", 1},
      {"1.2.3", 12},
      {"-1.5e2x", 15},
      {"1 2", 1},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(str_to_real(c.in), c.want) << '"' << c.in << '"';
}

TEST(StrToReal, ExactForShortDecimalsAndSafeAtTheExtremes) {
  EXPECT_EQ(str_to_real("0.1"), 0.1);  // divided, not multiplied by 0.1
  EXPECT_EQ(str_to_real("-0.3"), -0.3);
  EXPECT_EQ(str_to_real("1e400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(str_to_real("1e-400"), 0);
  EXPECT_EQ(str_to_real("1e99999999999999999999"), std::numeric_limits<double>::infinity());
  EXPECT_NEAR(str_to_real("1e-310"), 1e-310, 1e-320);
  EXPECT_FALSE(std::signbit(str_to_real("-0")));
  EXPECT_FALSE(std::signbit(str_to_real("-")));
}

TEST(RealToStr, FixedAndAutomaticDecimals) {
  struct {
    int32_t decimals;
    double x;
    std::string want;
  } cases[] = {
      {-99, 1.5, "1.5"},
      {-99, 2.0, "2"},
      {-99, 0.125, "0.125"},
      {-99, 0.12345, "0.123"},
      {-99, -2.5, "-2.5"},
      {-99, 100.1, "100.1"},
      {-99, 10.01, "10.01"},
      {2, 3.14159, "3.14"},
      {3, -1.5, "-1.500"},
      {0, 1234567.0, "1234567"},
      {0, -1.7, "-2"},
      {-5, 1.9, "2"},
      // Exact halves go to the even digit.
      {0, 2.5, "2"},
      {0, 3.5, "4"},
      {2, 0.125, "0.12"},
      // A negative value that rounds to zero has no sign.
      {2, -0.001, "0.00"},
      {0, -0.4, "0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(real_to_str(c.decimals, c.x), c.want) << c.decimals << " " << c.x;
  }
}

TEST(DecimalsNeeded, CountsSignificantDecimalsUpToThree) {
  struct {
    double x;
    int want;
  } cases[] = {
      {3, 0},      {2.5, 1},   {0.05, 2},  {1.23456, 3}, {-0.5, 1},         {0.001, 3},
      {0.0001, 0}, {100.1, 1}, {10.01, 2}, {0.3, 1},     {0.0999999999, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(decimals_needed(c.x), c.want) << c.x;
}

template <size_t N>
void expect_tuple(const std::array<double, N>& got, const std::array<double, N>& want,
                  const std::string& in) {
  for (size_t i = 0; i < N; ++i) EXPECT_DOUBLE_EQ(got[i], want[i]) << '"' << in << "\" part " << i;
}

TEST(TupleReaders, PairAndTriple) {
  struct {
    std::string in;
    std::array<double, 2> want;
  } pairs[] = {
      {"1 2", {1, 2}},   {"1,2", {1, 2}}, {"1, 2", {1, 2}}, {"1\t2", {1, 2}},
      {"1   2", {1, 2}}, {"5", {0, 5}},   {"", {0, 0}},     {"1.5,-2e1", {1.5, -20}},
  };
  for (const auto& c : pairs) expect_tuple(parse_pair(c.in), c.want, c.in);

  struct {
    std::string in;
    std::array<double, 3> want;
  } triples[] = {
      {"1,2,3", {1, 2, 3}},
      {"1 2 3", {1, 2, 3}},
      {"1 , 2 , 3", {1, 2, 3}},
      {"1,2", {1, 0, 1}},  // no second separator: empty middle, last part is the whole text
  };
  for (const auto& c : triples) expect_tuple(parse_triple(c.in), c.want, c.in);
}

TEST(TupleReaders, QuadAndQuint) {
  struct {
    std::string in;
    std::array<double, 4> want;
  } quads[] = {
      {"1,2,3,4", {1, 2, 3, 4}},
      {"1 2 3 4", {1, 2, 3, 4}},
      {"1.5, -2, 3e1, 4", {1.5, -2, 30, 4}},
  };
  for (const auto& c : quads) expect_tuple(parse_quad(c.in), c.want, c.in);

  struct {
    std::string in;
    std::array<double, 5> want;
  } quints[] = {
      {"1,2,3,4,5", {1, 2, 3, 4, 5}}, {"1 2 3 4 5", {1, 2, 3, 4, 5}}, {"1,2,3", {1, 2, 3, 0, 0}},
      {"1 2 3 4", {1, 2, 3, 4, 0}},   {"5", {0, 5, 0, 0, 0}},
  };
  for (const auto& c : quints) expect_tuple(parse_quint(c.in), c.want, c.in);
}

}  // namespace

TEST(SmallEncoders, KnownAnswers) {
  EXPECT_EQ(fnv1a_hex(""), "cbf29ce484222325");
  EXPECT_EQ(fnv1a_hex("a"), "af63dc4c8601ec8c");
  EXPECT_EQ(fnv1a_hex("foobar"), "85944171f73967e8");
  const std::pair<std::string, std::string> base64[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xff\xfe", "//4="},
  };
  for (const auto& [in, out] : base64) EXPECT_EQ(to_base64(in), out) << in;
  EXPECT_EQ(iso_time(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(iso_time(1700000000), "2023-11-14T22:13:20Z");
}

TEST(IsDecimal, DigitsOnlyWithinTheLength) {
  EXPECT_TRUE(is_decimal("0", 1));
  EXPECT_TRUE(is_decimal("0123456789", 10));
  EXPECT_FALSE(is_decimal("0123456789", 9));
  for (std::string_view bad : {"", "-1", "+1", " 1", "1 ", "1a", "..", "1/2", "١"}) {
    EXPECT_FALSE(is_decimal(bad, 10)) << bad;
  }
}
