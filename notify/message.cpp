#include "notify/message.h"

#include <algorithm>

#include "db/game.h"
#include "lib/asys.h"
#include "lib/conv.h"
#include "lib/cp1251.h"
#include "lib/json.h"

namespace {

// A name from a game file in UTF-8, with control characters (which could end a header line or
// hide text) made blanks. The file's underscores read as blanks, as on the status pages.
std::string clean_name(const std::string& cp1251) {
  std::string text = cp1251_to_utf8(cp1251);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return text;
}

// Makes a name plain text in the target's markup, so a name reads as itself and cannot link,
// mention or format. Discord: a backslash before every character its markdown reads (masked
// links [text](url), *bold*, spoilers ||x||, <@id> mentions, line-start # > -), and @everyone
// and @here broken by an invisible space (pings are off, but they would still show as
// mentions). Slack: & < > as entities (its links <url|text> and mentions <!channel> start with
// <), and its formatting characters, which it has no escape for, fenced by invisible spaces so
// they can neither open nor close a span.
std::string inert_for(notify_format format, const std::string& name) {
  static constexpr std::string_view zwsp = "\u200b";
  std::string out;
  if (format == notify_format::slack) {
    for (char c : name) {
      if (c == '&') {
        out += "&amp;";
      } else if (c == '<') {
        out += "&lt;";
      } else if (c == '>') {
        out += zwsp;  // a quote at the start of a line
        out += "&gt;";
      } else if (c == '*' || c == '_' || c == '~' || c == '`') {
        out += zwsp;
        out += c;
        out += zwsp;
      } else {
        out += c;
      }
    }
    return out;
  }
  if (format == notify_format::discord) {
    static constexpr std::string_view markup = "\\*_~`|<>[]()#-";
    for (char c : name) {
      if (markup.find(c) != std::string_view::npos) out += '\\';
      out += c;
      if (c == '@') out += zwsp;
    }
    return out;
  }
  return name;
}

// "40 мин", "2 ч", "2 ч 30 мин": a wait as the reminders say it (at least a minute).
std::string wait_text(uint32_t seconds) {
  const uint32_t minutes = std::max<uint32_t>(seconds / 60, 1);
  if (minutes < 60) return std::to_string(minutes) + " мин";
  std::string out = std::to_string(minutes / 60) + " ч";
  if (minutes % 60 != 0) out += " " + std::to_string(minutes % 60) + " мин";
  return out;
}

std::string game_name(const game_view& g) {
  return clean_name(replace_all(g.name, "_", " "));
}

const std::string& template_of(event_kind kind, const notify_templates& t) {
  switch (kind) {
    case event_kind::new_game:
      return t.new_game;
    case event_kind::turn:
      return t.turn;
    case event_kind::player_out:
      return t.player_out;
    case event_kind::finished:
      return t.finished;
    case event_kind::finished_idle:
      return t.finished_idle;
    case event_kind::archived:
      return t.archived;
    case event_kind::reminder:
      return t.reminder;
    case event_kind::test:
      break;
  }
  return t.test;
}

// Cuts at most `limit` bytes without splitting a UTF-8 sequence.
std::string cut_utf8(std::string text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text + "…";
}

// A header value: plain ASCII as it is, anything else as one RFC 2047 encoded word, which the
// receiver decodes (raw UTF-8 in a header is not reliably read).
std::string header_text(const std::string& utf8) {
  for (char c : utf8) {
    if (static_cast<unsigned char>(c) >= 0x80) return "=?UTF-8?B?" + to_base64(utf8) + "?=";
  }
  return utf8;
}

std::string json_body(const notify_event& e, const std::string& text, const std::string& link) {
  const std::string link_value = link.empty() ? std::string("null") : json_string(link);
  if (e.kind == event_kind::test) {
    return "{\"event\":\"test\",\"event_id\":" + json_string(e.event_id) +
           ",\"game\":null,\"link\":" + link_value + ",\"text\":" + json_string(text) + "}";
  }
  const game_view& g = e.game;
  const bool finished = g.status == status_finished;
  const bool moving =
      g.status == status_playing || g.status == status_opening || g.status == status_archived;
  std::string out =
      "{\"event\":" + json_string(event_name(e.kind)) + ",\"event_id\":" + json_string(e.event_id) +
      ",\"game\":{\"id\":" + std::to_string(g.id) + ",\"name\":" + json_string(game_name(g)) + "}" +
      ",\"status\":" + std::to_string(g.status) + ",\"turn\":" + std::to_string(g.turn);
  if (moving && e.kind != event_kind::archived) {
    out += ",\"player\":" + std::to_string(g.curplr) +
           ",\"team\":" + json_string(clean_name(team_of(g, g.curplr)));
  } else {
    out += ",\"player\":null,\"team\":null";
  }
  if (finished && e.kind == event_kind::finished) {
    out += ",\"winner\":{\"player\":" + std::to_string(g.winner) +
           ",\"team\":" + json_string(clean_name(team_of(g, g.winner))) + "}";
  } else {
    out += ",\"winner\":null";
  }
  out += ",\"out\":[";
  for (size_t i = 0; i < e.out.size(); ++i) {
    out += (i ? "," : "") + std::string("{\"player\":") + std::to_string(e.out[i]) +
           ",\"team\":" + json_string(clean_name(team_of(g, e.out[i]))) + "}";
  }
  out += "]";
  if (e.kind == event_kind::reminder) out += ",\"waited_s\":" + std::to_string(e.waited_s);
  out += ",\"link\":" + link_value;
  return out + ",\"text\":" + json_string(text) + "}";
}

}  // namespace

