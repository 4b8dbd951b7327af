// JSON text helpers shared by every JSON reply: the JSONP game list, the JSON API, the admin
// socket, the notifications and the inspection tool.
#pragma once

#include <string>
#include <string_view>

// `text` (UTF-8) made safe inside a JSON string literal: ", \ and control characters escaped,
// and U+2028/U+2029, which end a line in a script. Leaves every other byte as it is.
std::string json_escape(std::string_view text);

// `utf8` as a JSON string literal: json_escape'd, in double quotes.
std::string json_string(std::string_view utf8);

// A Windows-1251 text from a game file as a JSON string literal (converted to UTF-8 first).
std::string json_game_text(std::string_view cp1251);

// One player of a game as every JSON reply shows it, from the game's Windows-1251 texts:
// {"team":<team>,"color":<color>,"in_game":true|false}.
std::string json_player(std::string_view team, std::string_view color, bool in_game);
