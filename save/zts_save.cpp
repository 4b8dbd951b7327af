#include "save/zts_save.h"

std::string color_text(const plrtyp& player) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 2; i >= 0; --i) {
    uint8_t b = player.color_bytes[i];
    text += hex[b >> 4];
    text += hex[b & 15];
  }
  return text;
}
