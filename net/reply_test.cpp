#include "net/reply.h"

#include <gtest/gtest.h>

#include <string>

#include "lib/file_io.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::string_literals;

TEST(Reply, TextRepliesAreFramedByteExact) {
  EXPECT_EQ(html_reply_utf8("200 OK", "ZTNS"),
            "HTTP/1.0 200 OK\r\nContent-Length: 4\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Connection: close\r\n\r\nZTNS");
  EXPECT_EQ(html_reply_utf8("404 Not Found", ""),
            "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\nContent-Type: text/html; "
            "charset=utf-8\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(html_reply("200 OK", "ZTXS\n0\n"),
            "HTTP/1.0 200 OK\r\nContent-Length: 7\r\nContent-Type: text/html\r\n"
            "Connection: close\r\n\r\nZTXS\n0\n");
  // Bodies are bytes: zero bytes and 8-bit text go through unchanged and are counted.
  EXPECT_EQ(html_reply("200 OK", "a\0\xe9"s).substr(17, 19), "Content-Length: 3\r\n");
}

TEST(Reply, DownloadReplyCarriesTheWholeContent) {
  EXPECT_EQ(download_reply("200 OK", "turn_3_1.zts", "ZTNX\0\r\n"s),
            "HTTP/1.0 200 OK\r\nContent-Length: 7\r\nContent-Type: application/octet-stream\r\n"
            "Content-Disposition: attachment; filename=\"turn_3_1.zts\"\r\nConnection: close\r\n"
            "\r\nZTNX\0\r\n"s);
  EXPECT_EQ(download_reply("200 OK", "e", ""),
            "HTTP/1.0 200 OK\r\nContent-Length: 0\r\nContent-Type: application/octet-stream\r\n"
            "Content-Disposition: attachment; filename=\"e\"\r\nConnection: close\r\n\r\n");
}

TEST(Reply, LogFileReplyShowsTheTextAsHtml) {
  temp_dir dir;
  write_test_file(dir.file("plain.log"), "a\r\nb\r\n");
  EXPECT_EQ(log_file_reply("200 OK", dir.file("plain.log")),
            "HTTP/1.0 200 OK\r\nContent-Length: 10\r\nContent-Type: text/html\r\n"
            "Connection: close\r\n\r\na<br>b<br>");
  write_test_file(dir.file("marked.log"), "<b>&\"x\"\n");
  EXPECT_EQ(html_reply("200 OK", "&lt;b&gt;&amp;&quot;x&quot;<br>"),
            log_file_reply("200 OK", dir.file("marked.log")));
  EXPECT_EQ(log_file_reply("200 OK", dir.file("missing.log")), "");
}

TEST(Reply, HtmlEscapeTouchesOnlyTheFourCharacters) {
  EXPECT_EQ(html_escape("<a href=\"x\">&amp;</a>'\xe9"),
            "&lt;a href=&quot;x&quot;&gt;&amp;amp;&lt;/a&gt;'\xe9");
  EXPECT_EQ(html_escape(""), "");
}

}  // namespace
