#include "net/request.h"

#include <poll.h>

#include <algorithm>

#include "lib/conv.h"
#include "lib/metrics.h"
#include "net/socket.h"

namespace {

// The most an upload's declared length reserves ahead of its bytes: saves are a few hundred KB.
constexpr size_t upload_reserve_bytes = 1024 * 1024;

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// Case-insensitive (ASCII) prefix test; a blank in the prefix also matches a TAB, so that a
// request line separated by TABs is read like one separated by spaces.
bool has_prefix(std::string_view line, std::string_view prefix) {
  if (line.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = ascii_lower(line[i]);
    if (c != prefix[i] && !(prefix[i] == ' ' && c == '\t')) return false;
  }
  return true;
}

// The text from `from` up to the first blank; empty when no blank follows.
std::string target_at(std::string_view line, size_t from) {
  std::string_view rest = line.substr(from);
  auto end = std::find_if(rest.begin(), rest.end(), is_blank);
  if (end == rest.end()) return "";
  return std::string(rest.begin(), end);
}

// Searches like a C string would: only the part before the first zero byte is searched.
size_t text_find(std::string_view hay, std::string_view needle) {
  return hay.substr(0, hay.find('\0')).find(needle);
}

// Receives into *buffer until `done` says enough has arrived, the peer closes or `deadline`
// passes. Stops early when the buffer grows past `limit` bytes. Reads before waiting: the caller
// normally knows bytes are there, and a short request then costs no wait at all.
template <typename Done>
void receive_until(int fd, std::string* buffer, steady_time deadline, size_t limit, Done done) {
  while (!done(*buffer) && buffer->size() <= limit) {
    recv_result got = sock_recv_some(fd, buffer, recv_chunk_bytes);
    if (got == recv_result::closed) return;
    if (got == recv_result::nothing_yet &&
        wait_fd(fd, POLLIN, -1, deadline) != wait_result::ready) {
      return;
    }
  }
}

}  // namespace

request_head parse_request_head(std::string_view bytes) {
  request_head head;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t cr = bytes.find('\r', pos);
    std::string_view line = bytes.substr(pos, cr == std::string_view::npos ? cr : cr - pos);
    size_t next = cr == std::string_view::npos ? bytes.size() : cr + 2;
    pos = next;
    if (has_prefix(line, "get ")) {
      head.ok = true;
      head.head_only = false;
      head.path = target_at(line, 4);
    }
    if (has_prefix(line, "post ")) {
      head.ok = true;
      head.head_only = false;
      head.path = target_at(line, 5);
    }
    if (has_prefix(line, "head ")) {
      head.ok = true;
      head.head_only = true;
      head.path = target_at(line, 5);
    }
    if (has_prefix(line, "content-length: ")) head.content_length = str_to_int(line.substr(16));
    if (has_prefix(line, "if-none-match:")) head.if_none_match = std::string(trim(line.substr(14)));
    if (has_prefix(line, "x-forwarded-for:")) {
      if (!head.forwarded_for.empty()) head.forwarded_for += ", ";
      head.forwarded_for += trim(line.substr(16));
    }
    if (!trim(line).empty()) continue;
    head.headers_ended = true;
    head.end_complete = cr != std::string_view::npos && next <= bytes.size();
    head.body_start = std::min(next, bytes.size());
    break;
  }
  return head;
}

bool request_head_complete(std::string_view bytes) {
  return parse_request_head(bytes).end_complete || bytes.find("\n\n") != std::string_view::npos;
}

bool cut_upload(std::string_view after_head, int32_t content_length, std::string* save) {
  save->clear();
  std::string_view body;
  if (content_length > 0 && after_head.size() > 2) {
    body = after_head.substr(2, static_cast<size_t>(content_length));
  }
  size_t start = text_find(body, "ZTNX");
  if (start == std::string_view::npos) return false;
  body.remove_prefix(start);
  size_t dashes = text_find(body, "--------");
  if (dashes != std::string_view::npos) body = body.substr(0, dashes - 2);
  size_t gap = text_find(body, "\r\n\r\n");
  if (gap != std::string_view::npos) body.remove_prefix(gap + 4);
  if (body.size() >= 2 && body.substr(body.size() - 2) == "\r\n") body.remove_suffix(2);
  save->assign(body);
  return true;
}

bool parse_request(std::string_view bytes, request_rec* out) {
  request_head head = parse_request_head(bytes);
  out->path = head.path;
  out->if_none_match = head.if_none_match;
  out->forwarded_for = head.forwarded_for;
  out->head_only = head.head_only;
  out->body.clear();
  if (!head.ok) return false;
  if (!head.headers_ended || head.content_length == 0) return true;
  std::string_view after = bytes.substr(head.body_start);
  if (head.content_length > 0 && after.size() < static_cast<size_t>(head.content_length)) {
    return false;
  }
  return cut_upload(after, head.content_length, &out->body);
}

size_t request_bytes_wanted(std::string_view bytes) {
  if (!request_head_complete(bytes)) return 0;
  request_head head = parse_request_head(bytes);
  size_t head_size = head.headers_ended ? head.body_start : bytes.size();
  if (head_size > max_header_bytes || head.content_length > max_body_bytes || !head.ok ||
      !head.headers_ended || head.content_length <= 0) {
    return bytes.size();
  }
  return head.body_start + static_cast<size_t>(head.content_length);
}

bool finish_request(std::string_view bytes, request_rec* out) {
  request_head head = parse_request_head(bytes);
  size_t head_size = head.headers_ended ? head.body_start : bytes.size();
  if (head_size > max_header_bytes || head.content_length > max_body_bytes) return false;
  return head.ok && parse_request(bytes, out);
}

bool read_request(int fd, request_rec* out, int timeout_ms, std::string received) {
  std::string buffer = std::move(received);
  struct count_received {
    const std::string& bytes;
    ~count_received() { count_bytes_received(bytes.size()); }
  } counted{buffer};
  receive_until(fd, &buffer, deadline_after_ms(timeout_ms), max_header_bytes,
                request_head_complete);
  size_t wanted = request_bytes_wanted(buffer);
  if (wanted > buffer.size()) {
    // An upload arrives into one allocation instead of a doubling series of copies; what a
    // request only claims to send is not reserved beyond the usual save size.
    buffer.reserve(std::min(wanted, upload_reserve_bytes));
    receive_until(fd, &buffer, deadline_after_ms(timeout_ms), wanted,
                  [wanted](const std::string& b) { return b.size() >= wanted; });
  }
  return finish_request(buffer, out);
}
