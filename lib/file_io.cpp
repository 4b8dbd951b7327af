#include "lib/file_io.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <system_error>

namespace {

// Makes each temporary name unique among the threads of this process; the pid separates
// processes sharing a directory.
std::atomic<unsigned long> temp_counter{0};

// Leftover temporaries in the way of a new one: beyond this many, something else is wrong.
constexpr int max_temp_attempts = 100;

// A read buffer for files whose size stat does not tell (pipes, /proc).
constexpr size_t read_chunk_bytes = 64 * 1024;

void throw_errno(std::string_view what, std::string_view path) {
  throw io_error(errno_message(what, path));
}

unique_fd open_or_throw(const std::string& path, int flags, mode_t mode, std::string_view what) {
  int fd = retry_eintr([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) throw_errno(what, path);
  return unique_fd(fd);
}

// Splits "a/b/c" into "a/b" and "c"; a bare name lives in ".".
void split_path(const std::string& path, std::string* dir, std::string* name) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    *dir = ".";
    *name = path;
  } else {
    *dir = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

// split_path for a path that must name a file to write; throws io_error when it names none
// (a trailing slash).
void split_file_path(const std::string& path, std::string* dir, std::string* name) {
  split_path(path, dir, name);
  if (name->empty()) {
    errno = EISDIR;
    throw_errno("cannot write", path);
  }
}

// Creates a new temporary file beside `name` and stores its path in `temp`. A name can be
// taken only by a leftover of a crashed process that had the same pid; the next one is tried.
unique_fd create_temp(const std::string& dir, const std::string& name, std::string* temp) {
  for (int attempt = 1;; ++attempt) {
    *temp = dir + "/." + name + ".tmp." + std::to_string(::getpid()) + "." +
            std::to_string(temp_counter.fetch_add(1));
    int fd = retry_eintr(
        [&] { return ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644); });
    if (fd >= 0) return unique_fd(fd);
    if (errno != EEXIST || attempt == max_temp_attempts) throw_errno("cannot create", *temp);
  }
}

std::string spare_path(const std::string& dir, const std::string& name) {
  return dir + "/." + name + ".spare";
}

// The spare, open for refilling: a new file when it is missing, not a regular file, or linked
// from elsewhere (that link must keep its bytes).
unique_fd open_spare(const std::string& spare) {
  unique_fd fd = open_or_throw(spare, O_WRONLY | O_CREAT | O_NOFOLLOW, 0644, "cannot open");
  struct stat st;
  if (::fstat(fd.fd, &st) != 0) throw_errno("cannot stat", spare);
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
    fd = unique_fd();
    if (::unlink(spare.c_str()) != 0 && errno != ENOENT) throw_errno("cannot remove", spare);
    return open_or_throw(spare, O_WRONLY | O_CREAT | O_EXCL, 0644, "cannot create");
  }
  return fd;
}

// Overwrites the spare from its start and cuts what is left of its old content, then syncs its
// data and size: written over the blocks it has, a text of the same length as the last but one
// costs the sync one data block and no allocation.
void refill_spare(unique_fd fd, std::string_view bytes, const std::string& spare) {
  write_all(fd.fd, bytes, spare);
  if (retry_eintr([&] { return ::ftruncate(fd.fd, static_cast<off_t>(bytes.size())); }) != 0) {
    throw_errno("cannot cut", spare);
  }
  if (retry_eintr([&] { return ::fdatasync(fd.fd); }) != 0) throw_errno("cannot sync", spare);
  if (!fd.close_checked()) throw_errno("cannot close", spare);
}

}  // namespace

std::string errno_message(std::string_view what, std::string_view path) {
  int err = errno;
  std::string text(what);
  text += ' ';
  text += path;
  text += ": ";
  text += std::generic_category().message(err);
  return text;
}

unique_fd::~unique_fd() {
  if (fd >= 0) ::close(fd);
}

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = other.release();
  }
  return *this;
}

int unique_fd::release() noexcept {
  int old = fd;
  fd = -1;
  return old;
}

bool unique_fd::close_checked() noexcept {
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  return ::close(release()) == 0;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool dir_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string read_file(const std::string& path) {
  unique_fd fd = open_or_throw(path, O_RDONLY, 0, "cannot open");
  struct stat st;
  size_t expected = 0;
  if (::fstat(fd.fd, &st) == 0 && S_ISREG(st.st_mode)) expected = static_cast<size_t>(st.st_size);
  std::string bytes;
  // One byte more than the size, so that reaching the end takes no second allocation.
  size_t chunk = expected > 0 ? expected + 1 : read_chunk_bytes;
  for (;;) {
    size_t old_size = bytes.size();
    bytes.resize(old_size + chunk);
    ssize_t n = retry_eintr([&] { return ::read(fd.fd, bytes.data() + old_size, chunk); });
    if (n < 0) throw_errno("cannot read", path);
    bytes.resize(old_size + static_cast<size_t>(n));
    if (n == 0) break;
    // Having read exactly the size, a one-byte read confirms the end: a full chunk here would
    // zero-fill 64 KB for every small file (most of the start-up load's time).
    chunk = bytes.size() == expected ? 1 : read_chunk_bytes;
  }
  return bytes;
}

bool file_holds(const std::string& path, std::string_view bytes) {
  int raw = retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (raw < 0 && errno == ENOENT) return false;
  if (raw < 0) throw_errno("cannot open", path);
  unique_fd fd(raw);
  // One byte more than expected, so that a longer file shows at once; a short read of a
  // regular file is its end.
  std::string found(bytes.size() + 1, '\0');
  size_t have = 0;
  while (have < found.size()) {
    ssize_t n =
        retry_eintr([&] { return ::read(fd.fd, found.data() + have, found.size() - have); });
    if (n < 0) throw_errno("cannot read", path);
    if (n == 0) break;
    have += static_cast<size_t>(n);
    if (have == bytes.size()) break;
  }
  return have == bytes.size() && std::string_view(found.data(), have) == bytes;
}

open_file open_regular_file(const std::string& path) {
  unique_fd fd = open_or_throw(path, O_RDONLY, 0, "cannot open");
  struct stat st;
  if (::fstat(fd.fd, &st) != 0) throw_errno("cannot stat", path);
  if (!S_ISREG(st.st_mode)) throw io_error("not a regular file: " + path);
  return {std::make_shared<const unique_fd>(std::move(fd)), static_cast<size_t>(st.st_size)};
}

std::string read_open_file(const open_file& file) {
  std::string bytes(file.size, '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = retry_eintr([&] {
      return ::pread(file.fd->fd, bytes.data() + done, bytes.size() - done,
                     static_cast<off_t>(done));
    });
    if (n < 0) throw_errno("cannot read", "an open file");
    if (n == 0) throw io_error("file shorter than when opened");
    done += static_cast<size_t>(n);
  }
  return bytes;
}

