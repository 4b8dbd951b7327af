#include "save/lzw.h"

#include <cstring>

namespace {

constexpr uint32_t clear_code = 256;
constexpr uint32_t end_code = 257;
// The table holds codes 0 to 4095; no entry beyond it is ever added.
constexpr uint32_t table_size = 4096;
// Output is capped at 4 GiB - 1 as the contract says; no section comes near this.
constexpr size_t max_output_size = 0xFFFFFFFFu;

// An entry's string is always a run of bytes already written to the output (the previous
// code's string and the byte after it), so an entry is just where that run starts and its
// length. Decoding copies runs instead of walking prefix chains, and no chain is ever followed.
// The 256 single-byte strings are runs of `literal_bytes`, so that every code below the next
// free entry is decoded the same way, without a branch the data decides.
struct entry {
  const char* at;
  uint32_t length;
};

// Byte i at index i, and 16 more so that a 16-byte copy from any of them stays inside.
struct literal_table {
  char bytes[256 + 16];
  constexpr literal_table() : bytes() {
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<char>(i);
  }
};
constexpr literal_table literal_bytes;

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

// The entries whose adding sets the width of the codes that follow.
struct width_change {
  uint32_t entry;
  int width;
};
constexpr width_change width_changes[] = {{510, 10}, {1022, 11}, {2046, 12}, {4093, 9}};

int width_after_adding(uint32_t index, int width) {
  for (const width_change& w : width_changes) {
    if (index == w.entry) return w.width;
  }
  return width;
}

// The next entry after `last` whose adding changes the width, or the table's end.
uint32_t next_width_change(uint32_t last) {
  for (const width_change& w : width_changes) {
    if (last < w.entry) return w.entry;
  }
  return table_size;
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
  for (uint32_t i = 0; i < clear_code; ++i) table[i] = {&literal_bytes.bytes[i], 1};
  uint32_t last = end_code;
  int width = 9;
  size_t count = 0;
  bool have_previous = false;
  const char* prev = out;  // where the previous code's string was written
  size_t prev_length = 0;

  // Writes the `length` bytes at `from` (a run of the literals, or of the output ending at or
  // before count); bytes at or past `size` are dropped.
  auto emit_run = [&](const char* from, size_t length) __attribute__((always_inline)) {
    if (length <= 16 && size - count >= 16) {
      // Most strings are short: one 16-byte move, loaded whole before it is stored, so a source
      // close behind count is read before anything lands on it. The bytes past `length` are
      // overwritten by the strings that follow, or lie at or past the last byte produced.
      char run[16];
      std::memcpy(run, from, 16);
      std::memcpy(out + count, run, 16);
      count += length;
      return;
    }
    size_t n = length < size - count ? length : size - count;
    std::memcpy(out + count, from, n);
    count += n;
  };
  auto add_entry = [&](size_t length) __attribute__((always_inline)) {
    ++last;
    table[last] = {prev, static_cast<uint32_t>(length)};
    width = width_after_adding(last, width);
  };

  // Decodes codes that are literals or defined entries for as long as nothing else can happen:
  // no table event on the next entry, the code wholly inside the input, room for the longest
  // string and a 16-byte overshoot. Returns with c the first code it did not decode (already
  // read); the loop below decodes that one, whatever it is. Kept apart, with nothing else live,
  // so that every variable stays in a register.
  const uint64_t input_bits = uint64_t(in.size()) * 8;
  uint32_t c = bits.read(width);
  auto decode_common_codes = [&]() __attribute__((always_inline)) {
    const uint32_t stop = next_width_change(last);
    while (c <= last && c != clear_code && c != end_code && last + 1 < stop &&
           bits.bit_pos < input_bits && size - count >= table_size + 16) {
      const entry e = table[c];
      char* start = out + count;
      char run[16];
      std::memcpy(run, e.at, 16);
      std::memcpy(start, run, 16);
      // A long string is copied 16 bytes at a time: it ends at or before `start`, so every
      // byte of it is read before anything lands on it.
      for (uint32_t k = 16; k < e.length; k += 16) std::memcpy(start + k, e.at + k, 16);
      count += e.length;
      table[++last] = {prev, static_cast<uint32_t>(prev_length + 1)};
      prev = start;
      prev_length = e.length;
      c = bits.read(width);
    }
  };

  while (c != end_code) {
    if (have_previous) {
      decode_common_codes();
      if (c == end_code) break;
    }
    if (!bits.more()) break;
    if (count >= size) break;
    char* start = out + count;
    if (c == clear_code) {
      last = end_code;
      width = 9;
      c = bits.read(width);
      if (c == end_code || !bits.ends_inside() || c >= clear_code) break;
      out[count++] = static_cast<char>(c);
      prev_length = 1;
    } else if (c <= last) {
      if (!have_previous || last + 1 >= table_size) break;
      // c is a literal or a defined entry: the end code ended the loop, the clear code is above.
      const entry e = table[c];
      emit_run(e.at, e.length);
      add_entry(prev_length + 1);
      prev_length = e.length;
    } else if (c == last + 1) {
      if (!have_previous || last + 1 >= table_size) break;
      // The previous string followed by its own first byte.
      char first = *prev;
      emit_run(prev, prev_length);
      if (count < size) out[count++] = first;
      add_entry(prev_length + 1);
      prev_length = prev_length + 1;
    } else {
      break;
    }
    have_previous = true;
    prev = start;
    c = bits.read(width);
  }
  return count;
}
