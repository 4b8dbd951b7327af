#include "save/lzw.h"

#include <cstring>

namespace {

constexpr uint32_t clear_code = 256;
constexpr uint32_t end_code = 257;
// The table holds codes 0 to 4095; no entry beyond it is ever added.
constexpr uint32_t table_size = 4096;
// Entries record output offsets in 32 bits; no section comes near this.
constexpr size_t max_output_size = 0xFFFFFFFFu;

// An entry's string is always a run of bytes already written to the output (the previous
// code's string and the byte after it), so an entry is just where that run starts and its
// length. Decoding copies runs instead of walking prefix chains, and no chain is ever followed.
struct entry {
  uint32_t offset;
  uint32_t length;
};

struct bit_reader {
  const unsigned char* data;
  size_t size;
  uint64_t bit_pos = 0;  // first unread bit, counted from the most significant bit of byte 0

  // Reads `width` bits; the bits past the input read as 0 (the caller checks ends_inside()).
  uint32_t read(int width) {
    size_t byte = bit_pos >> 3;
    unsigned skip = bit_pos & 7;
    uint64_t window = 0;
    if (byte + 8 <= size) {
      std::memcpy(&window, data + byte, 8);
      window = __builtin_bswap64(window);
    } else {
      for (size_t k = 0; k < 8; ++k) window = window << 8 | (byte + k < size ? data[byte + k] : 0);
    }
    bit_pos += width;
    return static_cast<uint32_t>(window >> (64 - skip - width)) & ((1u << width) - 1);
  }
  // The last code read lies wholly inside the input.
  bool ends_inside() const { return bit_pos <= uint64_t(size) * 8; }
  // The next unread bit is still inside the input.
  bool more() const { return bit_pos < uint64_t(size) * 8; }
};

int width_after_adding(uint32_t index, int width) {
  switch (index) {
    case 510:
      return 10;
    case 1022:
      return 11;
    case 2046:
      return 12;
    case 4093:
      return 9;
    default:
      return width;
  }
}

}  // namespace

uint64_t lzw_max_output(size_t input_bytes) {
  uint64_t codes = uint64_t(input_bytes) * 8 / 9;
  if (codes <= table_size) return codes * (codes + 1) / 2;
  return uint64_t(table_size) * (table_size + 1) / 2 + (codes - table_size) * table_size;
}

size_t lzw_decode(std::string_view in, char* out, size_t size) {
  if (size > max_output_size) size = max_output_size;
  bit_reader bits{reinterpret_cast<const unsigned char*>(in.data()), in.size()};
  entry table[table_size];
  uint32_t last = end_code;
  int width = 9;
  size_t count = 0;
  bool have_previous = false;
  size_t prev_offset = 0;  // where the previous code's string was written
  size_t prev_length = 0;

  // Writes `length` bytes copied from out[offset] (a run ending at or before count); bytes at or
  // past `size` are dropped.
  auto emit_run = [&](size_t offset, size_t length) {
    if (length <= 16 && size - count >= 16) {
      // Most strings are short: one 16-byte move, loaded whole before it is stored, so a source
      // close behind count is read before anything lands on it. The bytes past `length` are
      // overwritten by the strings that follow, or lie at or past the last byte produced.
      char run[16];
      std::memcpy(run, out + offset, 16);
      std::memcpy(out + count, run, 16);
      count += length;
      return;
    }
    size_t n = length < size - count ? length : size - count;
    std::memcpy(out + count, out + offset, n);
    count += n;
  };
  auto add_entry = [&](size_t length) {
    ++last;
    table[last] = {static_cast<uint32_t>(prev_offset), static_cast<uint32_t>(length)};
    width = width_after_adding(last, width);
  };

  uint32_t c = bits.read(width);
  while (c != end_code) {
    if (!bits.more()) break;
    if (count >= size) break;
    size_t start = count;
    if (c == clear_code) {
      last = end_code;
      width = 9;
      c = bits.read(width);
      if (c == end_code || !bits.ends_inside() || c >= clear_code) break;
      out[count++] = static_cast<char>(c);
      prev_length = 1;
    } else if (c <= last) {
      if (!have_previous || last + 1 >= table_size) break;
      size_t length = 1;
      if (c < clear_code) {
        out[count++] = static_cast<char>(c);
      } else {
        emit_run(table[c].offset, table[c].length);
        length = table[c].length;
      }
      add_entry(prev_length + 1);
      prev_length = length;
    } else if (c == last + 1) {
      if (!have_previous || last + 1 >= table_size) break;
      // The previous string followed by its own first byte.
      char first = out[prev_offset];
      emit_run(prev_offset, prev_length);
      if (count < size) out[count++] = first;
      add_entry(prev_length + 1);
      prev_length = prev_length + 1;
    } else {
      break;
    }
    have_previous = true;
    prev_offset = start;
    c = bits.read(width);
  }
  return count;
}
