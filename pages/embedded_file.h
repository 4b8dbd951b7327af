// Files built into the binary (web/players/*, turned into a source file by
// pages/embed_files.cmake at build time), served by pages/player_web.h.
#pragma once

#include <cstddef>
#include <string_view>

struct embedded_file {
  std::string_view name;   // the file's name in its folder: "app.js"
  std::string_view bytes;  // its content, byte for byte
};

extern const embedded_file embedded_web_files[];
extern const size_t embedded_web_file_count;
