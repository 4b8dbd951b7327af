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
// Every file is written with write_file_atomic.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "notify/events.h"

// game_server/.notify/<hash of url>.
std::string target_state_dir(const std::string& root, const std::string& url);

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
