#include "net/reply.h"

#include "lib/file_io.h"

namespace {

std::string text_reply(std::string_view status, std::string_view content_type,
                       std::string_view body) {
  std::string out;
  out.reserve(96 + body.size());
  out.append("HTTP/1.0 ").append(status);
  out.append("\r\nContent-Length: ").append(std::to_string(body.size()));
  out.append("\r\nContent-Type: ").append(content_type);
  out.append("\r\nConnection: close\r\n\r\n").append(body);
  return out;
}

}  // namespace

std::string typed_reply(std::string_view status, std::string_view content_type,
                        const std::vector<std::string>& extra_headers, std::string_view body) {
  std::string out;
  size_t header_bytes = 96 + content_type.size();
  for (const std::string& h : extra_headers) header_bytes += h.size() + 2;
  out.reserve(header_bytes + body.size());
  out.append("HTTP/1.0 ").append(status);
  out.append("\r\nContent-Length: ").append(std::to_string(body.size()));
  out.append("\r\nContent-Type: ").append(content_type);
  for (const std::string& h : extra_headers) out.append("\r\n").append(h);
  out.append("\r\nConnection: close\r\n\r\n").append(body);
  return out;
}

std::string html_reply_utf8(std::string_view status, std::string_view body) {
  return text_reply(status, "text/html; charset=utf-8", body);
}

std::string html_reply(std::string_view status, std::string_view body) {
  return text_reply(status, "text/html", body);
}

std::string download_reply(std::string_view status, std::string_view announce_name,
                           std::string_view content) {
  std::string out;
  out.reserve(200 + announce_name.size() + content.size());
  out.append("HTTP/1.0 ").append(status);
  out.append("\r\nContent-Length: ").append(std::to_string(content.size()));
  out.append("\r\nContent-Type: application/octet-stream");
  out.append("\r\nContent-Disposition: attachment; filename=\"").append(announce_name);
  out.append("\"\r\nConnection: close\r\n\r\n").append(content);
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
