// What a game keeps aside in game_<id>/aside/. The protocol serves turns/ only, so nothing here
// is ever handed to a client:
//   end_state.txt  state.txt as it was before the game's final move (a hard link of that file)
//   end_cond.txt   cond.txt as it was before that move (likewise)
//   end_save.zts   the turn file the final move replaced; its name is end_state.txt's lastfile.
//                  Missing when the final move replaced nothing (it ended the opening phase).
//   undone_<n>_<turn file>  a save taken back by a revert, n counting up from 1; never removed
//
// A final move names its file after the turn and player that made it, so it replaces the file
// its mover downloaded. It links the three end_* files before it writes anything, end_state.txt
// last. While state.txt is still the very file end_state.txt links to, the move has not reached
// state.txt: the start-up load then puts back what it replaced (repair_final_move). Once it has,
// the end_* files are what a revert of the final move restores.
//
// The end_* files of an earlier final move (a game unarchived and ended again) stay linked as
// .end_*.before until the new move settles, so that a move rolled back or cut short leaves
// aside/ as it found it. .end_state.txt.before is linked last and removed first: while it exists
// the set is whole.
#pragma once

#include <string>

#include "db/game.h"
#include "lib/mutex.h"

// <game dir>/aside.
std::string aside_dir(const std::string& game_dir);

// Links state.txt, cond.txt and the turn file `lastfile` (when it exists) of `game_dir` into
// aside/ as end_state.txt, end_cond.txt and end_save.zts, keeping those of an earlier final
// move as .end_*.before, and syncs aside/. Throws io_error, with aside/ as it was.
// REQUIRES: the game's game_lock held (its files are not changing under it); db_lock not held,
// as across any sync.
void keep_before_final_move(const std::string& game_dir, const std::string& lastfile)
    EXCLUDES(db_lock);

// The final move reached state.txt: drops what it kept of an earlier final move. Never throws.
void settle_final_move_aside(const std::string& game_dir);

// Undoes a completed keep_before_final_move (after a final move that was rolled back in place):
// the earlier final move's end_* files come back, or there are none. end_state.txt goes first,
// so that a crash in between never pairs it with stale files. Never throws.
void undo_final_move_aside(const std::string& game_dir);

// True when end_state.txt exists and is still the game's state.txt: a final move began and did
// not reach state.txt.
bool final_move_pending(const std::string& game_dir);

// True when end_state.txt exists and state.txt has moved on from it: the final move completed
// and can be reverted.
bool final_move_kept(const std::string& game_dir);

// The path of the save a completed final move replaced (aside/end_save.zts, which a revert puts
// back), or "" when final_move_kept is false or the move replaced nothing.
std::string kept_final_save(const std::string& game_dir);

// When final_move_pending: puts end_cond.txt back as cond.txt and end_save.zts back as the turn
// file end_state.txt names, syncs, and drops the end_* files (an earlier final move's come
// back); returns true. Otherwise false; what a keep, settle or undo cut short left in aside/ is
// finished. Safe to run again after a crash in the middle. Throws io_error.
// REQUIRES: no other thread uses the game (start-up), or the game's game_lock held.
bool repair_final_move(const std::string& game_dir);

// The path of the save that stands in for turns/<lastfile> while final_move_pending (the file
// the repair will put back), or "" when nothing is pending or nothing was replaced.
std::string pending_final_save(const std::string& game_dir);

// The first free "undone_<n>_<file>" name in aside/ (the name only).
std::string next_undone_name(const std::string& game_dir, const std::string& file);

// The lastfile a state.txt text names ("" when none).
std::string lastfile_of(const std::string& state_text);
