// JSON text helpers shared by the JSONP game list and the inspection tool.
#pragma once

#include <string>
#include <string_view>

// `text` (UTF-8) made safe inside a JSON string literal: ", \ and control characters escaped,
// and U+2028/U+2029, which end a line in a script. Leaves every other byte as it is.
std::string json_escape(std::string_view text);
