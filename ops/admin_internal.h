// Helpers shared by the admin operations' two files (admin_ops.cpp: one game's record;
// admin_store.cpp: the games' directory). Internal to the admin operations: nothing else
// includes this.
#pragma once

#include <cstdint>
#include <string>

#include "db/game.h"
#include "lib/mutex.h"
#include "lib/refusal.h"
#include "ops/admin_ops.h"

namespace admin_internal {

// The game's directory name, "game_<id>", as replies name the game.
std::string label(int32_t id);

// A success carrying `message`, followed by the game's line and JSON object.
admin_result done(const std::string& message, const game_info& g);

// A success carrying `message` alone.
admin_result done(const std::string& message);

// A copy of the game's record, or a refusal. The caller holds game_lock(id), so the copy stays
// the game's record until it publishes a changed one.
refusable<game_info> find_record(int32_t id) EXCLUDES(db_lock);

// Whether anything, even a dangling symbolic link, is at `path`.
bool path_taken(const std::string& path);

}  // namespace admin_internal
