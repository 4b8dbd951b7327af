// The two questions every operator tool answers before it touches anything (no file, directory
// or socket): --help, its usage text on stdout, and --version, "<program> <version>".
#pragma once

#include <cstdio>
#include <string_view>

// When any argument is --help, -h or --version: prints the answer on stdout and returns true
// (the caller exits with status 0). Returns false otherwise, having printed nothing.
inline bool answer_help_or_version(int argc, char** argv, const char* program, const char* usage) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      return true;
    }
    if (arg == "--version") {
      std::printf("%s %s\n", program, ZTS_VERSION);
      return true;
    }
  }
  return false;
}
