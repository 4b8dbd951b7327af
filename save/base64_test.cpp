#include "save/base64.h"

#include <gtest/gtest.h>

#include <string>

TEST(Base64, KnownAnswers) {
  struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYg==", "foob"},
      {"Zm9vYmE=", "fooba"},
      {"Zm9vYmFy", "foobar"},
      {"AP8A/w==", std::string("\x00\xff\x00\xff", 4)},
      {"+/+/", "\xfb\xff\xbf"},
      // Line breaks are skipped anywhere, even inside a group.
      {"Zm\r\n9v\nYmFy\r\n", "foobar"},
      {"\n\n\nZm9v", "foo"},
      // Decoding ends at the first group holding a foreign character, keeping what came before.
      {"Zm9v*mFy", "foo"},
      {"Zm9vYm F", "foo"},
      {"Zm9vYmFy\t", "foobar"},
      // An incomplete last group is dropped.
      {"Zm9vYm", "foo"},
      {"Zm9", ""},
      // "=" third means one byte whatever the fourth; decoding goes on after a padded group.
      {"Zg=A", "f"},
      {"Zg==Zm9v", "ffoo"},
      {"Zm8=Zm9v", "fofoo"},
      // "=" in a data position counts as 64 in the sums.
      {"B=AA", std::string("\x08\x00\x00", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_base64(c.in), c.out) << c.in;
}

TEST(Base64, NeverWritesAtOrBeyondCapacity) {
  char buf[8];
  for (size_t cap = 0; cap <= 6; ++cap) {
    std::fill(buf, buf + 8, '#');
    size_t n = decode_base64("Zm9vYmFy", buf, cap);
    EXPECT_EQ(n, cap);
    EXPECT_EQ(std::string(buf, cap), std::string("foobar").substr(0, cap));
    for (size_t i = cap; i < 8; ++i) EXPECT_EQ(buf[i], '#') << cap;
  }
}

TEST(Base64, AllByteValuesRoundTripThroughTheAlphabet) {
  std::string raw;
  for (int i = 0; i < 256; ++i) raw += static_cast<char>(i);
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i + 2 < raw.size(); i += 3) {
    uint32_t w = uint8_t(raw[i]) << 16 | uint8_t(raw[i + 1]) << 8 | uint8_t(raw[i + 2]);
    for (int s = 18; s >= 0; s -= 6) text += alphabet[(w >> s) & 63];
  }
  EXPECT_EQ(decode_base64(text), raw.substr(0, 255));
}

// Long texts take the 32-character blocks: whatever stops or interrupts them (a foreign
// character, "=", a line break, the end of the room), the bytes are those the groups give.
TEST(Base64, LongTextsDecodeAsTheirGroupsWhereverTheyStop) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
  for (size_t groups : {8u, 9u, 16u, 17u, 40u, 97u}) {
    std::string raw, text;
    for (size_t i = 0; i < groups * 3; ++i) raw += static_cast<char>(next());
    for (size_t i = 0; i < raw.size(); i += 3) {
      uint32_t w = uint8_t(raw[i]) << 16 | uint8_t(raw[i + 1]) << 8 | uint8_t(raw[i + 2]);
      for (int s = 18; s >= 0; s -= 6) text += alphabet[(w >> s) & 63];
    }
    ASSERT_EQ(decode_base64(text), raw);
    for (size_t at = 0; at < text.size(); at += 1 + next() % 7) {
      const size_t kept = at / 4 * 3;  // the whole groups before the one holding `at`
      for (char foreign : {'*', '-', ' ', '\0', '\x80'}) {
        std::string bad = text;
        bad[at] = foreign;
        EXPECT_EQ(decode_base64(bad), raw.substr(0, kept)) << groups << " " << at;
      }
      // "=" third in a group ends its bytes at one and decoding goes on.
      std::string padded = text;
      padded[at / 4 * 4 + 2] = '=';
      EXPECT_EQ(decode_base64(padded).substr(0, kept), raw.substr(0, kept)) << at;
      std::string broken = text;
      broken.insert(at, at % 2 ? "\n" : "\r\n");
      EXPECT_EQ(decode_base64(broken), raw) << groups << " " << at;
      std::string room(raw.size() + 40, '#');
      const size_t cap = raw.size() - at * 3 / 4;
      EXPECT_EQ(decode_base64(text, room.data(), cap), cap);
      EXPECT_EQ(room.substr(0, cap), raw.substr(0, cap)) << groups << " " << cap;
      EXPECT_EQ(room.substr(cap), std::string(room.size() - cap, '#')) << groups << " " << cap;
    }
  }
}
