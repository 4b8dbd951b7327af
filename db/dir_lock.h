// One server per data directory: a running server holds an exclusive flock(2) on
// <root>/.zts.lock for its whole life. The kernel drops the lock when the process dies however it
// dies, so a stale file never blocks a restart; the pid written into it is for people reading it
// (and for the refusal's message), never for deciding anything.
#pragma once

#include <string>

#include "lib/file_io.h"

struct dir_lock {
  unique_fd fd;  // open (close-on-exec) and locked while held; -1 when the lock was refused
  std::string path;
};

// Creates `root` if needed, then takes the lock on root/.zts.lock without waiting and writes the
// calling process's id into the file. On success returns a held lock and leaves *refusal empty.
// When another process holds it, returns an empty lock and sets *refusal to one line naming the
// directory and the holder's pid as its file says. Throws io_error when the directory or the
// file cannot be made, opened or locked for another reason.
dir_lock lock_data_dir(const std::string& root, std::string* refusal);
