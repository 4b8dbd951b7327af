#include "tests/support/temp_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

temp_dir::temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zts-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

scoped_cwd::scoped_cwd(const std::string& dir) {
  previous = std::filesystem::current_path().string();
  std::filesystem::current_path(dir);
}

scoped_cwd::~scoped_cwd() {
  std::error_code ec;
  std::filesystem::current_path(previous, ec);
}

void write_test_file(const std::string& path, const std::string& bytes) {
  auto parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}
