#include "notify/message.h"

#include <gtest/gtest.h>

#include "tests/support/json_reader.h"

namespace {

// A game whose texts try everything: quotes and backslashes for JSON, mass mentions for Discord
// and Slack, a line break for headers, Cyrillic in Windows-1251.
notify_event hostile_event() {
  notify_event e;
  e.kind = event_kind::turn;
  e.game.id = 3;
  e.game.name = "\xC8\xE3\xF0\xE0_\"1\"\\";  // Игра "1"\ with the underscore read as a blank
  e.game.status = 0;
  e.game.turn = 4;
  e.game.curplr = 1;
  e.game.teams = {"Red", "@everyone <!channel> &\r\nX-Evil: 1", "\xCA\xF0\xE0\xF1\xED\xFB\xE5"};
  e.game.in_game = {true, true, false};
  e.out = {2};
  e.event_id = "zts-3-4-1-0-turn";
  return e;
}

json_value parsed(const std::string& body) {
  json_value v;
  std::string error;
  EXPECT_TRUE(parse_json(body, &v, &error)) << error << "\n" << body;
  return v;
}

TEST(NotifyMessage, EveryFormatCarriesTheTextSafely) {
  notify_config config;
  config.public_url = "https://games.example.org/";
  const notify_event e = hostile_event();
  const std::string link = "https://games.example.org/ztsv_log.php?mode=2&id=3";
  EXPECT_EQ(status_link(config.public_url, 3), link);

  notify_target target;
  target.url = "https://hooks.example.org/x";
  target.format = notify_format::discord;
  outgoing_request r = render_request(e, target, config);
  EXPECT_EQ(r.url, target.url);
  json_value d = parsed(r.body);
  EXPECT_EQ(
      d["content"].text,
      "«Игра \"1\"\\\\», ход 4. Ходит: @\u200beveryone \\<!channel\\> &  X\\-Evil: 1. " + link);
  EXPECT_EQ(d["allowed_mentions"]["parse"].kind, json_value::array_kind);
  EXPECT_TRUE(d["allowed_mentions"]["parse"].items.empty());

  target.format = notify_format::slack;
  json_value s = parsed(render_request(e, target, config).body);
  EXPECT_EQ(s["text"].text,
            "«Игра \"1\"\\», ход 4. Ходит: @everyone &lt;!channel\u200b&gt; &amp;  X-Evil: 1. "
            "https://games.example.org/ztsv_log.php?mode=2&amp;id=3");

  target.format = notify_format::ntfy;
  r = render_request(e, target, config);
  EXPECT_EQ(r.body, "«Игра \"1\"\\», ход 4. Ходит: @everyone <!channel> &  X-Evil: 1. " + link);
  EXPECT_EQ(r.headers, (std::vector<std::string>{
                           "Content-Type: text/plain; charset=utf-8",
                           "Title: =?UTF-8?B?0JjQs9GA0LAgIjEiXA==?=",  // Игра "1"\ in UTF-8
                           "Click: " + link}));

  target.format = notify_format::json;
  json_value j = parsed(render_request(e, target, config).body);
  EXPECT_EQ(j["event"].text, "turn");
  EXPECT_EQ(j["event_id"].text, "zts-3-4-1-0-turn");
  EXPECT_EQ(j["game"]["id"].number, 3);
  EXPECT_EQ(j["game"]["name"].text, "Игра \"1\"\\");
  EXPECT_EQ(j["turn"].number, 4);
  EXPECT_EQ(j["player"].number, 1);
  EXPECT_EQ(j["team"].text, "@everyone <!channel> &  X-Evil: 1");
  EXPECT_TRUE(j["winner"].is_null());
  EXPECT_EQ(j["out"][0]["team"].text, "Красные");
  EXPECT_EQ(j["link"].text, link);

  // Without a public URL there is no link and no trailing blank.
  config.public_url.clear();
  EXPECT_EQ(event_text(e, notify_format::ntfy, config.templates, ""),
            "«Игра \"1\"\\», ход 4. Ходит: @everyone <!channel> &  X-Evil: 1.");
  EXPECT_TRUE(parsed(render_request(e, target, config).body)["link"].is_null());
}

TEST(NotifyMessage, TemplatesFillOncePerPlaceholderAndStayBounded) {
  notify_event e = hostile_event();
  e.kind = event_kind::finished;
  e.game.status = 2;
  e.game.teams[1] = "{winner}";  // a name that looks like a placeholder stays a name
  e.game.winner = 1;
  notify_templates t = default_templates();
  t.finished = "{game}/{id}/{turn}/{team}/{winner}/{out}/{hours}/{link}/{";
  EXPECT_EQ(event_text(e, notify_format::json, t, "http://h"),
            "Игра \"1\"\\/3/4/{winner}/{winner}/Красные/0/http://h/ztsv_log.php?mode=2&id=3/{");
  EXPECT_EQ(event_text(e, notify_format::json, default_templates(), ""),
            "«Игра \"1\"\\» завершена. Победа: {winner}.");

  // A reminder's usual time on a turn, written like the wait.
  e.kind = event_kind::reminder;
  e.waited_s = 30 * 3600;
  t.reminder = "{waited}/{median}";
  const std::pair<std::optional<int64_t>, std::string> medians[] = {
      {7 * 3600 + 1800, "30 ч/7 ч 30 мин"}, {20, "30 ч/1 мин"}, {std::nullopt, "30 ч/?"}};
  for (const auto& [median, text] : medians) {
    e.median_s = median;
    EXPECT_EQ(event_text(e, notify_format::json, t, ""), text);
  }
  e.kind = event_kind::finished;

  e.game.name = std::string(3000, '\xE0');  // 6000 bytes of "а" in UTF-8
  std::string text = event_text(e, notify_format::discord, t, "");
  EXPECT_LE(text.size(), max_text_bytes + 3);
  EXPECT_TRUE(text.ends_with("…"));
  EXPECT_EQ(text.substr(0, 4), "аа");  // cut between characters, not inside one
}

}  // namespace
