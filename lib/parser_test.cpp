#include "lib/parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "lib/file_io.h"
#include "tests/support/temp_dir.h"

namespace {

const parse_options server_options{':', true, true};

struct line_case {
  const char* text;
  const char* key;
  const char* value;
};

TEST(ParseText, KeysAndValuesWithServerOptions) {
  const line_case cases[] = {
      {"map:Big Map", "map", "Big Map"},
      {"map: Big Map", "map", "Big Map"},   // leading blank of the value dropped
      {"map:Big Map ", "map", "Big Map "},  // trailing blank kept
      {"map:\t Big", "map", "Big"},         // leading TABs and blanks dropped
      {"map:a\tb", "map", "a\tb"},          // inner TAB kept with blanks kept
      {"\tmap:x", "map", "x"},              // TAB never part of the key
      {" map:x", " map", "x"},              // a blank is
      {"m\ta p:x", "ma p", "x"},
      {"ab", "ab", ""},     // no separator: the line is the key
      {"a:1;2", "a", "1"},  // end-of-line comments
      {"a:x//y", "a", "x"},
      {"a:x/y", "a", "x/y"},          // a single slash is text
      {"a:b:c", "a", "b:c"},          // only the first separator counts
      {" ;a:b", " ;a", "b"},          // a blank before ";" makes it a line
      {"a:b {note} c", "a", "b  c"},  // block removed, blanks around it kept
      {"a{x:y}b:c", "ab", "c"},       // a block in the key hides the separator
      {"a:", "a", ""},
  };
  for (const auto& c : cases) {
    preca list = parse_text(c.text, server_options);
    ASSERT_EQ(list.size(), 1u) << c.text;
    EXPECT_EQ(list[0].key, c.key) << c.text;
    EXPECT_EQ(list[0].value, c.value) << c.text;
    EXPECT_EQ(list[0].line, c.text) << c.text;
  }
}

TEST(ParseText, SkippedLines) {
  const char* cases[] = {"", "x", ":", "//a:b", ";a:b", "a:b {note}", "\n\n\n", "\r\r\r\n"};
  for (const char* text : cases) EXPECT_TRUE(parse_text(text, server_options).empty()) << text;
}

TEST(ParseText, OtherSeparatorAndDroppedBlanks) {
  preca list = parse_text("my key = 1 2\n", {'=', false, true});
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].key, "mykey");
  EXPECT_EQ(list[0].value, "12");
  EXPECT_EQ(list[0].ival, 12);
  EXPECT_EQ(list[0].pair, (std::array<double, 2>{0, 0}));  // no mark without blanks
}

TEST(ParseText, BracesAreTextWhenBlocksAreOff) {
  preca list = parse_text("a{b}:c{d}\n", {':', true, false});
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].key, "a{b}");
  EXPECT_EQ(list[0].value, "c{d}");
}

TEST(ParseText, BlockAcrossLines) {
  const char* text =
      "before:1\n"
      "section: {\n"
      "inner:2\n"
      "}\n"  // too short: skipped, does not close the block
      "still:3\n"
      " }\n"  // closes the block, gives no entry
      "after:4\n";
  preca list = parse_text(text, server_options);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].key, "before");
  EXPECT_EQ(list[1].key, "section");
  EXPECT_EQ(list[1].value, "");
  EXPECT_EQ(list[2].key, "after");
  EXPECT_EQ(list[2].ival, 4);
}

TEST(ParseText, BlockOpenedInsideALineGivesNoEntry) {
  // The block stays open without the line ending on "{": no entry, and the next line is hidden.
  preca list = parse_text("a:b { c\nhidden:1\nx}y:z\n", server_options);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].key, "y");
  EXPECT_EQ(list[0].value, "z");
}

TEST(ParseText, CrAndLineEnds) {
  preca list = parse_text("a:1\r\nb:\r2\rx\nc:3", server_options);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1].value, "2x");
  EXPECT_EQ(list[1].line, "b:2x");
  EXPECT_EQ(list[2].key, "c");
  EXPECT_EQ(list[2].ival, 3);
}

TEST(ParseText, LongLineIsCutAt250) {
  std::string head = "teams:" + std::string(244, 'a');  // exactly 250 bytes
  preca list = parse_text(head + "|tail:9\n", server_options);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].line.size(), 250u);
  EXPECT_EQ(list[0].value, std::string(244, 'a'));
  EXPECT_EQ(list[1].key, "|tail");
  EXPECT_EQ(list[1].ival, 9);
}

