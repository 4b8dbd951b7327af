#include "save/lzw.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/save_writer.h"

namespace {

std::string hex_bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

std::string decode(std::string_view in, size_t size) {
  std::string out(size, '\0');
  out.resize(lzw_decode(in, out.data(), out.size()));
  return out;
}

// A stream that adds entries 258 .. `through` with literal codes only, each code in the width
// the decoder expects: literal 'a' after the clear code, then literals cycling through 'a'-'z'.
std::vector<lzw_code> literal_run(uint32_t through, std::string* expected) {
  std::vector<lzw_code> codes = {{256, 9}, {'a', 9}};
  *expected = "a";
  int width = 9;
  for (uint32_t entry = 258; entry <= through; ++entry) {
    char c = static_cast<char>('a' + entry % 26);
    codes.push_back({static_cast<uint8_t>(c), width});
    *expected += c;
    if (entry == 510) width = 10;
    if (entry == 1022) width = 11;
    if (entry == 2046) width = 12;
    if (entry == 4093) width = 9;
  }
  return codes;
}

}  // namespace

TEST(Lzw, ExamplesFromTheFormat) {
  struct {
    std::string in;
    size_t size;
    std::string out;
  } cases[] = {
      // clear, 65, 66, end
      {hex_bytes({0x80, 0x10, 0x48, 0x50, 0x10}), 10, "AB"},
      {hex_bytes({0x80, 0x10, 0x48, 0x50, 0x10}), 1, "A"},
      {hex_bytes({0x80, 0x10, 0x48, 0x50, 0x10}), 0, ""},
      // clear, 65, 258 (= last + 1 when it arrives), end
      {hex_bytes({0x80, 0x10, 0x60, 0x50, 0x10}), 10, "AAA"},
      // the end code first
      {pack_codes({{257, 9}}), 10, ""},
      {pack_codes({{256, 9}, {257, 9}}), 10, ""},
      {"", 10, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.in, c.size), c.out);
}