std::string status_link(const std::string& public_url, int32_t game_id) {
  if (public_url.empty()) return {};
  std::string base = public_url;
  while (!base.empty() && base.back() == '/') base.pop_back();
  // The test message has no game: it links the list of games.
  if (game_id < 0) return base + "/ztsv_log.php";
  return base + "/ztsv_log.php?mode=2&id=" + std::to_string(game_id);
}

std::string event_text(const notify_event& e, notify_format format,
                       const notify_templates& templates, const std::string& public_url) {
  const game_view& g = e.game;
  auto name = [&](const std::string& cp1251) { return inert_for(format, clean_name(cp1251)); };
  std::string out_teams;
  for (int32_t k : e.out) out_teams += (out_teams.empty() ? "" : ", ") + name(team_of(g, k));
  std::string text = template_of(e.kind, templates);
  // Filled in one pass, so a name holding "{team}" stays as it is.
  std::string filled;
  for (size_t i = 0; i < text.size();) {
    size_t close = text[i] == '{' ? text.find('}', i) : std::string::npos;
    if (close == std::string::npos) {
      filled += text[i++];
      continue;
    }
    std::string_view key = std::string_view(text).substr(i, close - i + 1);
    if (key == "{game}") {
      filled += inert_for(format, game_name(g));
    } else if (key == "{id}") {
      filled += std::to_string(g.id);
    } else if (key == "{turn}") {
      filled += std::to_string(g.turn);
    } else if (key == "{team}") {
      filled += name(team_of(g, g.curplr));
    } else if (key == "{winner}") {
      filled += name(team_of(g, g.winner));
    } else if (key == "{out}") {
      filled += out_teams;
    } else if (key == "{hours}") {
      filled += std::to_string(e.waited_s / 3600);
    } else if (key == "{waited}") {
      filled += wait_text(e.waited_s);
    } else if (key == "{median}") {
      filled += e.median_s
                    ? wait_text(static_cast<uint32_t>(std::min<int64_t>(*e.median_s, UINT32_MAX)))
                    : "?";
    } else if (key == "{link}") {
      // Slack reads the & of a query string as the start of an entity; nothing else in a
      // link is markup (the operator's URL, and Slack formats nothing inside a link).
      filled += format == notify_format::slack
                    ? replace_all(status_link(public_url, g.id), "&", "&amp;")
                    : status_link(public_url, g.id);
    } else {
      filled += key;
    }
    i = close + 1;
  }
  while (!filled.empty() && (filled.back() == ' ' || filled.back() == '\n')) filled.pop_back();
  return cut_utf8(std::move(filled), max_text_bytes);
}

outgoing_request render_request(const notify_event& e, const notify_target& target,
                                const notify_config& config) {
  outgoing_request r;
  r.url = target.url;
  const std::string text = event_text(e, target.format, config.templates, config.public_url);
  const std::string link = status_link(config.public_url, e.game.id);
  switch (target.format) {
    case notify_format::discord:
      r.headers.push_back("Content-Type: application/json");
      r.body = "{\"content\":" + json_string(text) + ",\"allowed_mentions\":{\"parse\":[]}}";
      break;
    case notify_format::slack:
      r.headers.push_back("Content-Type: application/json");
      r.body = "{\"text\":" + json_string(text) + "}";
      break;
    case notify_format::ntfy:
      r.headers.push_back("Content-Type: text/plain; charset=utf-8");
      r.headers.push_back("Title: " + header_text(e.kind == event_kind::test
                                                      ? std::string("zts")
                                                      : cut_utf8(game_name(e.game), 200)));
      if (!link.empty()) r.headers.push_back("Click: " + link);
      r.body = text;
      break;
    case notify_format::json:
      r.headers.push_back("Content-Type: application/json");
      r.body = json_body(e, text, link);
      break;
  }
  return r;
}
