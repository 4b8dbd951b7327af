#include "lib/json.h"

#include "lib/cp1251.h"

std::string json_escape(std::string_view text) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else if (c == 0xE2 && text.substr(i + 1, 1) == "\x80" && i + 2 < text.size() &&
               (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
      out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string json_string(std::string_view utf8) {
  std::string out = "\"";
  out += json_escape(utf8);
  out += '"';
  return out;
}

std::string json_game_text(std::string_view cp1251) {
  return json_string(cp1251_to_utf8(cp1251));
}

std::string json_player(std::string_view team, std::string_view color, bool in_game) {
  std::string out = "{\"team\":";
  out += json_game_text(team);
  out += ",\"color\":";
  out += json_game_text(color);
  out += ",\"in_game\":";
  out += in_game ? "true}" : "false}";
  return out;
}
