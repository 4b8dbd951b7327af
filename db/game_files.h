// The four text files that hold one game record on disk, and the game block of the plain list.
//
// game_server/game_<id>/ (bytes in Windows-1251, LF line ends, no CR, nothing escaped):
//   name.txt   the name, exactly, no line end
//   descr.txt  the description, exactly, no line end
//   cond.txt   map:<map>  plr_cnt:<n>  teams:<a|b|..>  colors:<RRGGBB|..>  money:<n>
//              resource:<n>  moratorium:<n>  uniset:<text>  rules:<16 flags 0/1 joined by |>
//   state.txt  turn:<n>  curplr:<n>  status:<n>  lastfile:<file>  winner:<n>
//              plr_states:<flags 0/1 joined by |>
// (one "key:value" LF line each, in the order shown; numbers in decimal, no blank after ":").
//
// A value holds any byte but the two the lines cannot carry: a CR or LF inside map, uniset,
// lastfile or a list entry is written as a blank, and a "|" inside a list entry (a team name)
// as byte A6, the broken bar of Windows-1251. Every other byte, ";", "//", "{" and leading
// blanks included, is read back as written, however long the line (verbatim values of the
// key/value parser), but for the values the server writes as numbers or lists of numbers (turn,
// curplr, status, winner, plr_cnt, money, resource, moratorium, rules, plr_states), where ";" or
// "//" starts a comment a hand edit may add. name.txt and descr.txt are read whole (name.txt
// but for one final LF or CR LF, which an editor adds), so a restart gives back the record the
// server wrote. Clients rely on these exact texts.
//
//   admin.txt  archived_from:<status>  unarchived:<server_clock>  (written only by the admin
//              operations; either line may be missing, and so may the file)
//
// Game block (plain game list), the concatenation of:
//   "x9\n"
//   "x1 <len>\n<name>\n"   "x2 <len>\n<descr>\n"
//   "x3 <len>\n<cond.txt text>\n"   "x4 <len>\n<state.txt text>\n"
// where <len> is the byte length of the text that follows (its own final LF included).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "db/game.h"
#include "lib/parser.h"
#include "save/zts_save.h"

// The cond.txt / state.txt text of a record (each line ending in LF), with the substitutions
// above applied to its texts.
std::string format_conditions(const game_info& record);
std::string format_state(const game_info& record);

// The record as one block of the plain game list.
std::string game_block(const game_info& record);

// Flags as "1"/"0" joined by "|"; the byte form writes each value in decimal (2 gives "2").
std::string join_flags(std::span<const uint8_t> values);
std::string join_flags(const aoboolean& values);

// Entries joined by "|" (an empty list gives "").
std::string join_strings(const astr& list);

// Replaces in the record's map, uniset, lastfile, teams and colors the bytes its text files
// cannot carry (see above), and drops every CR and LF at the end of its name (name.txt is read
// without its final line end). Called wherever texts from a save enter a record, so that the record
// in memory, and every list and page made from it, is the one a restart reads back.
void make_texts_storable(game_info* record);

// Takes the settings a save carries over into the record: map, player count, money, resource,
// moratorium, units and rules.
void take_settings(const gametyp& save, game_info* record);

// Takes the players' names, colours and in-game flags over from the save, one entry for each of
// the record's plr_cnt players (REQUIRES: plr_cnt <= the save's).
void take_players(const gametyp& save, game_info* record);

// The trimmed text cut at every "|", empty pieces kept ("a||b" gives a, "", b); a text that is
// empty after trimming gives an empty list.
astr split_list(std::string_view text);

// The text cut at every "|", nothing trimmed; an empty text gives an empty list.
astr split_entries(std::string_view text);

// Writes the four files of `record` under root/game_<record.id>/ (creating the directories),
// each atomically and durably; a file that already holds its text is not rewritten.
// Throws io_error; the files written before a failure keep their new content, the failing one
// and the later ones their old content. Syncs: the server calls it on a copy of the record,
// holding game_lock(record.id) and not db_lock.
void save_game_files(std::string_view root, const game_info& record);

// The admin.txt text of a record: the lines whose values are set (archived_from >= 0,
// unarchived_at != 0); "" when neither is.
std::string format_admin_notes(const game_info& record);

// Apply parsed cond.txt / state.txt entries to a record: known keys set their fields (the later
// line wins), unknown keys are ignored, absent keys leave their fields as they were. teams and
// colors are cut with split_entries; an empty value for them gives one empty entry when the
// record ends up with plr_cnt 1 (the one way to write a lone empty team name), else no entry.
// The flags are cut with split_list.
void apply_conditions(const preca& entries, game_info* record);
void apply_state(const preca& entries, game_info* record);
void apply_admin_notes(const preca& entries, game_info* record);

// The parser settings of the game text files: values verbatim, lines of any length.
inline constexpr parse_options game_file_options{':', true, true, true};
