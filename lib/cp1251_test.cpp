#include "lib/cp1251.h"

#include <gtest/gtest.h>

TEST(Cp1251, KnownAnswers) {
  struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"plain ASCII 0-9 {}", "plain ASCII 0-9 {}"},
      {std::string("\x00\x7f", 2), std::string("\x00\x7f", 2)},
      {"\xcf\xf0\xe8\xe2\xe5\xf2", "Привет"},
      {"\xc0\xdf\xe0\xff", "АЯая"},
      {"\xa8\xb8", "Ёё"},
      {"\x80\x81\x88", "ЂЃ€"},
      {"\x96\x97\xab\xbb\xb9", "–—«»№"},
      {"\x98", "\xc2\x98"},
      {"\xa0", "\xc2\xa0"},
      {"\xb2\xb3\xaa\xba\xaf\xbf", "ІіЄєЇї"},
  };
  for (const auto& c : cases) EXPECT_EQ(cp1251_to_utf8(c.in), c.out) << c.in;
}

TEST(Cp1251, EveryHighByteGivesOneValidCharacter) {
  for (int b = 0x80; b < 0x100; ++b) {
    std::string u = cp1251_to_utf8(std::string(1, static_cast<char>(b)));
    ASSERT_GE(u.size(), 2u) << b;
    ASSERT_LE(u.size(), 3u) << b;
    unsigned char lead = static_cast<unsigned char>(u[0]);
    EXPECT_EQ(u.size() == 2 ? lead >> 5 : lead >> 4, u.size() == 2 ? 0x6 : 0xE) << b;
    for (size_t i = 1; i < u.size(); ++i) EXPECT_EQ(static_cast<unsigned char>(u[i]) >> 6, 2) << b;
  }
}
