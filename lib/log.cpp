#include "lib/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include "lib/file_io.h"
#include "lib/mutex.h"

namespace {

// Tags are padded to this width so the messages line up.
constexpr size_t tag_width = 10;

struct log_state {
  annotated_mutex lock;
  std::string file_name GUARDED_BY(lock) = "thelog.log";
  bool echo GUARDED_BY(lock) = false;
  // The log file kept open for appending, with the file name it was opened by and the file it
  // is; replaced when the name no longer leads to that file.
  std::shared_ptr<const unique_fd> file GUARDED_BY(lock);
  std::string open_name GUARDED_BY(lock);
  dev_t device GUARDED_BY(lock) = 0;
  ino_t inode GUARDED_BY(lock) = 0;
};

// Never destroyed: threads may still log while the process exits.
log_state& state() {
  static log_state* s = new log_state;
  return *s;
}

std::string timestamp() {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d-%H:%M:%S", &local);
  return text;
}

// The line without its line end; an empty tag leaves the message alone. A CR or LF in either
// (a name or query a client sent) becomes a blank: it would otherwise end the line there and
// start a forged one.
std::string format_line(std::string_view tag, std::string_view message) {
  std::string line;
  if (!tag.empty()) {
    line = timestamp();
    line += ":[";
    line += pad_right(tag, tag_width);
    line += "]:";
  }
  line += message;
  if (line.find_first_of("\r\n") != std::string::npos) {
    for (char& c : line) {
      if (c == '\r' || c == '\n') c = ' ';
    }
  }
  return line;
}

// A descriptor appending to the file `name` leads to now, creating it when missing. A moved,
// deleted or replaced log is noticed at the next line, as when the file was opened for every
// line, at the cost of one stat() instead of an open() and a close().
std::shared_ptr<const unique_fd> log_descriptor(log_state& s, const std::string& name) {
  struct stat now {};
  const bool exists = ::stat(name.c_str(), &now) == 0;
  mutex_lock guard(s.lock);
  if (s.file && exists && s.open_name == name && now.st_dev == s.device && now.st_ino == s.inode) {
    return s.file;
  }
  s.file = nullptr;
  auto fd = std::make_shared<unique_fd>(
      ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  struct stat opened {};
  if (fd->fd < 0 || ::fstat(fd->fd, &opened) != 0)
    throw io_error(errno_message("cannot open", name));
  s.file = fd;
  s.open_name = name;
  s.device = opened.st_dev;
  s.inode = opened.st_ino;
  return fd;
}

bool stdout_is_null() {
  struct stat out {};
  struct stat null {};
  return ::fstat(STDOUT_FILENO, &out) == 0 && ::stat("/dev/null", &null) == 0 &&
         S_ISCHR(out.st_mode) && out.st_rdev == null.st_rdev;
}

}  // namespace

void set_log_file(std::string file_name, bool echo) {
  // An echo into /dev/null is a system call a line for nothing (a server started with its
  // console discarded).
  if (echo && stdout_is_null()) echo = false;
  log_state& s = state();
  mutex_lock guard(s.lock);
  s.file_name = std::move(file_name);
  s.echo = echo;
}

std::string log_file_name() {
  log_state& s = state();
  mutex_lock guard(s.lock);
  return s.file_name;
}

void write_log(std::string_view tag, std::string_view message, bool halt) {
  std::string line = format_line(tag, message);
  std::string file_name;
  bool echo = false;
  log_state& s = state();
  {
    mutex_lock guard(s.lock);
    file_name = s.file_name;
    echo = s.echo;
  }
  // No lock is held while writing, so that requests logging at once do not queue: a line is one
  // write to a file open for appending, which the system never interleaves with another, and
  // one call into the console's stream, which that stream's own lock keeps whole.
  if (echo) {
    // The console gets this platform's line end; a console failure is as harmless as a file one.
    std::fwrite((line + "\n").data(), 1, line.size() + 1, stdout);
    std::fflush(stdout);
  }
  try {
    std::shared_ptr<const unique_fd> file = log_descriptor(s, file_name);
    write_all(file->fd, line + "\r\n", file_name);
  } catch (const io_error&) {
    // A lost log line must not take a request or the server down.
  }
  if (halt) {
    std::fflush(stdout);
    // Other threads may hold locks: static destructors could deadlock, so none are run.
    std::_Exit(1);
  }
}

std::string current_exception_text() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

void write_error_cause(std::string_view line, std::string_view context, std::string_view cause,
                       bool halt) {
  write_log("ERR", line);
  std::string why = context.empty() ? std::string(cause) : std::string(context) + ": ";
  if (!context.empty()) why += cause;
  for (char& c : why) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  write_log("ERR", why, halt);
}

std::string pad_right(std::string_view text, size_t width) {
  std::string out(text);
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}
