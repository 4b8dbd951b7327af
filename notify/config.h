// The [notify] table of the configuration file: where turn notifications go, how their texts
// read and when reminders are due.
//
//   [notify]
//   remind_after = "24h"            # off when absent
//   remind_every = "24h"
//   remind_max = 3
//   retry_for = "24h"
//   ca_file = "/etc/zts/hooks-ca.pem" # optional: trust these CAs instead of the system's
//   [notify.templates]
//   turn = "{game}, turn {turn}: {team} to move. {link}"
//   [[notify.target]]
//   url = "https://hooks.example.org/..."
//   format = "json"                 # discord | slack | ntfy | json
//   games = [3, 7]                  # optional; and/or name = "league-*"
//   label = "league-discord"        # optional: how logs and metrics name it
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class notify_format { discord, slack, ntfy, json };

// "discord", "slack", "ntfy" or "json".
const char* format_name(notify_format format);

struct notify_target {
  std::string url;  // holds secrets: never logged whole (see url_origin)
  notify_format format = notify_format::json;
  // Which games go here: every game when both are empty, otherwise the games listed by id and
  // those whose name (UTF-8) matches the shell pattern.
  std::vector<int32_t> game_ids;
  std::string name_pattern;
  // What logs, --notify-test and metrics call the target (no control characters); empty: its
  // scheme, host and format (see target_name in notify/delivery.h).
  std::string label;

  bool operator==(const notify_target&) const = default;
};

// The texts of the events. Placeholders: {game} {id} {turn} {team} {winner} {out} {hours}
// (whole hours a reminder's turn has waited) {waited} (that wait in words: "40 мин", "2 ч 30
// мин") {link}. Defaults are in the language of the status pages.
struct notify_templates {
  std::string new_game;
  std::string turn;
  std::string player_out;
  std::string finished;       // the game ended with a winner
  std::string finished_idle;  // the hourly pass finished it (no turns for months)
  std::string archived;       // the hourly pass archived it
  std::string reminder;
  std::string test;  // zts_server --notify-test

  bool operator==(const notify_templates&) const = default;
};

notify_templates default_templates();

struct notify_config {
  std::vector<notify_target> targets;
  uint32_t remind_after_s = 0;  // 0: no reminders
  uint32_t remind_every_s = 24 * 3600;
  int32_t remind_max = 3;
  uint32_t retry_for_s = 24 * 3600;
  std::string ca_file;  // a CA bundle used instead of the system's certificates; empty: system
  notify_templates templates = default_templates();
  // Not part of [notify]: the server's public base URL (top-level public_url), the start of
  // every link. Empty: messages carry no link.
  std::string public_url;

  bool operator==(const notify_config&) const = default;
};
