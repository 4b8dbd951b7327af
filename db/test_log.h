// Test helper: the messages of the event log, to check the exact lines a module writes.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "lib/file_io.h"

// "TAG:message" for every line of the log file (the tag without its padding); empty when the
// file does not exist.
inline std::vector<std::string> log_messages(const std::string& path) {
  std::vector<std::string> out;
  if (!std::filesystem::exists(path)) return out;
  std::string text = read_file(path);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 2;
    size_t open = line.find(":[");
    size_t close = line.find("]:", open);
    if (open == std::string::npos || close == std::string::npos) continue;
    std::string tag = line.substr(open + 2, close - open - 2);
    tag.erase(tag.find_last_not_of(' ') + 1);
    out.push_back(tag + ":" + line.substr(close + 2));
  }
  return out;
}
