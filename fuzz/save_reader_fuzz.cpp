// Save reader: any upload must be read without fault, refused with one of the reader's messages
// or accepted with a record inside its limits.
//
// An input that starts with "ZTNX" is the upload itself. Any other input is taken as a raw
// header section and wrapped into a valid upload first (check values fixed up, an empty body),
// so mutations reach the header parse instead of dying at the CRC checks.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "save/crc32.h"
#include "save/zts_save.h"
#include "tests/support/save_writer.h"

namespace {

const char* const refusals[] = {
    "Invalid signature",     "Unknown decompression error",
    "Crash in file parsing", "Incompatible save version",
    "Header CRC error",      "Body CRC error",
    "Mising A marker",
};

bool known_refusal(const std::string& m) {
  for (const char* r : refusals)
    if (m == r) return true;
  if (m.size() < 16 || m.compare(0, 8, "Mising P") != 0 ||
      m.compare(m.size() - 7, 7, " marker") != 0)
    return false;
  std::string_view digits = std::string_view(m).substr(8, m.size() - 15);
  return !digits.empty() && digits.size() <= 2 &&
         digits.find_first_not_of("0123456789") == std::string_view::npos;
}

uint32_t le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

void put_le32(std::string* s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*s)[at + i] = static_cast<char>(v >> (8 * i));
}

// Where the two check values sit: after the version string, a bool and the map string.
bool check_values_at(const std::string& h, size_t* at) {
  size_t pos = 0;
  for (int field = 0; field < 2; ++field) {
    if (pos + 4 > h.size()) return false;
    int32_t n = static_cast<int32_t>(le32(h, pos));
    pos += 4;
    if (n > 0 && n <= 1024) pos += static_cast<size_t>(n);
    if (field == 0) pos += 1;
  }
  if (pos + 8 > h.size()) return false;
  *at = pos;
  return true;
}

std::string wrap_header(std::string header) {
  size_t at;
  if (check_values_at(header, &at)) {
    std::memset(header.data() + at, 0, 8);
    put_le32(&header, at, ~crc32(header));
    put_le32(&header, at + 4, ~crc32(""));
  }
  return join_container(container_for(header, ""));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  if (input.compare(0, 4, "ZTNX") != 0) input = wrap_header(std::move(input));
  gametyp game;
  std::string message;
  bool ok = load_game_save(&game, input, &message);
  if (!ok) {
    if (!known_refusal(message)) std::abort();
    return 0;
  }
  if (!message.empty() || game.plr_cnt < 1 || game.plr_cnt > max_players) std::abort();
  if (game.name.size() > 64 || game.descr.size() > 64 || game.map.size() > 64 ||
      game.uniset.size() > 64 || game.server_id.size() > 64)
    std::abort();
  for (int32_t i = 0; i < game.plr_cnt; ++i) {
    const plrtyp& p = game.plrs[i];
    if (p.team_name.size() > 64 || p.named.size() > static_cast<size_t>(max_named) ||
        p.pair_rows.size() != static_cast<size_t>(game.plr_cnt) + 1 || color_text(p).size() != 6)
      std::abort();
  }
  return 0;
}
