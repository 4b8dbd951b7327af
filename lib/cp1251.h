// Windows-1251 (the server's text encoding) to UTF-8, for the outputs that must be UTF-8: the
// JSONP game list and the inspection tool.
#pragma once

#include <string>
#include <string_view>

// Every byte becomes one character: ASCII stays, 0x80-0xFF become their Cyrillic and
// punctuation code points (0x98, unassigned, becomes U+0098). Never fails.
std::string cp1251_to_utf8(std::string_view text);
