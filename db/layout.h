// Where everything of a game lives on disk. Every path and file name the server, its tools
// and its tests build comes from here.
//
//   <root>/game_<id>/            one game (root is game_root for the server)
//     name.txt descr.txt cond.txt state.txt    its text files (db/game_files.h)
//     turns/turn_<turn>_<curplr>.zts           every accepted save; during the opening phase
//     turns/set_<turn>_<curplr>.zts            (status 1) the set_ form
//     admin.txt                                what operators did to it (db/game_files.h)
//     aside/                                   what a final move replaced and reverts undid
//                                              (db/aside.h); never served
//   <root>/.new/game_<id>/       a game being created, renamed into place when whole
//   <root>/.swap/game_<id>/      a changed copy of a game, exchanged with it in one step
//   <root>/.trash/game_<id>/     a removed game (never deleted by the server)
//   <root>/.notify/<hash>/       what one notification target was told (notify/state_store.h):
//     baseline  game_<id>        <hash> is the FNV-1a of the target's URL, which holds secrets
//   <root>/.notify/seq/game_<id> each game's announcement counter
//   <root>/.zts.lock             held (flock) by the one server using this root (db/dir_lock.h)
//   bug.txt                      in the working directory: the last upload whose decoding faulted
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct game_info;

// Root directory of all games, relative to the working directory.
inline constexpr const char* game_root = "game_server";

inline constexpr const char* name_file = "name.txt";
inline constexpr const char* descr_file = "descr.txt";
inline constexpr const char* cond_file = "cond.txt";
inline constexpr const char* state_file = "state.txt";
inline constexpr const char* admin_file = "admin.txt";
// A game's subdirectories: its saves, and what it keeps aside.
inline constexpr const char* turns_subdir = "turns";
inline constexpr const char* aside_subdir = "aside";

// What a game keeps aside before its final move (db/aside.h): state.txt, cond.txt and the turn
// file the move replaces.
inline constexpr const char* end_state_file = "end_state.txt";
inline constexpr const char* end_cond_file = "end_cond.txt";
inline constexpr const char* end_save_file = "end_save.zts";

// The lock file a running server holds in its root; deploy/zts-restore takes it too.
inline constexpr const char* dir_lock_file = ".zts.lock";

// Where an upload whose decoding faulted is kept, in the working directory.
inline constexpr const char* decode_fault_dump_file = "bug.txt";

// "game_<id>": the name of a game's directory (and the game's id text in the protocol).
std::string game_dir_name(int32_t id);

// The text after "game_" in a directory name or a protocol game id; nullopt without that prefix.
std::optional<std::string_view> game_number_text(std::string_view name);

// The game number of a directory name: -1 unless it starts exactly "game_"; the rest is read
// leniently, as the loader always has (game_07 is 7, game_3.txt is 3, game_ is 0).
int32_t game_dir_number(std::string_view name);

// root/game_<id>, root/game_<id>/turns and root/game_<id>/<file>.
std::string game_dir(std::string_view root, int32_t id);
std::string turns_dir(std::string_view root, int32_t id);
std::string game_file(std::string_view root, int32_t id, std::string_view file);

// The stored name of the save of `turn` by player `curplr`: set_<turn>_<curplr>.zts during the
// opening phase, else turn_<turn>_<curplr>.zts.
std::string turn_file_name(int32_t turn, int32_t curplr, bool opening_phase);
// A stored save's name read back.
struct turn_file_ref {
  int32_t turn = 0;
  int32_t curplr = 0;    // the player to move on it
  bool opening = false;  // the set_ form of the opening phase
};

// The turn, player and phase in a save's name of turn_file_name's form, each number 1 to 9
// decimal digits (leading zeros allowed); nullopt for any other name.
std::optional<turn_file_ref> parse_turn_file_name(std::string_view name);

// True when `name` is the opening phase's form (set_...): a newest save of that form means the
// game is in its opening phase.
bool is_opening_save_name(std::string_view name);

// The name of a finished game's save that a client asks for with the turn and player texts it
// sent: turn_<turn>_<player>.zts with the texts as given. nullopt unless each is 1 to 10 decimal
// digits: nothing else ("/", "..", letters) may reach a path.
std::optional<std::string> requested_turn_file_name(std::string_view turn, std::string_view player);

// True for a name in a turns directory that is a stored file: ends ".zts" and does not start
// with '.' (the file writer's temporaries do).
bool is_stored_turn_file(std::string_view name);

// root/game_<id>/turns/<name>.
std::string turn_file_path(std::string_view root, int32_t id, std::string_view name);
// The record's newest save: root/game_<id>/turns/<lastfile>.
std::string newest_save_path(std::string_view root, const game_info& record);

// root/.new, where a game is built before it appears, and root/.new/game_<id>.
std::string staging_root(std::string_view root);
std::string staged_game_dir(std::string_view root, int32_t id);

// root/.swap/game_<id>, where a changed copy of a game is built (db/game_swap.h).
std::string swap_game_dir(std::string_view root, int32_t id);

// root/.trash and root/.trash/game_<id>, where removed games wait.
std::string trash_root(std::string_view root);
std::string trashed_game_dir(std::string_view root, int32_t id);

// root/.notify/<16 hex digits of the FNV-1a hash of url>: one notification target's directory.
std::string target_state_dir(std::string_view root, std::string_view url);

// root/.notify/seq: each game's announcement counter, shared by every target, in a file
// announced_file_name(id).
std::string announcement_seq_dir(std::string_view root);

// In a target's directory: every game's state when the target was first seen, and the state
// last announced about one game, "game_<id>".
inline constexpr const char* notify_baseline_file = "baseline";
std::string announced_file_name(int32_t id);
// The game of an announced-state file name: exactly announced_file_name(id) for an id >= 0,
// else -1.
int32_t announced_file_game(std::string_view name);
