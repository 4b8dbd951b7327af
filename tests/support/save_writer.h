// Test-only writer of save files: builds complete, valid uploads (container, Base64, LZW, header
// section with correct check values) from a gametyp, and lets a test damage any layer. The
// server itself never writes saves; this exists so tests can make any upload they need.
//
//   save_recipe s = sample_save_recipe(3);   // three players, version 20150906
//   s.game.server_id = "game_5";
//   s.game.turn = 4;
//   s.game.plrs[1].out_flag = true;
//   std::string upload = write_save(s);
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "save/zts_save.h"

// What write_header_section writes. Fields that `version` does not carry are skipped, exactly as
// the reader skips them; players 0 to game.plr_cnt - 1 are written (plrs[19] repeats beyond 20).
struct save_recipe {
  int32_t version = 20150906;
  std::string version_text;  // written instead of "VER:" + version when not empty
  gametyp game;
  std::string body = "body of the game world";
  int32_t skipped[2] = {0, 0};        // the two int32 after uniset that the reader skips
  bool break_header_crc = false;      // store a wrong header_check
  bool break_body_crc = false;        // store a wrong body_check
  int bad_marker = -2;                // -1: wrong A marker; i >= 0: wrong marker after player i
  bool stop_before_a_marker = false;  // end the section right before the A marker
  size_t truncate_at = std::string::npos;  // cut the section here (check values still fit it)
  std::string raw_name_field;  // when not empty, written verbatim instead of the name string
  std::optional<int32_t> first_int_list_count;  // written as player 0's int_list count
  std::optional<int32_t> first_comment_count;   // written as player 0's comment count
  // reference_crc32(body), when known already: a load generator shares one large body between
  // thousands of saves, and the bitwise reference takes milliseconds over it.
  std::optional<uint32_t> body_crc;
};

// A plausible game: name "Test game", server_id "game_0", `plr_cnt` players named "Team 1", ...
// with distinct colours, map, uniset, money and the other settings filled.
gametyp sample_game(int plr_cnt);
save_recipe sample_save_recipe(int plr_cnt);

// The raw (uncompressed) header section of `recipe`, with correct check values over `recipe.body`
// unless told to break them.
std::string write_header_section(const save_recipe& recipe);

// The complete upload for `recipe`.
std::string write_save(const save_recipe& recipe);
// Shorthand: the upload of `game` at `version`.
std::string write_save(const gametyp& game, int32_t version = 20150906);

// The pieces of a container, joined by join_container; widths are derived from the texts.
struct container_parts {
  char format = '3';
  std::string header_size;  // decimal text of S1
  std::string header_text;  // Base64 of the compressed header section
  std::string body_size;    // decimal text of S2
  std::string body_text;    // Base64 of the compressed body section
  int header_line_feeds = 1;
  int body_line_feeds = 1;
};
// Compresses and encodes two raw sections.
container_parts container_for(std::string_view header, std::string_view body);
std::string join_container(const container_parts& parts);

// A valid LZW stream of `data`: clear code first, widths following the decoder's schedule, a
// clear code where the table fills (after entry 4093), end code last.
std::string lzw_encode(std::string_view data);

// One code and the width it is written in, for hand-made streams.
struct lzw_code {
  uint32_t code;
  int width;
};
// Packs codes most significant bit first; the last byte is padded with zero bits.
std::string pack_codes(const std::vector<lzw_code>& codes);

// Base64 with "=" padding; a "\r\n" after every `line_length` characters when it is not 0.
std::string encode_base64(std::string_view data, size_t line_length = 0);

// CRC-32 computed bit by bit, independent of the server's table code.
uint32_t reference_crc32(std::string_view data);
