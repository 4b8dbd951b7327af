#include "net/query.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ParseQuery, SplitsPairsInOrderWithoutDecoding) {
  struct {
    std::string text;
    aget_rec pairs;
  } cases[] = {
      {"/gameserver_v2.php?op=27&a=4", {{"op", "27"}, {"a", "4"}}},
      {"?op=27&&a=4", {{"op", "27"}}},
      {"?op", {}},
      {"?=5", {{"", "5"}}},
      {"a=1", {{"a", "1"}}},
      {"?a=%41+b", {{"a", "%41+b"}}},
      {"?x=1?y=2", {{"x", "1?y=2"}}},
      {"?a=1=2&b=", {{"a", "1=2"}, {"b", ""}}},
      {"?op=28&op=777&OP=1", {{"op", "28"}, {"op", "777"}, {"OP", "1"}}},
      {"? \t a=1&b=2 \r\n", {{"a", "1"}, {"b", "2"}}},
      {"?a=1&", {{"a", "1"}}},
      {"?a=1&junk&b=2", {{"a", "1"}}},
      {"", {}},
      {"?", {}},
      {"?  ", {}},
  };
  for (const auto& c : cases) {
    aget_rec got = parse_query(c.text);
    ASSERT_EQ(got.size(), c.pairs.size()) << c.text;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].name, c.pairs[i].name) << c.text;
      EXPECT_EQ(got[i].value, c.pairs[i].value) << c.text;
    }
  }
}

TEST(FindQuery, FirstExactNameWins) {
  aget_rec pairs = parse_query("?OP=1&op=28&op=777&fn=");
  ASSERT_NE(find_query(pairs, "op"), nullptr);
  EXPECT_EQ(*find_query(pairs, "op"), "28");
  ASSERT_NE(find_query(pairs, "fn"), nullptr);
  EXPECT_EQ(*find_query(pairs, "fn"), "");
  EXPECT_EQ(find_query(pairs, "Op"), nullptr);
}

}  // namespace
