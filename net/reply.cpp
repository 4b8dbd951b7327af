#include "net/reply.h"

#include "lib/file_io.h"

namespace {

void append_head(std::string_view status, std::string_view content_type,
                 const std::vector<std::string>& extra_headers, size_t body_size,
                 std::string* out) {
  out->append("HTTP/1.0 ").append(status);
  out->append("\r\nContent-Length: ").append(std::to_string(body_size));
  out->append("\r\nContent-Type: ").append(content_type);
  for (const std::string& h : extra_headers) out->append("\r\n").append(h);
  out->append("\r\nConnection: close\r\n\r\n");
}

}  // namespace

std::string reply_head(std::string_view status, std::string_view content_type, size_t body_size) {
  std::string out;
  append_head(status, content_type, {}, body_size, &out);
  return out;
}

std::string typed_reply(std::string_view status, std::string_view content_type,
                        const std::vector<std::string>& extra_headers, std::string_view body) {
  std::string out;
  size_t header_bytes = 96 + content_type.size();
  for (const std::string& h : extra_headers) header_bytes += h.size() + 2;
  out.reserve(header_bytes + body.size());
  append_head(status, content_type, extra_headers, body.size(), &out);
  out.append(body);
  return out;
}

std::string html_reply_utf8(std::string_view status, std::string_view body) {
  return typed_reply(status, html_type_utf8, {}, body);
}

std::string html_reply(std::string_view status, std::string_view body) {
  return typed_reply(status, html_type, {}, body);
}

std::string download_reply(std::string_view status, std::string_view announce_name,
                           std::string_view content) {
  return download_head(status, announce_name, content.size()).append(content);
}

std::string download_head(std::string_view status, std::string_view announce_name,
                          size_t content_size) {
  std::string out;
  append_head(status, "application/octet-stream",
              {"Content-Disposition: attachment; filename=\"" + std::string(announce_name) + "\""},
              content_size, &out);
  return out;
}

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string log_file_reply(std::string_view status, const std::string& path) {
  if (!file_exists(path)) return "";
  std::string content = read_file(path);
  std::string body;
  body.reserve(content.size() + content.size() / 8);
  for (char c : html_escape(content)) {
    if (c == '\n') {
      body += "<br>";
    } else if (c != '\r') {
      body += c;
    }
  }
  return html_reply(status, body);
}

std::string reply_head(std::string reply) {
  const size_t end = reply.find("\r\n\r\n");
  if (end != std::string::npos) reply.resize(end + 4);
  return reply;
}
