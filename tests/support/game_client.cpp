#include "tests/support/game_client.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "db/layout.h"
#include "lib/file_io.h"

namespace {

const std::string form_head =
    "\r\n--------zts\r\nContent-Disposition: form-data; name=\"file\"; filename=\"game.zts\"\r\n"
    "Content-Type: application/octet-stream\r\n\r\n";
const std::string form_tail = "\r\n--------zts--\r\n";

}  // namespace

std::string upload_request(std::string_view target, std::string_view save) {
  const size_t body_size = form_head.size() + save.size() + form_tail.size();
  std::string request = "POST ";
  request += target;
  request += " HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=------zts\r\n";
  request += "Content-Length: " + std::to_string(body_size) + "\r\n\r\n";
  // Load generators send large saves many times a second: one copy of the save, not four.
  request.reserve(request.size() + body_size);
  request += form_head;
  request += save;
  request += form_tail;
  return request;
}

http_reply post_save(uint16_t port, int op, std::string_view save, const client_options& options) {
  return http_exchange(port, upload_request("/gameserver_v2.php?op=" + std::to_string(op), save),
                       options);
}

http_reply game_get(uint16_t port, std::string_view query, const client_options& options) {
  return http_get(port, "/gameserver_v2.php" + std::string(query), options);
}

std::map<std::string, std::string> read_tree(const std::string& dir) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> files;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || is_spare(name) || name == dir_lock_file) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    files[fs::relative(entry.path(), dir).string()] = bytes.str();
  }
  return files;
}
