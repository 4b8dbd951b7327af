#include "lib/log.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include "lib/file_io.h"
#include "lib/mutex.h"

namespace {

// Tags are padded to this width so the messages line up.
constexpr size_t tag_width = 10;

struct log_state {
  annotated_mutex lock;
  std::string file_name GUARDED_BY(lock) = "thelog.log";
  bool echo GUARDED_BY(lock) = false;
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

// The line without its line end; an empty tag leaves the message alone.
std::string format_line(std::string_view tag, std::string_view message) {
  if (tag.empty()) return std::string(message);
  std::string line = timestamp();
  line += ":[";
  line += pad_right(tag, tag_width);
  line += "]:";
  line += message;
  return line;
}

}  // namespace

void set_log_file(std::string file_name, bool echo) {
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
  log_state& s = state();
  mutex_lock guard(s.lock);
  if (s.echo) {
    // The console gets this platform's line end; a console failure is as harmless as a file one.
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  try {
    append_file(s.file_name, line + "\r\n");
  } catch (const io_error&) {
    // A lost log line must not take a request or the server down.
  }
  if (halt) {
    std::fflush(stdout);
    // Other threads may hold locks: static destructors could deadlock, so none are run.
    std::_Exit(0);
  }
}

std::string pad_right(std::string_view text, size_t width) {
  std::string out(text);
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}
