// Changing several files of one game in a single step. A staged copy of the game's directory is
// built beside the games (every file a hard link of the live one, so it costs no copying), the
// caller changes the copy, and the copy is exchanged with the live directory by one
// rename(RENAME_EXCHANGE). A crash before the exchange leaves the live game as it was, one after
// it leaves the new version; the stale tree left behind is never read and goes at the next swap.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Makes `to` (and missing parents; `to` itself must not exist) and hard-links every file under
// `from` into it, keeping the tree's shape; leftover temporaries of interrupted writes and spares
// are skipped. Returns the
// number of files linked. The new directories are not synced (sync_tree). Throws io_error or
// std::filesystem::filesystem_error (a link across file systems fails with EXDEV).
int link_tree(const std::string& from, const std::string& to);

// Syncs `dir` and every directory below it.
void sync_tree(const std::string& dir);

// Syncs the whole file system that holds `path` (syncfs): one journal commit, where sync_tree
// takes one per directory, for trees of thousands of directories. Throws io_error.
void sync_file_system(const std::string& path);

// Stages a copy of root/game_<id> in swap_game_dir(root, id) (db/layout.h), lets `edit`
// change it (it gets the staged directory's path; files written there must go through
// write_file_atomic or link_file_atomic), syncs the staged tree, exchanges it with the live
// directory, syncs root and removes the old tree. Throws io_error (or what `edit` throws) with
// the live directory unchanged; once the exchange is done nothing more is reported (removing the
// old tree can fail harmlessly: the next swap of the game removes it).
// REQUIRES: game_lock(id) held (nothing else writes the game meanwhile); db_lock not held.
void swap_game_files(const std::string& root, int32_t id,
                     const std::function<void(const std::string& staged)>& edit);