TEST(TakeLine, AdvancesPastLfAndCutsLongLines) {
  std::string text = "ab\r\ncd\n" + std::string(260, 'z');
  size_t position = 0;
  EXPECT_EQ(take_line(text, &position), "ab");
  EXPECT_EQ(position, 4u);
  EXPECT_EQ(take_line(text, &position), "cd");
  EXPECT_EQ(take_line(text, &position), std::string(250, 'z'));
  EXPECT_EQ(take_line(text, &position), std::string(10, 'z'));
  EXPECT_EQ(position, text.size());
}

struct number_case {
  const char* value;
  int32_t ival;
  bool bval;
  double fval;
  std::array<double, 2> pair;
  std::array<double, 3> triple;
  std::array<double, 4> quad;
  std::array<double, 5> quint;
};

TEST(ParseText, NumericReadings) {
  const number_case cases[] = {
      {"12abc", 12, true, 12, {}, {}, {}, {}},
      {"abc", 0, false, 0, {}, {}, {}, {}},
      {".5", 0, false, 0, {}, {}, {}, {}},  // not numeric: starts with "."
      {"-3", -3, false, -3, {}, {}, {}, {}},
      {"+5", 5, true, 5, {}, {}, {}, {}},
      {"0", 0, false, 0, {}, {}, {}, {}},
      {"1E5", 1, true, 1, {}, {}, {}, {}},  // upper-case E is no float mark
      {"1e5", 1, true, 100000, {}, {}, {}, {}},
      {"2.5", 2, true, 2.5, {}, {}, {}, {}},
      {"1 2", 1, true, 1, {1, 2}, {}, {}, {}},
      {"1,2,3", 1, true, 1, {1, 2}, {1, 2, 3}, {1, 2, 3, 0}, {}},
      {"1,2,3,4", 1, true, 1, {1, 2}, {1, 2, 3}, {1, 2, 3, 4}, {}},
      {"1,2,3,4,5", 1, true, 1, {1, 2}, {1, 2, 3}, {1, 2, 3, 4}, {1, 2, 3, 4, 5}},
      {"x,2,3,4,5", 0, false, 0, {}, {}, {}, {}},  // marks count only for numeric values
  };
  for (const auto& c : cases) {
    preca list = parse_text(std::string("k:") + c.value, server_options);
    ASSERT_EQ(list.size(), 1u) << c.value;
    const parserectyp& e = list[0];
    EXPECT_EQ(e.ival, c.ival) << c.value;
    EXPECT_EQ(e.bval, c.bval) << c.value;
    EXPECT_DOUBLE_EQ(e.fval, c.fval) << c.value;
    EXPECT_EQ(e.pair, c.pair) << c.value;
    EXPECT_EQ(e.triple, c.triple) << c.value;
    EXPECT_EQ(e.quad, c.quad) << c.value;
    EXPECT_EQ(e.quint, c.quint) << c.value;
  }
}

TEST(ParseText, VerbatimValuesKeepEveryByte) {
  const std::string long_value = std::string(600, 'v') + "|end";
  preca list = parse_text("// note\nmap: a;b//c {d\r\nteams:" + long_value + "\nn:\t 1,2,3\n",
                          {':', true, true, true});
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].value, " a;b//c {d");  // and the "{" hides nothing
  EXPECT_EQ(list[1].value, long_value);
  // Numbers read as from the usual value, which drops the leading blanks.
  const parserectyp usual = parse_text("n:\t 1,2,3", server_options).at(0);
  EXPECT_EQ(list[2].value, "\t 1,2,3");
  EXPECT_EQ(list[2].ival, usual.ival);
  EXPECT_EQ(list[2].quad, usual.quad);
}

TEST(ParseText, TabIsNeverAMark) {
  preca list = parse_text("k:1\t2", server_options);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].value, "1\t2");
  EXPECT_EQ(list[0].pair, (std::array<double, 2>{0, 0}));
}

TEST(ParseFile, MissingFileGivesNothingAndFileIsRead) {
  temp_dir dir;
  EXPECT_TRUE(parse_file(dir.file("none.txt"), server_options).empty());
  write_test_file(dir.file("cond.txt"), "map:M\nplr_cnt:2\n");
  preca list = parse_file(dir.file("cond.txt"), server_options);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].ival, 2);
}

TEST(ParseFile, UnreadableAfterOpenThrows) {
  temp_dir dir;
  ::mkdir(dir.file("cond.txt").c_str(), 0755);  // opens, but cannot be read as a file
  EXPECT_THROW(parse_file(dir.file("cond.txt"), server_options), io_error);
}

}  // namespace
