// The back-up commands of zts_admin, which work on the back-up directory directly (the server
// need not run):
//   backups [--config FILE] [--where]   the snapshots with time, games and size; with --where
//                                       only the directory (for scripts)
//   prune [--config FILE] [--dry-run]   applies the [backup] retention rule
// FILE defaults to ./zts.conf when there is one, else /etc/zts/zts.conf when there is one, else
// the defaults. A relative `dir` is taken from the working directory.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// True for the operations above.
bool is_backup_command(const std::string& operation);

// Runs words[0] (one of the operations above) with its arguments, printing to `out` and `err`.
// Returns the exit status: 0 done, 1 refused or failed (the reason on `err`), 2 wrong usage.
int run_backup_command(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);
