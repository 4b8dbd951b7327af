// Whole-file reads and the one writer every file of the server goes through.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

// An I/O failure: a file that exists but cannot be read, a write that did not reach the disk.
// The message names the path and the system's reason.
struct io_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Turns the current errno into "<what> <path>: <strerror>" (the one place errno becomes text).
std::string errno_message(std::string_view what, std::string_view path);

bool file_exists(const std::string& path);  // a regular file (or anything not a directory)
bool dir_exists(const std::string& path);

// Reads the whole file. Throws io_error when it cannot be opened or read.
std::string read_file(const std::string& path);

// Creates the directory and its missing parents. Throws io_error on failure.
void make_dirs(const std::string& path);

// Writes `bytes` durably and atomically: a temporary file in the same directory is written,
// flushed to disk, renamed over `path`, and the directory is synced. On any failure it throws
// io_error, leaves the old content of `path` (or its absence) as it was and removes the
// temporary file. Every file the server writes goes through here.
void write_file_atomic(const std::string& path, std::string_view bytes);

// Removes a file if it exists; errors are ignored (used to undo a half-finished operation).
void remove_file_quiet(const std::string& path);
