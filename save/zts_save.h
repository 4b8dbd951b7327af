// The decoded header section of a save file and its loader.
//
// A save (".zts") is a text container holding two LZW-compressed, Base64-written sections (see
// save/container.h): the header section, parsed here into a gametyp, and the body section (the
// game world), which is only checked against the CRC stored in the header section.
//
// Header section layout (little-endian; "V" is the version read from the first field):
//   string version ("VER:" + V), bool rule 0, string map, int32 header_check, int32 body_check,
//   int32 aux_int1, [V >= 20130122: string server_id, bool aux_flag2, string descr],
//   string name, int32 turn, curplr, plr_cnt, aux_int2, aux_int3, save_time, string uniset,
//   2 int32 (skipped), int32 resource, money, 10 bool rules 1-10,
//   [V >= 20110214: int32 moratorium, bool aux_flag], 4 bool rules 11-14,
//   [20130423 <= V <= 201304169: bool rule 15], 10 int32 aux_ints, 3 int32 aux_ints2,
//   marker 0xDE 0xAD ("A"), then plr_cnt player blocks, each followed by a marker ("P<i>").
// A string is an int32 length n and n bytes; n above 1024 or n <= 0 gives an empty string (only
// the length is consumed). A bool is true exactly when its byte is 1.
// header_check and body_check are ~crc32 of the header section (with those eight bytes zeroed)
// and of the body section.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "save/container.h"

// The loader refuses saves outside these; the game has at most 20 seats.
constexpr int max_players = 20;
// Size of a player's named-entry table in the game's own save structure.
constexpr int max_named = 100;

// Oldest version the server reads, and the ranges it accepts: [20110210, 20150906] and
// [201304170, ...). The second range is the newer, ten-digit numbering.
constexpr int32_t min_save_version = 20110210;
constexpr int32_t max_old_save_version = 20150906;
constexpr int32_t min_new_save_version = 201304170;

// A comment a player attached (stored, not used by the server).
struct comment_typ {
  uint8_t tag = 0;
  int16_t num1 = 0;
  int16_t num2 = 0;
  int16_t num3 = 0;
  std::string text;  // any length up to the string limit of 1024
};

// One entry of a player's named table (stored, not used by the server).
struct named_typ {
  std::string name;  // lower-cased, at most 64 bytes
  int16_t value = 0;
};

struct triple_typ {
  int32_t a = 0;
  int32_t b = 0;
  float c = 0;
};

// One player. Only out_flag, team_name and color_bytes are used by the server; the rest is read
// so that the parse stays aligned with the file, and kept for the inspection tool.
struct plrtyp {
  std::array<bool, 5> pflags{};
  bool out_flag = false;  // true when the player is out of the game
  int16_t ident = 0;
  std::vector<named_typ> named;  // max(named_cnt, 0) entries, never more than max_named
  int32_t named_cnt = 0;
  int32_t int_c = 0;
  int32_t int_b = 0;
  int32_t int_a = 0;
  std::array<uint8_t, 3> color_bytes{};           // see color_text()
  std::vector<std::array<uint8_t, 3>> pair_rows;  // plr_cnt + 1 rows
  std::array<int32_t, 8> ints8a{};
  std::array<int32_t, 8> ints8b{};
  std::array<float, 8> reals8{};  // not in the file; always 0
  float real_a = 0;
  std::array<int16_t, 6> words6{};
  std::array<uint8_t, 12> bytes12{};  // the file's entries 1 to 12, here 0 to 11
  std::string team_name;              // at most 64 bytes, Windows-1251
  std::string alt_text;               // at most 64 bytes
  int32_t int_list_cnt = 0;
  std::vector<int32_t> int_list;
  std::array<std::vector<int32_t>, 10> int_lists;
  std::array<triple_typ, 4> triples{};
  std::array<bool, 20> pflags20{};
  std::vector<comment_typ> comments;
};

using plrtypa = std::array<plrtyp, max_players>;

// One game as its save describes it. Texts are Windows-1251 byte strings of at most 64 bytes.
// A default-constructed gametyp is the cleared record load_game_save expects.
struct gametyp {
  int32_t version = 0;    // V, from the version string (set once that string has been read)
  int32_t save_time = 0;  // seconds, in the unit and epoch of server_clock()
  std::string name;
  std::string uniset;  // lower-cased
  std::string map;
  int32_t moratorium = 0;  // length of the opening phase; 0 or less means none
  int32_t resource = 0;
  int32_t money = 0;
  std::array<bool, 16> rule_bytes{};  // in the order the file carries them
  std::array<int32_t, 10> aux_ints{};
  std::array<int32_t, 3> aux_ints2{};  // the file's entries 1 to 3, here 0 to 2
  int32_t turn = 0;
  int32_t curplr = 0;   // index of the player whose move the save is
  int32_t plr_cnt = 0;  // 1 to max_players in every accepted save
  int32_t aux_int2 = 0;
  int32_t aux_int3 = 0;
  int32_t aux_int1 = 0;
  plrtypa plrs;  // entries 0 to plr_cnt - 1 filled
  bool aux_flag = false;
  std::string descr;
  std::string server_id;  // "game_" + the game's index; empty before version 20130122
  bool aux_flag2 = false;
  size_t header_size = 0;  // decoded section sizes, for the inspection tool
  size_t body_size = 0;
};

// Reads an uploaded or stored save into *game, which must arrive default-constructed (fields the
// save's version lacks keep their cleared values). Returns true when the save was read in full.
// On false, *message is one of "Invalid signature", "Unknown decompression error", "Crash in file
// parsing", "Incompatible save version", "Header CRC error", "Body CRC error", "Mising A marker",
// "Mising P<i> marker", and *game is not to be used. Never throws on bad input.
// A fault while decoding (see read_save_container) is described in *fault when given. No side
// effects: keeping the evidence of a fault is the caller's business.
bool load_game_save(gametyp* game, std::string_view upload, std::string* message,
                    decode_fault* fault = nullptr);

// The player's colour as six upper-case hexadecimal digits without "#": the colour bytes in
// reverse order (bytes 0x1A, 0x2B, 0x3C give "3C2B1A"). Game lists and text files carry it.
std::string color_text(const plrtyp& player);
