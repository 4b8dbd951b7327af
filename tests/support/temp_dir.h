// A fresh directory for one test, removed with everything in it at the end of the scope.
#pragma once

#include <string>

struct temp_dir {
  temp_dir();   // creates /tmp/zts-test-XXXXXX
  ~temp_dir();  // removes it recursively
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

// Changes the working directory for a scope (the server keeps all state relative to it) and
// changes back at the end.
struct scoped_cwd {
  explicit scoped_cwd(const std::string& dir);
  ~scoped_cwd();
  scoped_cwd(const scoped_cwd&) = delete;
  scoped_cwd& operator=(const scoped_cwd&) = delete;

  std::string previous;
};

// Writes a whole file directly (test set-up, not the server's writer).
void write_test_file(const std::string& path, const std::string& bytes);
