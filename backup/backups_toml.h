// Reading the [backup] table out of a parsed file. Only the parsers (backup/backups.cpp, the
// server's configuration) include this header, so toml++ stays out of everyone else's.
#pragma once

#include <string>

#include <toml++/toml.h>

#include "backup/backups.h"

// Checks the [backup] table and reads it into *out. False with *error ("keep_daily: expected an
// integer from 0 to 100000, not -1") for an unknown key or a wrong value.
bool parse_backup_config(const toml::table& table, backup_config* out, std::string* error);
