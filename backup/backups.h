// Back-ups: the [backup] table of zts.conf, and the snapshots kept in its directory, each a
// directory named by its UTC time (backup/retention.h) that holds game_server/ as a snapshot
// (zts_admin snapshot) made it: every file a hard link, so a snapshot costs the files that
// changed since the one before, plus its directories.
//
//   [backup]
//   dir = "/var/lib/zts/backups"   # relative: to the working directory
//   keep_hourly = 24
//   keep_daily = 7
//   keep_weekly = 8
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backup/retention.h"

// Most periods of each kind a rule may keep: ten years of hours is already more than any use.
inline constexpr int64_t max_keep = 100000;

struct backup_config {
  std::string dir = "/var/lib/zts/backups";
  retention_rule rule;
};

// Reads the [backup] table of the TOML file at `path` (defaults when it has none; the other
// tables are the server's to check). False with *error when the file cannot be read or parsed
// or the table is wrong.
bool read_backup_config(const std::string& path, backup_config* out, std::string* error);

// One complete snapshot in the back-up directory.
struct snapshot_entry {
  std::string name;
  int64_t time = 0;       // from the name
  int32_t games = 0;      // game_* directories in its game_server/
  int64_t bytes = 0;      // disk used by all its files and directories
  int64_t own_bytes = 0;  // of that, what no other name links to: what removing it frees
};

// The snapshots in `dir`, oldest first; sizes are measured only when `measure`. Names that are
// not snapshot names are skipped; those of snapshots being written (or left by an interrupted
// one: hidden, ".<name>.snapshot.<pid>") go to *unfinished when it is given. Throws io_error
// when `dir` cannot be read (a missing `dir` holds no snapshots).
std::vector<snapshot_entry> list_snapshots(const std::string& dir, bool measure,
                                           std::vector<std::string>* unfinished = nullptr);

// The listing zts_admin backups prints: one line per snapshot and a total.
std::string format_snapshot_list(const std::string& dir, const std::vector<snapshot_entry>& list,
                                 const std::vector<std::string>& unfinished);

// Applies `rule` to the complete snapshots in `dir`: each one it does not keep is renamed to a
// hidden ".removing-<name>" (so it never looks whole again) and deleted. Snapshots being written
// are never touched, nor the newest; leftovers of an interrupted prune go too. With `dry_run`
// nothing changes. Returns one line per snapshot ("kept NAME" / "removed NAME") and a total.
// Throws io_error when `dir` cannot be read or a snapshot cannot be renamed.
std::string prune_snapshots(const std::string& dir, const retention_rule& rule, bool dry_run);
