// What each target has been told, kept durably so that a restart (or a kill at any moment)
// sends what is missing, at most one message twice, and never a state that was not stored.
//
// Layout, under game_server/.notify/ (a dot-directory, which the game loader and zts_check never
// read), one directory per target named after a hash of its URL (the URL itself holds secrets):
//
//   game_server/.notify/<16 hex digits>/baseline    every game's state when the target was first
//                                                   seen: "<id> <state>\n" per game
//   game_server/.notify/<16 hex digits>/game_<id>   the state last announced: "<state>\n"
//
// where <state> is "<status> <turn> <curplr> <winner> <in_game> <since> <reminders>", in_game
// one '1' or '0' per player ("-" for none). A game_<id> file overrides the baseline's line.
// Every file is written with write_file_atomic. The names are db/layout.h's (target_state_dir
// gives a target's directory).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "db/layout.h"
#include "notify/events.h"

// One target's announced states by game id. Returns false when the target has no baseline yet
// (never seen, or a crash before its baseline was written); unreadable lines are skipped.
bool load_target_state(const std::string& dir, std::map<int32_t, announced_state>* out);

// Stores every game's state as the target's starting point (no message sent for them).
// Throws io_error.
void write_baseline(const std::string& dir, const std::map<int32_t, announced_state>& states);

// Stores the state announced about one game. Throws io_error.
void write_announced(const std::string& dir, int32_t game_id, const announced_state& state);

// "<status> <turn> ..." and back (false on anything malformed).
std::string format_state(const announced_state& s);
bool parse_state(std::string_view text, announced_state* out);

// Each game's announcement counter, shared by every target: the n-th time the sender announced
// a state of the game that differs from the one before, so a state reached again (a revert, an
// unarchive) is a new announcement while a retry or a restart repeats the same one.
//
//   game_server/.notify/seq/game_<id>   "<n> <state>\n": the latest announcement's number and
//                                       the state it announced
struct announcement_book {
  std::string root;                                               // game_server
  std::map<int32_t, std::pair<uint32_t, announced_state>> known;  // read or written so far
  bool failing = false;  // the user's own: an "ERR" line about these files was written
};

// The number of the announcement of `state` of game `game_id`: the stored one while the state
// is the same, else the next one, stored before it is returned (so no message ever carries a
// number a restart could hand out again). Throws io_error when it cannot be stored; the number
// is kept in memory then.
uint32_t announcement_number(announcement_book& book, int32_t game_id,
                             const announced_state& state);
