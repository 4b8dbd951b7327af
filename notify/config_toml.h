// Reading the [notify] table out of a parsed file. Only the parsers (notify/config.cpp, the
// server's configuration) include this header, so toml++ stays out of everyone else's.
#pragma once

#include <cstdint>
#include <string>

#include <toml++/toml.h>

#include "notify/config.h"

struct notify_config_result {
  bool ok = false;
  notify_config config;  // when ok
  // Otherwise where and why the table was refused: the line, the key ("notify.target[0]
  // .format") and what is wrong with it.
  int64_t line = 0;
  std::string key;
  std::string what;
};

// Reads the [notify] table (the table itself, not the whole file), every absent key at its
// default. Refuses an unknown key, a wrong type or an out-of-range value. Never throws.
notify_config_result parse_notify_config(const toml::table& table);
