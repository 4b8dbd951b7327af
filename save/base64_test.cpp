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
