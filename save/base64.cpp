#include "save/base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr uint8_t pad_value = 64;
constexpr uint8_t invalid = 255;

constexpr std::array<uint8_t, 256> make_table() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = invalid;
  constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(alphabet[i])] = static_cast<uint8_t>(i);
  t['='] = pad_value;
  return t;
}

constexpr std::array<uint8_t, 256> table = make_table();

bool is_line_break(char c) {
  return c == '\r' || c == '\n';
}

// Reads the next four values from *pos onward, skipping line breaks; a position past the text
// reads as invalid.
std::array<uint8_t, 4> next_group(std::string_view text, size_t* pos) {
  std::array<uint8_t, 4> v{};
  for (auto& x : v) {
    while (*pos < text.size() && is_line_break(text[*pos])) ++*pos;
    x = *pos < text.size() ? table[static_cast<uint8_t>(text[(*pos)++])] : invalid;
  }
  return v;
}

}  // namespace

size_t decode_base64(std::string_view text, char* out, size_t capacity) {
  size_t pos = 0;
  size_t count = 0;
  const size_t n = text.size();
  while (pos < n) {
    std::array<uint8_t, 4> v;
    // Fast path: four alphabet characters in a row, no padding or line break.
    if (pos + 4 <= n &&
        (table[uint8_t(text[pos])] | table[uint8_t(text[pos + 1])] | table[uint8_t(text[pos + 2])] |
         table[uint8_t(text[pos + 3])]) < 64 &&
        count + 3 <= capacity) {
      uint32_t w = uint32_t(table[uint8_t(text[pos])]) << 18 |
                   uint32_t(table[uint8_t(text[pos + 1])]) << 12 |
                   uint32_t(table[uint8_t(text[pos + 2])]) << 6 | table[uint8_t(text[pos + 3])];
      out[count] = static_cast<char>(w >> 16);
      out[count + 1] = static_cast<char>(w >> 8);
      out[count + 2] = static_cast<char>(w);
      count += 3;
      pos += 4;
      continue;
    }
    v = next_group(text, &pos);
    if (v[0] == invalid || v[1] == invalid || v[2] == invalid || v[3] == invalid) break;
    size_t pad = v[2] == pad_value ? 2 : v[3] == pad_value ? 1 : 0;
    // Sums, not ORs: a "=" (64) in a data position carries into the neighbouring bits.
    const uint8_t bytes[3] = {static_cast<uint8_t>((v[0] << 2) + (v[1] >> 4)),
                              static_cast<uint8_t>((v[1] << 4) + (v[2] >> 2)),
                              static_cast<uint8_t>((v[2] << 6) + v[3])};
    for (size_t k = 0; k < 3; ++k)
      if (count + k < capacity) out[count + k] = static_cast<char>(bytes[k]);
    count += 3 - pad;
  }
  return count < capacity ? count : capacity;
}

std::string decode_base64(std::string_view text) {
  std::string out(decoded_capacity(text.size()), '\0');
  out.resize(decode_base64(text, out.data(), out.size()));
  return out;
}
