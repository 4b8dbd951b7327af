#include "pages/player_web.h"

#include <map>
#include <vector>

#include "net/reply.h"
#include "pages/embedded_file.h"

namespace {

constexpr std::string_view page_path = "/games";
constexpr std::string_view page_file = "index.html";
// An asset whose "?v=" names its current bytes can be kept for good: new bytes get a new tag.
constexpr std::string_view immutable = "Cache-Control: public, max-age=31536000, immutable";
constexpr std::string_view revalidate = "Cache-Control: no-cache";
// The page loads only its own files and talks only to its own origin; a game's name that got
// past the page's text-only insertion still could not run a script.
constexpr std::string_view page_policy =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self' data:; connect-src 'self'; base-uri 'none'; form-action 'self'; "
    "frame-ancestors 'none'";

struct web_file {
  std::string content_type;
  std::string bytes;
  std::string tag;  // the hash of `bytes`, 16 hex digits
};

// FNV-1a: the same bytes always get the same tag, across restarts too.
std::string hash_of(std::string_view bytes) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char ch : bytes) {
    h ^= ch;
    h *= 1099511628211ull;
  }
  static const char hex[] = "0123456789abcdef";
  std::string tag;
  for (int shift = 60; shift >= 0; shift -= 4) tag.push_back(hex[(h >> shift) & 15]);
  return tag;
}

std::string type_of(std::string_view name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  return "application/octet-stream";
}

// The files by name, the page's "@<name>@" marks replaced by the tags of the assets they name.
std::map<std::string, web_file, std::less<>> build_files() {
  std::map<std::string, web_file, std::less<>> files;
  for (size_t i = 0; i < embedded_web_file_count; ++i) {
    const embedded_file& f = embedded_web_files[i];
    files[std::string(f.name)] = {type_of(f.name), std::string(f.bytes), hash_of(f.bytes)};
  }
  web_file& page = files[std::string(page_file)];
  for (const auto& [name, file] : files) {
    const std::string mark = "@" + name + "@";
    for (size_t at = page.bytes.find(mark); at != std::string::npos;
         at = page.bytes.find(mark, at)) {
      page.bytes.replace(at, mark.size(), file.tag);
    }
  }
  page.tag = hash_of(page.bytes);
  return files;
}

const std::map<std::string, web_file, std::less<>>& files() {
  static const auto* built = new std::map<std::string, web_file, std::less<>>(build_files());
  return *built;
}

// True when the If-None-Match value names `etag` (weak or strong) or is "*".
bool etag_matches(std::string_view if_none_match, std::string_view etag) {
  while (!if_none_match.empty()) {
    size_t comma = if_none_match.find(',');
    std::string_view item = if_none_match.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (item.starts_with("W/")) item.remove_prefix(2);
    if (item == etag || item == "*") return true;
    if (comma == std::string_view::npos) break;
    if_none_match.remove_prefix(comma + 1);
  }
  return false;
}

// The value of `name` in the query `query` ("a=1&v=x"), "" when absent.
std::string_view query_value(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    if (pair.starts_with(name) && pair.size() > name.size() && pair[name.size()] == '=') {
      return pair.substr(name.size() + 1);
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return {};
}

web_reply file_reply(const web_file& file, bool is_page, bool versioned,
                     std::string_view if_none_match) {
  const std::string etag = "\"" + file.tag + "\"";
  std::vector<std::string> headers = {"ETag: " + etag,
                                      std::string(versioned ? immutable : revalidate),
                                      "X-Content-Type-Options: nosniff"};
  if (is_page) headers.emplace_back(page_policy);
  if (!if_none_match.empty() && etag_matches(if_none_match, etag)) {
    std::string head = "HTTP/1.0 304 Not Modified\r\n";
    for (const std::string& h : headers) head += h + "\r\n";
    return {true, outcome_kind::not_modified, head + "Connection: close\r\n\r\n"};
  }
  return {true, outcome_kind::ok, typed_reply("200 OK", file.content_type, headers, file.bytes)};
}

}  // namespace

web_reply serve_player_web(std::string_view target, std::string_view if_none_match) {
  const size_t question = target.find('?');
  const std::string_view path = target.substr(0, question);
  const std::string_view query =
      question == std::string_view::npos ? std::string_view{} : target.substr(question + 1);
  if (path == page_path) {
    return file_reply(files().find(page_file)->second, true, false, if_none_match);
  }
  if (!path.starts_with(page_path) || path[page_path.size()] != '/') return {};
  const std::string_view name = path.substr(page_path.size() + 1);
  auto it = files().find(name);
  if (name == page_file || it == files().end()) return {};
  return file_reply(it->second, false, query_value(query, "v") == it->second.tag, if_none_match);
}