TEST(Lzw, EndsEarlyOnBrokenStreams) {
  struct {
    const char* what;
    std::vector<lzw_code> codes;
    std::string out;
  } cases[] = {
      {"code above last + 1", {{256, 9}, {'A', 9}, {'B', 9}, {300, 9}, {'C', 9}, {257, 9}}, "AB"},
      {"no end code", {{256, 9}, {'A', 9}, {'B', 9}, {'C', 9}}, "ABC"},
      {"no clear code first", {{'A', 9}, {'B', 9}, {257, 9}}, ""},
      {"entry code first", {{258, 9}, {257, 9}}, ""},
      {"clear then clear", {{256, 9}, {256, 9}, {'A', 9}, {257, 9}}, ""},
      {"clear then entry code", {{256, 9}, {'A', 9}, {'B', 9}, {256, 9}, {258, 9}, {257, 9}}, "AB"},
      {"clear then end", {{256, 9}, {'A', 9}, {256, 9}, {257, 9}, {'B', 9}}, "A"},
      {"entry code after a reset",
       {{256, 9}, {'A', 9}, {'B', 9}, {256, 9}, {'C', 9}, {258, 9}, {257, 9}},
       "ABCCC"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(pack_codes(c.codes), 100), c.out) << c.what;
}

TEST(Lzw, ACodeEndingAtOrPastTheLastInputBitIsNotHandled) {
  // clear, 'A', 'B', 'C' and 4 zero bits: 'C' ends at bit 36 of 40, inside the input.
  std::string inside = pack_codes({{256, 9}, {'A', 9}, {'B', 9}, {'C', 9}});
  ASSERT_EQ(inside.size(), 5u);
  EXPECT_EQ(decode(inside, 10), "ABC");
  // One byte less and 'C' runs past the end.
  EXPECT_EQ(decode(inside.substr(0, 4), 10), "AB");
  // Eight codes fill exactly 9 bytes: 'G' ends on the last bit and is not handled.
  std::string boundary =
      pack_codes({{256, 9}, {'A', 9}, {'B', 9}, {'C', 9}, {'D', 9}, {'E', 9}, {'F', 9}, {'G', 9}});
  ASSERT_EQ(boundary.size(), 9u);
  EXPECT_EQ(decode(boundary, 10), "ABCDEF");
}

TEST(Lzw, WidthGrowsAfterEntries510And1022And2046) {
  for (uint32_t through : {509u, 510u, 511u, 1021u, 1022u, 1023u, 2045u, 2046u, 2047u, 3000u}) {
    std::string expected;
    std::vector<lzw_code> codes = literal_run(through, &expected);
    auto width_once = [](uint32_t entries) {
      return entries >= 2046 ? 12 : entries >= 1022 ? 11 : entries >= 510 ? 10 : 9;
    };
    // The newest entry, read in the width its addition set; it adds entry through + 1, and the
    // end code follows in the width that one set.
    codes.push_back({through, width_once(through)});
    expected += expected.substr(expected.size() - 2, 2);
    codes.push_back({257, width_once(through + 1)});
    EXPECT_EQ(decode(pack_codes(codes), 1 << 20), expected) << through;
  }
}

TEST(Lzw, WidthReturnsToNineAfterEntry4093WithoutReset) {
  std::string expected;
  std::vector<lzw_code> codes = literal_run(4093, &expected);
  // Still 9 bits and the table kept: an old entry decodes, entries 4094 and 4095 get added.
  codes.push_back({300, 9});
  expected += expected.substr(300 - 258, 2);
  codes.push_back({'z', 9});
  expected += "z";
  codes.push_back({257, 9});
  EXPECT_EQ(decode(pack_codes(codes), 1 << 20), expected);
}

TEST(Lzw, StopsInsteadOfAddingEntryBeyond4095) {
  std::string expected;
  std::vector<lzw_code> codes = literal_run(4093, &expected);
  codes.push_back({'x', 9});  // adds 4094
  codes.push_back({'y', 9});  // adds 4095
  codes.push_back({'w', 9});  // would add 4096: decoding ends
  codes.push_back({257, 9});
  EXPECT_EQ(decode(pack_codes(codes), 1 << 20), expected + "xy");
  // A clear code there is fine and starts over.
  codes[codes.size() - 2] = {256, 9};
  codes.back() = {'q', 9};
  codes.push_back({257, 9});
  EXPECT_EQ(decode(pack_codes(codes), 1 << 20), expected + "xyq");
}

TEST(Lzw, RoundTripsThroughTheTestEncoder) {
  std::mt19937 rng(42);
  std::vector<std::string> inputs = {
      "", "A", "AB", "AAAAAAAAAAAAAAAAAAAAAAAA", "ABABABABABAB", "TOBEORNOTTOBEORTOBEORNOT#"};
  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes += static_cast<char>(i);
  inputs.push_back(all_bytes);
  inputs.push_back(std::string(100000, 'z'));  // long runs: entries with long strings
  std::string random_text, small_alphabet;
  for (int i = 0; i < 200000; ++i) random_text += static_cast<char>(rng());
  for (int i = 0; i < 300000; ++i) small_alphabet += static_cast<char>('a' + rng() % 3);
  inputs.push_back(random_text);     // fills the table repeatedly: clear codes at 4093
  inputs.push_back(small_alphabet);  // long entries, many KwKwK codes
  for (const std::string& in : inputs) {
    std::string packed = lzw_encode(in);
    EXPECT_EQ(decode(packed, in.size()), in) << in.size();
    EXPECT_LE(in.size(), lzw_max_output(packed.size()));
    // A smaller output size cuts the output there and nothing more is written.
    if (in.size() > 10) {
      std::string cut(in.size(), '#');
      size_t n = lzw_decode(packed, cut.data(), in.size() / 2);
      EXPECT_EQ(n, in.size() / 2);
      EXPECT_EQ(cut.substr(0, n), in.substr(0, n));
      EXPECT_EQ(cut.substr(n), std::string(in.size() - n, '#'));
    }
  }
}

TEST(Lzw, MaxOutputBoundsTheWorstCase) {
  EXPECT_EQ(lzw_max_output(0), 0u);
  EXPECT_EQ(lzw_max_output(9), 8u * 9 / 2);
  // One byte repeated gives the longest strings a stream can hold: still within the bound.
  for (size_t n : {1000, 10000, 100000}) {
    std::string packed = lzw_encode(std::string(n, 'x'));
    EXPECT_GE(lzw_max_output(packed.size()), n);
  }
  EXPECT_GT(lzw_max_output(size_t(1) << 30), uint64_t(1) << 40);
}

TEST(Lzw, GarbageNeverReadsOrWritesOutOfBounds) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    // Every fourth round has room for the longest string, as real sections do.
    const bool roomy = round % 4 == 3;
    std::string in(rng() % (roomy ? 4096 : 64), '\0');
    for (char& c : in) c = static_cast<char>(rng());
    if (!in.empty() && round % 2) in[0] = '\x80';  // start with a clear code half the time
    size_t size = roomy ? 4096 + rng() % 20000 : rng() % 300;
    std::vector<char> out(size + 16, '#');
    size_t n = lzw_decode(in, out.data(), size);
    ASSERT_LE(n, size);
    for (size_t i = size; i < out.size(); ++i) ASSERT_EQ(out[i], '#');
  }
}
