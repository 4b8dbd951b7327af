// The key/value text parser: a small line-oriented text becomes one entry per line of the form
// key, separator, value, each value with its numeric readings.
//
// Text layout, line by line (LF ends a line, CR bytes are dropped anywhere):
//   - a line is at most 250 bytes; the rest of a longer line is read as a line of its own;
//   - lines of 0 or 1 byte, and lines starting with "//" or ";", are comments;
//   - key <separator> value: TABs never belong to the key; leading blanks and TABs of the value
//     are dropped; ";" or "//" in the value starts an end-of-line comment;
//   - with brace blocks on, "{" ... "}" is skipped, and a block may span lines; a line that ends
//     by opening a block in its value still gives an entry (a section head such as "units: {").
// With verbatim values (for files whose values a program wrote and must get back), a line has
// no length limit and its value is every byte after the separator: no blank dropped, no comment
// cut, no block opened. Comment lines, keys and blocks opened before the separator are read as
// above.
// The parser never fails on content: any byte sequence gives some list of entries.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Longest line, key and value kept, in bytes: entries stay small whatever the file holds.
// Verbatim values lift it for lines and values, not for keys.
inline constexpr size_t max_parse_line = 250;

// One entry. A value is numeric when it starts with "+", "-" or a digit; every numeric field of
// an entry whose value is not numeric is zero (or false).
struct parserectyp {
  std::string key;    // text before the separator, without TABs and brace blocks
  std::string value;  // text after the separator, without leading blanks, comments, blocks
                      // (verbatim values: every byte after the separator)
  std::string line;   // the whole line as read, without CR and LF
  int32_t ival = 0;   // str_to_int(value)
  bool bval = false;  // ival > 0
  double fval = 0;    // str_to_real(value) when it holds "." or "e", else ival
  // The numeric readings of a verbatim value are those of its text without leading blanks/TABs.
  std::array<double, 2> pair{};    // parse_pair(value), with at least 1 separator mark
  std::array<double, 4> quad{};    // parse_quad (3+ marks), or the triple and 0.0 (2 marks)
  std::array<double, 5> quint{};   // parse_quint(value), with at least 4 separator marks
  std::array<double, 3> triple{};  // parse_triple(value), with at least 2 separator marks
};
using preca = std::vector<parserectyp>;

// How a text is read. The separator marks of a value are its commas, plus its blanks after the
// first kept byte when blanks are kept (TABs never count).
struct parse_options {
  char separator = ':';
  bool keep_blanks = true;       // keep blanks in keys and values, and TABs inside values
  bool brace_blocks = true;      // skip "{...}" blocks, across lines
  bool verbatim_values = false;  // lines of any length, values taken whole (see above)
};

// Takes one line from text at *position and advances *position past it (and past its LF).
// CR bytes are dropped; the line stops after `limit` kept bytes.
// REQUIRES: *position < text.size().
std::string take_line(std::string_view text, size_t* position, size_t limit = max_parse_line);

// Parses the whole text into entries, in line order. Never fails.
preca parse_text(std::string_view text, const parse_options& options);

// Parses the file at `path`. A file that cannot be opened (missing, no permission) gives no
// entries; throws io_error when it was opened but could not be read.
preca parse_file(const std::string& path, const parse_options& options);
