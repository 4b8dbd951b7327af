// Reading one HTTP request. The layout this server understands:
//
//   GET|POST|HEAD <target> <version> CR LF  method in any case; blanks are spaces or TABs
//   Content-Length: <n> CR LF            "Content-Length:" + one blank
//   If-None-Match: <etag> CR LF          the JSON API's pollers; blanks around the value dropped
//   X-Forwarded-For: <addresses> CR LF   kept as text; several such lines are joined by ", "
//   ... CR LF                            every line is tested for every prefix, so a later
//                                        method line or Content-Length overrides an earlier one
//   CR LF                                a line of nothing but blanks/controls ends the headers
//   <n bytes of body>                    a form upload wrapping one save file
//
// A line ends at a CR and the byte after the CR is skipped whatever it is: a request written
// with bare LFs is one long line whose method and target are still found at its start.
// The other headers are skipped. From the body the save is cut out: its first two bytes (the CR LF
// before a form boundary) are skipped, the save starts at the first "ZTNX", ends two bytes before
// the first run of eight dashes (the closing boundary and the line end before it), loses everything
// up to a CR LF CR LF inside it, and loses one trailing CR LF. These searches stop at the first
// zero byte. No percent-decoding and no character decoding is applied to anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The largest request head accepted; a real client sends a few hundred bytes.
inline constexpr size_t max_header_bytes = 64 * 1024;
// The largest body accepted; saves are well under a megabyte, this bounds one connection's
// memory.
inline constexpr int32_t max_body_bytes = 64 * 1024 * 1024;
// How long a client may take to send its head, and then its body.
inline constexpr int request_timeout_ms = 60 * 1000;
// Bytes asked for per receive call.
inline constexpr size_t recv_chunk_bytes = 64000;

struct request_rec {
  std::string path;           // the raw target, query string included ("/gameserver_v2.php?op=27")
  std::string body;           // the save cut out of the body; empty without a body
  std::string if_none_match;  // value of the last If-None-Match header; "" without one
  std::string forwarded_for;  // the X-Forwarded-For lines' values, joined by ", "
  bool head_only = false;     // a HEAD request: the reply's head alone is wanted
};

// What the header lines of `bytes` say, as far as they go.
struct request_head {
  bool ok = false;             // a GET, POST or HEAD line was seen
  bool head_only = false;      // ...and the last one was HEAD
  std::string path;            // target of the last such line
  int32_t content_length = 0;  // value of the last Content-Length header
  std::string if_none_match;   // value of the last If-None-Match header
  std::string forwarded_for;   // values of the X-Forwarded-For headers, joined by ", "
  bool headers_ended = false;  // a blank line was met
  bool end_complete = false;   // ...and it ended in a CR whose following byte has arrived
  size_t body_start = 0;       // offset just past the blank line (when headers_ended)
};

// Reads the header lines of `bytes`. Never fails.
request_head parse_request_head(std::string_view bytes);

// True when `bytes` hold the whole head: a complete blank line, or a bare "\n\n".
bool request_head_complete(std::string_view bytes);

// Cuts the save out of the bytes that follow the blank line. False (and an empty *save) when
// no "ZTNX" is found.
bool cut_upload(std::string_view after_head, int32_t content_length, std::string* save);

// Parses a request whose bytes have all arrived. False when there is no method line, the body
// is shorter than its Content-Length, or the body holds no save. Never throws on any input.
bool parse_request(std::string_view bytes, request_rec* out);

// How many bytes the request starting `bytes` takes: 0 while its head is incomplete, then the
// head and its announced body. No more than bytes.size() when nothing more is to be read: no
// body, or a head or announced body over its limit (finish_request refuses those).
size_t request_bytes_wanted(std::string_view bytes);

// Parses the request in `bytes` once reading has ended (complete, or cut off by a close or a
// time-out). False, as for parse_request, and also for a head over max_header_bytes or a
// Content-Length over max_body_bytes.
bool finish_request(std::string_view bytes, request_rec* out);

// Reads one request from the connection `fd`: reads on until the head is complete (or the
// client closes, or request_timeout_ms pass), then, when a body is announced, until all of it
// has arrived (within another request_timeout_ms), and parses it with parse_request.
// False means: send no reply, close. Also false for a head over max_header_bytes or a
// Content-Length over max_body_bytes, before any body is read. `timeout_ms` replaces
// request_timeout_ms (tests). `received`: the bytes of the request read from `fd` already.
bool read_request(int fd, request_rec* out, int timeout_ms = request_timeout_ms,
                  std::string received = {});
