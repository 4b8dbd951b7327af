// The LZW code that compresses both sections of a save.
//
// Codes are 9 to 12 bits wide, packed most significant bit first. 256 is the clear code (reset
// the table, width 9), 257 the end code; the first code a stream defines is 258. Each code
// after the first following a clear adds one table entry: the previous code's string plus the
// first byte of this code's string. Adding entry 510, 1022 or 2046 widens the next code to 10,
// 11 or 12 bits; adding entry 4093 narrows it to 9 again without a reset, and a valid stream
// then sends a clear code. A code equal to the next free entry stands for the previous string
// plus its own first byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The most bytes a stream of `input_bytes` bytes can decode to: one code per 9 bits, and the
// i-th code's string is at most min(i, 4096) bytes long.
uint64_t lzw_max_output(size_t input_bytes);

// Decodes `in` into out[0, size) and returns the number of bytes produced (at most size, and at
// most 4 GiB - 1). Ends early, keeping what was produced, at: the end code, a code above the
// next free entry, a code that ends at or past the end of the input, output reaching `size`, a
// stream that does not start with a clear code, a clear code followed by a code of 256 or more
// other than the end code, or a full table (4096 entries). Never reads past `in` nor writes at
// or past `size`; out[returned count, size) may be overwritten (strings are copied in blocks).
size_t lzw_decode(std::string_view in, char* out, size_t size);
