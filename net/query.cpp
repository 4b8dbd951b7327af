#include "net/query.h"

#include "lib/conv.h"

aget_rec parse_query(std::string_view text) {
  aget_rec pairs;
  size_t question = text.find('?');
  if (question != std::string_view::npos) text.remove_prefix(question + 1);
  std::string rest = trim(text);
  std::string_view left = rest;
  while (!left.empty()) {
    size_t amp = left.find('&');
    std::string_view piece = left.substr(0, amp);
    size_t eq = piece.find('=');
    if (eq == std::string_view::npos) break;
    pairs.push_back({std::string(piece.substr(0, eq)), std::string(piece.substr(eq + 1))});
    if (amp == std::string_view::npos) break;
    left.remove_prefix(amp + 1);
  }
  return pairs;
}

const std::string* find_query(const aget_rec& pairs, std::string_view name) {
  for (const get_rec& pair : pairs) {
    if (pair.name == name) return &pair.value;
  }
  return nullptr;
}
