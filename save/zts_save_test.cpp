#include "save/zts_save.h"

#include <gtest/gtest.h>

TEST(ColorText, ReversesBytesIntoUpperHex) {
  struct {
    std::array<uint8_t, 3> bytes;
    const char* text;
  } cases[] = {
      {{0x1A, 0x2B, 0x3C}, "3C2B1A"},
      {{0, 0, 0}, "000000"},
      {{255, 0, 128}, "8000FF"},
      {{0x0a, 0xb0, 0xff}, "FFB00A"},
  };
  for (const auto& c : cases) {
    plrtyp p;
    p.color_bytes = c.bytes;
    EXPECT_EQ(color_text(p), c.text);
  }
}
