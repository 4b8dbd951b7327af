#include "lib/json.h"

#include <gtest/gtest.h>

TEST(JsonEscape, EscapesWhatEndsOrBreaksAStringLiteral) {
  struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"a\\b", "a\\\\b"},
      {"tab\tline\nend\r", "tab\\u0009line\\u000aend\\u000d"},
      {std::string("\x00\x1f", 2), "\\u0000\\u001f"},
      {"\x7f/", "\x7f/"},
      {"Привет", "Привет"},
      {"a\xE2\x80\xA8"
       "b\xE2\x80\xA9",
       "a\\u2028b\\u2029"},
      // Other characters of the same block and a cut sequence stay as they are.
      {"\xE2\x80\xA6", "\xE2\x80\xA6"},
      {"\xE2\x80", "\xE2\x80"},
  };
  for (const auto& c : cases) EXPECT_EQ(json_escape(c.in), c.out) << c.in;
}

TEST(JsonString, QuotesTheEscapedTextAndConvertsGameTexts) {
  EXPECT_EQ(json_string("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(json_game_text("\xcf\xf0\xe8\n"), "\"При\\u000a\"");
}
