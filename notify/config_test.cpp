#include "notify/config_toml.h"

#include <gtest/gtest.h>

namespace {

// Parses `text` as a whole file and hands its [notify] table to the parser.
bool parse(const std::string& text, notify_config* out, std::string* error) {
  toml::table file = toml::parse(text);
  const toml::table* notify = file["notify"].as_table();
  if (!notify) throw std::runtime_error("no [notify] in test input");
  notify_config_result r = parse_notify_config(*notify);
  if (r.ok) {
    *out = std::move(r.config);
  } else {
    *error = "line " + std::to_string(r.line) + ": " + r.key + ": " + r.what;
  }
  return r.ok;
}

TEST(NotifyConfig, EveryKeyRead) {
  notify_config c;
  std::string error;
  ASSERT_TRUE(parse(R"(
[notify]
remind_after = "24h"
remind_every = "1h30m"
remind_max = 5
retry_for = "2d"
ca_file = "/etc/zts/ca.pem"
[notify.templates]
turn = "{game}: turn {turn}, {team} {link}"
[[notify.target]]
url = "https://hooks.example.org/a/SECRET"
format = "discord"
[[notify.target]]
url = "http://127.0.0.1:8080/b"
format = "ntfy"
games = [3, 7]
name = "league-*"
)",
                    &c, &error))
      << error;
  EXPECT_EQ(c.remind_after_s, 86400u);
  EXPECT_EQ(c.remind_every_s, 5400u);
  EXPECT_EQ(c.remind_max, 5);
  EXPECT_EQ(c.retry_for_s, 2u * 86400);
  EXPECT_EQ(c.ca_file, "/etc/zts/ca.pem");
  EXPECT_EQ(c.templates.turn, "{game}: turn {turn}, {team} {link}");
  EXPECT_EQ(c.templates.finished, default_templates().finished);  // the others keep defaults
  ASSERT_EQ(c.targets.size(), 2u);
  EXPECT_EQ(c.targets[0].format, notify_format::discord);
  EXPECT_TRUE(c.targets[0].game_ids.empty());
  EXPECT_EQ(c.targets[1].format, notify_format::ntfy);
  EXPECT_EQ(c.targets[1].game_ids, (std::vector<int32_t>{3, 7}));
  EXPECT_EQ(c.targets[1].name_pattern, "league-*");

  // An empty table is every default: reminders off, no targets.
  ASSERT_TRUE(parse("[notify]\n", &c, &error));
  EXPECT_EQ(c, notify_config{});
  EXPECT_EQ(c.remind_after_s, 0u);
}

TEST(NotifyConfig, BadValuesNameLineAndKey) {
  const struct {
    const char* body;  // after "[notify]\n" (line 1), so the bad key sits on line 2 or later
    const char* error;
  } cases[] = {
      {"remind_after = 24", "line 2: notify.remind_after: expected a duration"},
      {"remind_after = \"24x\"", "line 2: notify.remind_after: not a duration"},
      {"remind_after = \"1500ms\"",
       "line 2: notify.remind_after: not a duration"},                              // whole seconds
      {"remind_after = \"3700d\"", "line 2: notify.remind_after: not a duration"},  // > 10 years
      {"remind_every = \"0s\"", "line 2: notify.remind_every: at least 1s"},
      {"remind_max = -1", "line 2: notify.remind_max: from 0 to 100"},
      {"retry_for = \"31d\"", "line 2: notify.retry_for: at most 30d"},
      {"colour = 1", "line 2: notify.colour: unknown key"},
      {"[notify.templates]\nturn = \"{game} {player}\"",
       "line 3: notify.templates.turn: unknown placeholder {player}"},
      {"[notify.templates]\nwin = \"x\"", "line 3: notify.templates.win: unknown template"},
      {"[[notify.target]]\nformat = \"json\"", "line 2: notify.target[0].url: missing"},
      {"[[notify.target]]\nurl = \"http://a/\"", "line 2: notify.target[0].format: missing"},
      {"[[notify.target]]\nurl = \"ftp://a/x\"\nformat = \"json\"",
       "line 3: notify.target[0].url: only http:// and https:// URLs"},
      {"[[notify.target]]\nurl = \"http://a/\"\nformat = \"teams\"",
       "line 4: notify.target[0].format: unknown format \"teams\""},
      {"[[notify.target]]\nurl = \"http://a/\"\nformat = \"json\"\ngames = [1, -2]",
       "line 5: notify.target[0].games: expected a game id"},
      {"[[notify.target]]\nurl = \"http://a/\"\nformat = \"json\"\nlabel = \"a\\nb\"",
       "line 5: notify.target[0].label: 1 to 64 bytes, no control characters"},
      {"[[notify.target]]\nurl = \"http://a/\"\nformat = \"json\"\n[[notify.target]]\n"
       "url = \"http://a/\"\nformat = \"slack\"",
       "line 6: notify.target[1].url: the same URL as notify.target[0]"},
  };
  for (const auto& c : cases) {
    notify_config out;
    std::string error;
    EXPECT_FALSE(parse(std::string("[notify]\n") + c.body, &out, &error)) << c.body;
    EXPECT_TRUE(error.starts_with(c.error)) << c.body << "\n  got: " << error;
  }
}

}  // namespace
