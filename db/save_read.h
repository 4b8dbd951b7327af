// Reading a save on the server's behalf: the pure decoder, plus the evidence the server keeps
// of an upload whose decoding faulted.
#pragma once

#include <string>
#include <string_view>

#include "db/game.h"
#include "save/zts_save.h"

// load_game_save; after a fault also keep_decode_fault, and when the upload cannot be kept the
// message becomes "Crash in file parsing".
// Takes only the lock of bug.txt, a leaf: callers may hold a game lock, not db_lock.
bool read_game_save(gametyp* game, std::string_view upload, std::string* message);

// Writes the "DEC" line of `fault` and the whole upload to bug.txt in the working directory
// (one file, the last fault's), under a lock of its own. False when the file cannot be written.
bool keep_decode_fault(const decode_fault& fault, std::string_view upload);
