#include "save/crc32.h"

#include <gtest/gtest.h>

#include <string>

TEST(Crc32, KnownAnswers) {
  struct {
    std::string in;
    uint32_t crc;
  } cases[] = {
      {"", 0},
      {"a", 0xE8B7BE43u},
      {"abc", 0x352441C2u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
      {std::string(32, '\0'), 0x190A55ADu},
      {std::string(32, '\xFF'), 0xFF6CAB0Bu},
  };
  for (const auto& c : cases) EXPECT_EQ(crc32(c.in), c.crc) << c.in.size() << " bytes";
}

// Reference: one bit at a time, independent of the table code.
static uint32_t bitwise_crc32(const std::string& s) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

TEST(Crc32, MatchesBitwiseForEveryLengthAndAlignment) {
  std::string data;
  for (int i = 0; i < 300; ++i) data += static_cast<char>(i * 131 + 7);
  for (size_t off = 0; off < 8; ++off)
    for (size_t len = 0; off + len <= data.size(); len += 13) {
      std::string part = data.substr(off, len);
      ASSERT_EQ(crc32(part), bitwise_crc32(part)) << off << "+" << len;
    }
}

TEST(Crc32, MatchesBitwiseOnLongInputs) {
  // Long enough for every folding path: the 64-byte loop, 16-byte steps and a byte tail.
  std::string data;
  uint32_t x = 12345;
  for (int i = 0; i < 70000; ++i) data += static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  for (size_t len : {64, 65, 79, 80, 127, 128, 129, 191, 4096, 65537, 70000})
    for (size_t off : {0, 3}) {
      std::string part = data.substr(off, len - off);
      ASSERT_EQ(crc32(part), bitwise_crc32(part)) << off << "+" << len;
    }
}
