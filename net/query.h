// Query strings: "?a=1&b=2" split into name/value pairs, in query order, never percent-decoded.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct get_rec {
  std::string name;
  std::string value;
};
using aget_rec = std::vector<get_rec>;

// Splits the part after the first "?" (or the whole text when there is none) at "&"; a piece
// without "=" ends the list. Never fails.
aget_rec parse_query(std::string_view text);

// The value of the first pair named exactly `name`, or nullptr. The one query lookup.
const std::string* find_query(const aget_rec& pairs, std::string_view name);
