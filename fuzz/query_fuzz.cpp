// Query strings: any target must split without fault into pairs that, joined again, give back
// the start of the query, and the lookup must find the first pair of a name.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "lib/conv.h"
#include "net/query.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  aget_rec pairs = parse_query(text);

  std::string_view query = text;
  if (size_t q = query.find('?'); q != std::string_view::npos) query.remove_prefix(q + 1);
  std::string rest = trim(query);

  std::string joined;
  for (const get_rec& pair : pairs) {
    check(pair.name.find_first_of("&=") == std::string::npos);
    check(pair.value.find('&') == std::string::npos);
    if (!joined.empty()) joined += '&';
    joined += pair.name + "=" + pair.value;
    const std::string* found = find_query(pairs, pair.name);
    check(found != nullptr && found->data() != nullptr);
    // The first pair of this name is the one found.
    for (const get_rec& earlier : pairs) {
      if (earlier.name == pair.name) {
        check(found == &earlier.value);
        break;
      }
    }
  }
  check(rest.starts_with(joined));
  // Whatever follows the pairs starts a piece without "=", or there is nothing left.
  if (joined.size() < rest.size()) {
    std::string_view after = std::string_view(rest).substr(joined.size());
    if (!pairs.empty()) {
      check(after.front() == '&');
      after.remove_prefix(1);
    }
    check(after.substr(0, after.find('&')).find('=') == std::string_view::npos);
  }
  return 0;
}
