// The players' pages: /games lists the games and whose turn it is, /games?id=<id> shows one
// game (its players, their turn times, the timeline of its turns and, once it has ended, a
// download link per stored turn). The page is a script over the JSON API (api/games_api.h),
// served with its style sheet and scripts from bytes built into the binary
// (web/players/*), so it needs no other host and works the same behind the HTTPS front.
//
//   /games               index.html    text/html; charset=utf-8        Cache-Control: no-cache
//   /games/<file>        style.css, app.js, chart.js (text/css, text/javascript, with charset)
//
// The page names each asset with "?v=<tag>" (its ETag without the quotes); an asset asked for
// with its current tag is sent "public, max-age=31536000, immutable", otherwise "no-cache".
// Every reply has an ETag (a hash of its bytes) and a request whose If-None-Match names it gets
// "304 Not Modified" without a body. Replies are built once, at first use, and never change.
#pragma once

#include <string>
#include <string_view>

#include "lib/metrics.h"

struct web_reply {
  bool handled = false;  // false: `target` is none of the pages' paths; nothing below is set
  outcome_kind outcome = outcome_kind::ok;
  std::string bytes;  // the complete HTTP reply
};

// The reply to the request target `target` (path and query): "/games" and "/games/<file>" for
// the files above; anything else under "/games/" and every other path are not handled.
web_reply serve_player_web(std::string_view target, std::string_view if_none_match);
