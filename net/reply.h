// HTTP/1.0 replies, built whole in memory as byte strings and sent by the loop or worker that
// serves the connection.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The head of a reply of `body_size` bytes: "HTTP/1.0 <status>", Content-Length, Content-Type
// `content_type`, "Connection: close", blank line. The replies below all begin with it.
std::string reply_head(std::string_view status, std::string_view content_type, size_t body_size);

// The content types of the HTML replies below, for heads of replies sent in pieces.
constexpr std::string_view html_type = "text/html";
constexpr std::string_view html_type_utf8 = "text/html; charset=utf-8";

// "HTTP/1.0 <status>", Content-Length, "Content-Type: text/html; charset=utf-8",
// "Connection: close", blank line, body.
std::string html_reply_utf8(std::string_view status, std::string_view body);

// The same with "Content-Type: text/html" (no charset).
std::string html_reply(std::string_view status, std::string_view body);

// "HTTP/1.0 <status>", Content-Length, Content-Type `content_type`, every line of
// `extra_headers` ("Name: value", no line end), "Connection: close", blank line, body.
std::string typed_reply(std::string_view status, std::string_view content_type,
                        const std::vector<std::string>& extra_headers, std::string_view body);

// A download of `content`, announced as `announce_name` (application/octet-stream,
// Content-Disposition: attachment).
std::string download_reply(std::string_view status, std::string_view announce_name,
                           std::string_view content);

// The head of that reply for content of `content_size` bytes.
std::string download_head(std::string_view status, std::string_view announce_name,
                          size_t content_size);

// The text file at `path` as an HTML page (LF -> "<br>", CR dropped, & < > " escaped).
// Empty when the file does not exist; throws io_error when it exists but cannot be read.
std::string log_file_reply(std::string_view status, const std::string& path);

// `text` with & < > " written as entities; every other byte unchanged.
std::string html_escape(std::string_view text);

// The head of a whole reply (through its blank line), for a HEAD request: the same lines,
// Content-Length included, without the body.
std::string reply_head(std::string reply);
