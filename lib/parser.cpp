#include "lib/parser.h"

#include <unistd.h>

#include "lib/conv.h"
#include "lib/file_io.h"

namespace {

// What one line leaves behind while it is scanned.
struct line_scan {
  std::string key;
  std::string value;
  bool is_float = false;    // the value holds "." or "e"
  int marks = 0;            // separator marks of the value
  bool last_brace = false;  // the line's last byte opened (in the value) or closed a block
};

void append_limited(std::string* text, char c) {
  if (text->size() < max_parse_line) text->push_back(c);
}

// The part of a verbatim value that its numbers are read from: without leading blanks and TABs,
// the bytes the usual scan drops.
std::string_view numeric_text(std::string_view value) {
  size_t first = value.find_first_not_of(" \t");
  return first == std::string_view::npos ? std::string_view() : value.substr(first);
}

// Scans the key; returns the index just past the separator, or line.size() when there is none.
size_t scan_key(std::string_view line, const parse_options& options, bool* in_block,
                line_scan* scan) {
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (*in_block) {
      if (c == '}') {
        *in_block = false;
        if (i + 1 == line.size()) scan->last_brace = true;
      }
    } else if (c == '\t') {
    } else if (c == ' ') {
      if (options.keep_blanks) append_limited(&scan->key, c);
    } else if (c == '{' && options.brace_blocks) {
      *in_block = true;
    } else if (c == options.separator) {
      return i + 1;
    } else {
      append_limited(&scan->key, c);
    }
  }
  return line.size();
}

void scan_value(std::string_view line, size_t start, const parse_options& options, bool* in_block,
                line_scan* scan) {
  bool at_start = true;
  for (size_t i = start; i < line.size(); ++i) {
    char c = line[i];
    bool last = i + 1 == line.size();
    if (*in_block) {
      if (options.brace_blocks && c == '}') {
        *in_block = false;
        if (last) scan->last_brace = true;
      }
      continue;
    }
    if (c == ';' || (c == '/' && !last && line[i + 1] == '/')) return;
    if (c == '\t') {
      if (at_start || !options.keep_blanks) continue;
    } else if (c == ' ') {
      if (at_start || !options.keep_blanks) continue;
      ++scan->marks;
    } else if (c == ',') {
      ++scan->marks;
    } else if (c == '.' || c == 'e') {
      scan->is_float = true;
    } else if (c == '{' && options.brace_blocks) {
      *in_block = true;
      if (last) scan->last_brace = true;
      continue;
    }
    append_limited(&scan->value, c);
    at_start = false;
  }
}

// A verbatim value: every byte up to the line end. Its separator marks and "." or "e" are
// counted as scan_value would count them, so that its numeric readings match the usual ones.
void take_verbatim_value(std::string_view line, size_t start, const parse_options& options,
                         line_scan* scan) {
  if (start < line.size()) scan->value.assign(line.substr(start));
  std::string_view text = numeric_text(scan->value);
  for (char c : text) {
    if (c == ',' || (c == ' ' && options.keep_blanks)) {
      ++scan->marks;
    } else if (c == '.' || c == 'e') {
      scan->is_float = true;
    }
  }
}

bool is_numeric(std::string_view value) {
  if (value.empty()) return false;
  char c = value[0];
  return c == '+' || c == '-' || (c >= '0' && c <= '9');
}

void read_numbers(const line_scan& scan, std::string_view v, parserectyp* entry) {
  entry->ival = str_to_int(v);
  entry->fval = scan.is_float ? str_to_real(v) : static_cast<double>(entry->ival);
  if (scan.marks >= 4) entry->quint = parse_quint(v);
  if (scan.marks >= 2) {
    entry->triple = parse_triple(v);
    entry->quad = {entry->triple[0], entry->triple[1], entry->triple[2], 0.0};
  }
  if (scan.marks >= 1) entry->pair = parse_pair(v);
  if (scan.marks >= 3) entry->quad = parse_quad(v);
  entry->bval = entry->ival > 0;
}

}  // namespace

std::string take_line(std::string_view text, size_t* position, size_t limit) {
  std::string line;
  while (*position < text.size()) {
    char c = text[(*position)++];
    if (c == '\n') break;
    if (c == '\r') continue;
    line.push_back(c);
    if (line.size() >= limit) break;
  }
  return line;
}

preca parse_text(std::string_view text, const parse_options& options) {
  preca list;
  bool in_block = false;  // a block may span lines
  size_t position = 0;
  const size_t limit = options.verbatim_values ? std::string::npos : max_parse_line;
  while (position < text.size()) {
    std::string line = take_line(text, &position, limit);
    if (line.size() <= 1 || line.starts_with("//") || line[0] == ';') continue;
    line_scan scan;
    size_t value_start = scan_key(line, options, &in_block, &scan);
    if (options.verbatim_values) {
      take_verbatim_value(line, value_start, options, &scan);
    } else {
      scan_value(line, value_start, options, &in_block, &scan);
    }
    // An entry unless the line ends inside a block it did not open at its very end, or ends
    // by closing one: "section: {" counts, "a:b {note}" and lines within a block do not.
    if (in_block != scan.last_brace) continue;
    parserectyp& entry = list.emplace_back();
    entry.key = std::move(scan.key);
    entry.value = std::move(scan.value);
    entry.line = std::move(line);
    std::string_view number = options.verbatim_values ? numeric_text(entry.value) : entry.value;
    if (is_numeric(number)) read_numbers(scan, number, &entry);
  }
  return list;
}

preca parse_file(const std::string& path, const parse_options& options) {
  std::string text;
  try {
    text = read_file(path);
  } catch (const io_error&) {
    // A file we may not open reads as empty; one that fails after opening is an I/O error.
    // Asked only after a failure, so that the start-up load of every game pays no extra call.
    if (::access(path.c_str(), R_OK) != 0) return {};
    throw;
  }
  return parse_text(text, options);
}
