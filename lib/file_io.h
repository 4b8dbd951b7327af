// Whole-file reads and the writers every file of the server goes through.
#pragma once

#include <errno.h>

#include <memory>
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

// Calls `call` again while it fails with EINTR (the one place EINTR is retried). `call` returns
// -1 and sets errno on failure, like the system calls it wraps.
template <class Call>
auto retry_eintr(Call call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// Owns a file descriptor and closes it at the end of its scope (-1 holds nothing).
struct unique_fd {
  unique_fd() = default;
  explicit unique_fd(int fd) : fd(fd) {}
  ~unique_fd();
  unique_fd(unique_fd&& other) noexcept : fd(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept;
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  int release() noexcept;  // gives up ownership, returns the descriptor
  // Closes now and reports the result (a delayed write error can show up only here).
  // Returns false with errno set on failure; the descriptor is released either way.
  bool close_checked() noexcept;

  int fd = -1;
};

bool file_exists(const std::string& path);  // a regular file (or anything not a directory)
bool dir_exists(const std::string& path);

// Reads the whole file. Throws io_error when it cannot be opened or read.
std::string read_file(const std::string& path);

// True when `path` is a file holding exactly `bytes`; false when it does not exist or holds
// anything else. Throws io_error when it exists but cannot be opened or read (a directory
// included). Cheaper than read_file() for the small files a move compares before rewriting.
bool file_holds(const std::string& path, std::string_view bytes);

// A regular file opened for reading, shared by whoever sends it, with its size when opened.
// Files written by write_file_atomic are replaced by renaming, never rewritten in place, so the
// bytes behind an open descriptor stay those of the moment it was opened (replace_keeping_spare
// gives no such promise).
struct open_file {
  std::shared_ptr<const unique_fd> fd;  // null: no file
  size_t size = 0;
};

// Opens `path` for reading. Throws io_error when it cannot be opened or is not a regular file.
open_file open_regular_file(const std::string& path);

// The `size` bytes of `file` from its start. Throws io_error when they cannot all be read.
std::string read_open_file(const open_file& file);

// Creates the directory and its missing parents. Throws io_error on failure (also when a part
// of the path exists but is not a directory).
void make_dirs(const std::string& path);

// Makes the entries of `dir` (a file renamed into it, a directory made in it) survive a crash.
// A file system that cannot sync a directory is accepted. Throws io_error.
void sync_dir(const std::string& dir);

// Writes `bytes` durably and atomically: a temporary file in the same directory
// (".<name>.tmp.<pid>.<n>") is written, flushed to disk, renamed over `path`, and the directory
// is synced. On any failure it throws io_error, leaves the old content of `path` (or its
// absence) as it was and removes the temporary file. Every file the server writes goes through
// here or through replace_keeping_spare. Concurrent writers of one path each leave a complete
// version; the last rename wins. A failure to sync the directory after the rename is reported as
// io_error too, although the new content is then already in place (a file system that cannot sync
// directories is accepted).
void write_file_atomic(const std::string& path, std::string_view bytes);

// Does what write_file_atomic does, but the file `path` held is kept as its spare
// (".<name>.spare") instead of being deleted, and the next call fills that spare again and
// exchanges it with `path` (renameat2 RENAME_EXCHANGE). A file rewritten on every move then costs
// no inode freed and allocated each time: ext4 skips every inode freed in the last minute or more
// when it allocates one, so that churn grows with the rate of writes. A spare that has other links
// (an aside or snapshot link) is never refilled: a new one is made. On a file system without the
// exchange the old file is replaced as write_file_atomic does. Throws io_error and leaves `path`
// as it was when the new content is not in place.
// REQUIRES: the caller serialises every writer of `path`, and nobody reads `path` through a
// descriptor held across two of its writes (the spare such a reader holds is rewritten).
void replace_keeping_spare(const std::string& path, std::string_view bytes);

// True for the names the writers above leave beside a file: a temporary of a write that was cut
// short (".<name>.tmp.<pid>.<n>") or a spare (".<name>.spare"). The server never reads them, and
// copies of a game leave them out.
bool is_leftover_temporary(std::string_view name);
bool is_spare(std::string_view name);

// Writes all of `bytes` to `fd`, going on after short writes. Throws io_error naming `path`.
void write_all(int fd, std::string_view bytes, std::string_view path);

// rename(2); throws io_error naming both paths.
void rename_path(const std::string& from, const std::string& to);

// Makes `to` a hard link of `from` (same file system), replacing whatever `to` was in one step.
// Not synced: the caller syncs the directory of `to`. Throws io_error.
void link_file_atomic(const std::string& from, const std::string& to);

// Tells the kernel the file's cached pages will not be read again soon, so that it gives them
// back now (posix_fadvise POSIX_FADV_DONTNEED): new pages cost far more than reused ones, ten
// times more in a virtual machine. Only clean pages go; failures are ignored.
void drop_from_cache(const std::string& path);

// Removes a file if it exists; errors are ignored (used to undo a half-finished operation).
void remove_file_quiet(const std::string& path);
