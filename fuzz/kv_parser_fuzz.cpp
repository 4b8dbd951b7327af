// Key/value text parser: any bytes must parse without fault, every entry within the length
// limits (lines and values have none with verbatim values), and the game loader's reading of the
// entries must cope with whatever they hold.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "db/game.h"
#include "db/game_files.h"
#include "lib/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the options, the rest is the text.
  parse_options options;
  options.keep_blanks = (data[0] & 1) != 0;
  options.brace_blocks = (data[0] & 2) != 0;
  options.separator = (data[0] & 4) != 0 ? '=' : ':';
  options.verbatim_values = (data[0] & 8) != 0;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  preca list = parse_text(text, options);
  for (const parserectyp& e : list) {
    const bool too_long = e.value.size() > max_parse_line || e.line.size() > max_parse_line;
    if (e.key.size() > max_parse_line || (too_long && !options.verbatim_values) ||
        e.line.find_first_of("\r\n") != std::string::npos) {
      std::abort();
    }
  }
  game_info record;
  apply_conditions(list, &record);
  apply_state(list, &record);
  if (record.rules.size() != 16) std::abort();
  return 0;
}
