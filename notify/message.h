// The messages: an event's text from its template, and the HTTP request that carries it in each
// target format.
//
//   discord  POST {"content": text, "allowed_mentions": {"parse": []}}   (JSON)
//   slack    POST {"text": text}                                         (JSON)
//   ntfy     POST text as a plain body; headers Title (the game) and Click (the link)
//   json     POST {"event": "turn", "event_id": "zts-3-12-1-0-turn",
//                  "game": {"id": 3, "name": "..."}, "status": 0, "turn": 12,
//                  "player": 1, "team": "...", "winner": null, "out": [],
//                  "link": "https://.../ztsv_log.php?mode=2&id=3", "text": "..."}
//
// Every text sent is UTF-8; names from the games are converted from Windows-1251, stripped of
// control characters and escaped for the format, so no name can break the JSON, add a header,
// or call a mass mention (@everyone, <!channel>).
#pragma once

#include <string>
#include <vector>

#include "notify/config.h"
#include "notify/events.h"

struct outgoing_request {
  std::string url;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;
};

// The texts are bounded so a message fits every service's limit (Discord: 2000 characters): a
// longer text is cut to at most this many bytes, whole UTF-8 characters, and "…" (3 bytes) is
// added, so a text sent is at most max_text_bytes + 3 bytes.
inline constexpr size_t max_text_bytes = 1800;

// public_url + "/ztsv_log.php?mode=2&id=<id>" (the list, "/ztsv_log.php", for an id below 0),
// or "" without a public URL.
std::string status_link(const std::string& public_url, int32_t game_id);

// The event's text (UTF-8) from its template in `templates`, placeholders filled in for
// `format` (names made harmless there), trailing blanks removed, cut as max_text_bytes says.
std::string event_text(const notify_event& e, notify_format format,
                       const notify_templates& templates, const std::string& public_url);

// The request that announces `e` to `target`.
outgoing_request render_request(const notify_event& e, const notify_target& target,
                                const notify_config& config);
