// The game list's query parameters, for pages and bots that want part of a long list:
//
//   status=open|finished|archived   open is in play or in the opening phase (status 0 and 1)
//   q=<text>                        the name contains it (percent-encoded UTF-8; letters of the
//                                   Latin and Russian alphabets match in either case, and an
//                                   underscore matches a blank, as the pages show names)
//   limit=<1..1000>                 at most this many games, and the reply says where to go on
//   after=<id>                      only games whose id is greater, by id
//
// Other parameters are ignored, as the list always has: a query with none of these is the whole
// list, byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Most games one page may ask for.
inline constexpr int32_t max_list_limit = 1000;

struct list_query {
  bool any = false;  // one of the parameters above was given
  int32_t status_from = 0, status_to = 3;
  std::string name_part;  // folded (fold_case); empty matches every name
  std::optional<int32_t> limit;
  int32_t after = -1;
};

// Reads the query part of a request target (after "?"; a target without one gives the whole
// list). False with *error (one line for the client) when a value is not one of the above.
bool parse_list_query(std::string_view target, list_query* out, std::string* error);

// `utf8` with ASCII and Russian capital letters (Ё included) made small and underscores made
// blanks, for matching names.
std::string fold_case(std::string_view utf8);

// True when a game of `status` whose folded name is `folded_name` belongs in the reply to `q`
// (paging aside).
bool list_query_matches(const list_query& q, int32_t status, std::string_view folded_name);