void make_dirs(const std::string& path) {
  if (path.empty()) return;
  if (dir_exists(path)) return;  // as nearly always: one stat instead of two calls per level
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    std::string part = path.substr(0, pos);
    if (part.empty() || part.back() == '/') continue;  // "//" or a trailing slash
    if (::mkdir(part.c_str(), 0755) == 0) continue;
    // Another thread or process may have just created it; only a directory will do.
    if (errno == EEXIST && dir_exists(part)) continue;
    if (errno == EEXIST) errno = ENOTDIR;
    throw_errno("cannot create directory", part);
  }
}

void write_all(int fd, std::string_view bytes, std::string_view path) {
  while (!bytes.empty()) {
    ssize_t n = retry_eintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n < 0) throw_errno("cannot write", path);
    if (n == 0) {  // no progress and no reason given: do not spin
      errno = EIO;
      throw_errno("cannot write", path);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void sync_dir(const std::string& dir) {
  unique_fd fd = open_or_throw(dir, O_RDONLY | O_DIRECTORY, 0, "cannot open directory");
  // Some file systems cannot sync a directory at all; the rename is then as durable as it gets.
  if (retry_eintr([&] { return ::fsync(fd.fd); }) != 0 && errno != EINVAL) {
    throw_errno("cannot sync directory", dir);
  }
}

void write_file_atomic(const std::string& path, std::string_view bytes) {
  std::string dir, name;
  split_file_path(path, &dir, &name);
  std::string temp;
  unique_fd fd = create_temp(dir, name, &temp);
  try {
    write_all(fd.fd, bytes, temp);
    if (retry_eintr([&] { return ::fsync(fd.fd); }) != 0) throw_errno("cannot sync", temp);
    if (!fd.close_checked()) throw_errno("cannot close", temp);
    if (::rename(temp.c_str(), path.c_str()) != 0) throw_errno("cannot rename over", path);
  } catch (...) {
    remove_file_quiet(temp);
    throw;
  }
  sync_dir(dir);
}

void replace_keeping_spare(const std::string& path, std::string_view bytes) {
  std::string dir, name;
  split_file_path(path, &dir, &name);
  const std::string spare = spare_path(dir, name);
  try {
    // An exchange would also swap in a directory where rename(2) refuses to replace one.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      throw_errno("cannot write", path);
    }
    refill_spare(open_spare(spare), bytes, spare);
    if (::renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) {
      // Nothing to exchange with yet, or a file system that cannot exchange: a plain rename.
      if (errno != ENOENT && errno != EINVAL && errno != ENOSYS) {
        throw_errno("cannot exchange", path);
      }
      if (::rename(spare.c_str(), path.c_str()) != 0) throw_errno("cannot rename over", path);
    }
  } catch (...) {
    // What the spare held is not needed; a full disk gets its blocks back.
    remove_file_quiet(spare);
    throw;
  }
  sync_dir(dir);
}

bool is_leftover_temporary(std::string_view name) {
  return name.starts_with('.') && name.find(".tmp.") != std::string_view::npos;
}

bool is_spare(std::string_view name) {
  return name.size() > 7 && name.starts_with('.') && name.ends_with(".spare");
}

void rename_path(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) throw_errno("cannot rename " + from + " to", to);
}

void link_file_atomic(const std::string& from, const std::string& to) {
  std::string dir, name;
  split_path(to, &dir, &name);
  // A link cannot replace a name, so it is made under a temporary name and renamed over.
  for (int attempt = 1;; ++attempt) {
    std::string temp = dir + "/." + name + ".tmp." + std::to_string(::getpid()) + "." +
                       std::to_string(temp_counter.fetch_add(1));
    if (::link(from.c_str(), temp.c_str()) == 0) {
      if (::rename(temp.c_str(), to.c_str()) != 0) {
        int err = errno;
        remove_file_quiet(temp);
        errno = err;
        throw_errno("cannot rename over", to);
      }
      // When `to` already was a link of `from`, rename(2) did nothing and left `temp` in place.
      remove_file_quiet(temp);
      return;
    }
    if (errno != EEXIST || attempt == max_temp_attempts)
      throw_errno("cannot link " + from + " to", to);
  }
}

void drop_from_cache(const std::string& path) {
  int fd = retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return;
  unique_fd file(fd);
  ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_DONTNEED);
}

void remove_file_quiet(const std::string& path) {
  ::unlink(path.c_str());
}
