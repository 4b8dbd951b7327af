// Base64 as the save container writes its sections: the RFC 4648 alphabet ("A"-"Z", "a"-"z",
// "0"-"9", "+", "/") with "=" padding, read in groups of four characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Decodes `text` into out[0, capacity). CR and LF anywhere are skipped; decoding ends at the
// first group holding any other character outside the alphabet and "=", or at the end of the
// text (an incomplete last group is dropped). A group with "=" third yields one byte, with "="
// fourth two bytes. Never reads past `text` nor writes at or past `capacity`. Returns the
// number of decoded bytes, at most capacity; never more than decoded_capacity(text.size()).
size_t decode_base64(std::string_view text, char* out, size_t capacity);

// The most bytes a text of n characters can decode to.
inline size_t decoded_capacity(size_t n) {
  return n / 4 * 3;
}

// The decoded bytes of `text` (convenience over the function above).
std::string decode_base64(std::string_view text);
