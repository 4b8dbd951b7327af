#include "save/base64.h"

#include <array>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#define ZTS_BASE64_AVX2 1
#endif

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

#ifdef ZTS_BASE64_AVX2
// 32 characters at a time while all 32 are of the alphabet: each is classified by its two
// nibbles with byte shuffles (a character outside the alphabet, "=", CR and LF included, sets a
// bit in both lookups), turned into its 6-bit value by adding an offset chosen by its high nibble
// ("/" apart), and the values are packed into 24 bytes. Stops at the first block holding anything
// else, and while fewer than 32 bytes of room are left (a block stores 32). Returns the blocks
// decoded.
__attribute__((target("avx2"))) size_t decode_blocks_avx2(const char* text, size_t blocks,
                                                          char* out, size_t room) {
  const __m256i lut_lo =
      _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B,
                       0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                       0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i lut_hi =
      _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m256i lut_roll =
      _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4, -65,
                       -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i mask_2f = _mm256_set1_epi8(0x2F);
  const __m256i pack_shuffle =
      _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10,
                       9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i pack_lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, -1, -1);
  size_t done = 0;
  for (; done < blocks && room - done * 24 >= 32; ++done) {
    __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + done * 32));
    const __m256i hi_nibbles = _mm256_and_si256(_mm256_srli_epi32(in, 4), mask_2f);
    const __m256i lo_nibbles = _mm256_and_si256(in, mask_2f);
    const __m256i lo = _mm256_shuffle_epi8(lut_lo, lo_nibbles);
    const __m256i hi = _mm256_shuffle_epi8(lut_hi, hi_nibbles);
    if (!_mm256_testz_si256(lo, hi)) break;
    const __m256i eq_2f = _mm256_cmpeq_epi8(in, mask_2f);
    const __m256i roll = _mm256_shuffle_epi8(lut_roll, _mm256_add_epi8(eq_2f, hi_nibbles));
    in = _mm256_add_epi8(in, roll);
    // Four 6-bit values to 24 bits per 32-bit lane, then the three bytes of each lane in order.
    in = _mm256_maddubs_epi16(in, _mm256_set1_epi32(0x01400140));
    in = _mm256_madd_epi16(in, _mm256_set1_epi32(0x00011000));
    in = _mm256_shuffle_epi8(in, pack_shuffle);
    in = _mm256_permutevar8x32_epi32(in, pack_lanes);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + done * 24), in);
  }
  return done;
}

bool have_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}
#endif

}  // namespace

size_t decode_base64(std::string_view text, char* out, size_t capacity) {
  size_t pos = 0;
  size_t count = 0;
  const size_t n = text.size();
  while (pos < n) {
#ifdef ZTS_BASE64_AVX2
    // count runs past capacity once the room is used up (the groups after it are still read).
    if (n - pos >= 32 && count + 32 <= capacity && have_avx2()) {
      size_t blocks =
          decode_blocks_avx2(text.data() + pos, (n - pos) / 32, out + count, capacity - count);
      pos += blocks * 32;
      count += blocks * 24;
      if (pos >= n) break;
    }
#endif
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
