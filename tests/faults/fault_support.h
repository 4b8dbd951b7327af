// Helpers of the fault runs (crash during play, disk full): each run is a program that puts
// itself in network and mount namespaces of its own, so the real binary can take port 80 and a
// tmpfs can be mounted without touching anyone else on the machine, and that starts, kills and
// restarts build/zts_server in a temporary working directory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "save/zts_save.h"
#include "tests/support/command.h"

// Exit status of a run that cannot be made here (no namespaces, no mount): ctest shows a skip.
inline constexpr int exit_skipped = 77;

// Moves the process into a new network namespace with only loopback up, and a new mount
// namespace whose mounts are private (they vanish when the process ends). Call before any
// thread starts. False with *why when the system does not allow it (not root, no namespaces).
bool isolate_process(std::string* why);

// Mounts a tmpfs of `bytes` (rounded up to whole pages) at `dir`. False with *why on failure.
bool mount_small_tmpfs(const std::string& dir, size_t bytes, std::string* why);

// The real binary, started in its working directory with its console output discarded.
// Killed (SIGKILL) and reaped when the record goes out of scope.
struct child_server {
  child_server() = default;
  ~child_server();
  child_server(const child_server&) = delete;
  child_server& operator=(const child_server&) = delete;

  pid_t pid = -1;
};

// Starts `binary` with `dir` as its working directory. Throws std::runtime_error when fork fails.
void start_server_process(child_server* server, const std::string& binary, const std::string& dir);

// Sends `signal` and waits until the process has ended. Returns its wait status.
int stop_server_process(child_server* server, int signal);

// Polls op=777 on port 80 until the server answers "ZTNS" (true) or `timeout_ms` passes.
bool wait_until_serving(int timeout_ms);

// A valid save for game `server_id` at `turn` with `curplr` to move, for `plr_cnt` players,
// with a body of `body_bytes` pseudo-random bytes (from `seed`) and the save time of now (a
// save dated long ago would make the hourly refresh finish the game).
// With `final_move`, every player but `curplr` is out: the move ends the game.
std::string move_save(const std::string& name, const std::string& server_id, int32_t plr_cnt,
                      int32_t turn, int32_t curplr, size_t body_bytes, uint32_t seed,
                      bool final_move = false);

// One game of the plain list (op=11 / op=12): its id and the texts of its block.
struct listed_game {
  int32_t id = -1;
  std::string name;
  std::string state;  // state.txt text
};
// Parses a plain list body; false when it is not one.
bool parse_game_list(std::string_view body, std::vector<listed_game>* out);

// Sends one request line to the admin socket at `path` and returns the whole reply; "" when
// nothing could be connected to (nothing was asked), "<no reply>" when the connection broke
// before a reply (the operation may or may not have been done).
std::string admin_request(const std::string& path, const std::string& line);

// Runs a command through the shell and returns its exit status (128 + the signal that ended it,
// as the shell says), with its standard output and error in *output.
int run_command(const std::string& command, std::string* output);

// The lines of `text` that hold an "ERR" log tag.
std::vector<std::string> error_lines(std::string_view text);
