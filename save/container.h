// The save container: the text a client uploads, carrying the two compressed sections.
//
//   "ZTNX" F A B  S1 (A chars) L1 (B chars)  LF*  header text (L1 chars)  LF*
//   "ZSTX" C  S2 (C chars)  body text (the rest)
//
// F is the format digit (only "3" carries sections); A, B and C are single characters whose
// code minus 48 gives the width of the decimal field after them. S1 and S2 are the decoded
// section sizes, L1 the length of the header text (line breaks inside it included). Each text is
// the Base64 form of the LZW-compressed section (save/base64.h, save/lzw.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// No real save comes near this; a larger declared section is refused before allocation.
constexpr size_t max_section_size = 256u << 20;

// What is known of an upload whose decoding faulted (ran out of memory): the server logs it
// with the upload kept beside it.
struct decode_fault {
  bool happened = false;
  size_t body_text_length = 0;  // K
  int32_t body_size = 0;        // S2
  size_t body_width = 0;        // C
};

// The text of the log line of a fault.
std::string decode_fault_line(const decode_fault& fault);

struct save_sections {
  bool has_header = false;  // false for a format other than 3 or a header size of 0 or less
  std::string header;       // S1 bytes when has_header
  std::string body;         // S2 bytes (empty for a body size of 0 or less)
};

// Reads an upload into its two decoded sections. Returns false with *message "Invalid
// signature" (no "ZTNX" at the start) or "Unknown decompression error" (the text ends early,
// the second signature is wrong, a declared size exceeds max_section_size or what its
// compressed data can produce, or a fault while decoding). Malformed Base64 or LZW data is not
// a refusal: the sections hold what the decoders produced, zero-filled to their size, and the
// CRC checks decide. A fault while decoding (memory running out) is refused as "Unknown
// decompression error" and described in *fault when given. Never throws; has no side effects.
bool read_save_container(std::string_view upload, save_sections* out, std::string* message,
                         decode_fault* fault = nullptr);
