#include "db/dir_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>

#include "db/layout.h"

namespace {

// The pid the holder wrote, or "unknown" when the file holds none yet (it is between its lock
// and its write, or predates this server).
std::string holder_pid(int fd) {
  char text[32] = {};
  ssize_t got = retry_eintr([&] { return ::pread(fd, text, sizeof text - 1, 0); });
  std::string pid;
  for (ssize_t i = 0; i < got && text[i] >= '0' && text[i] <= '9'; ++i) pid += text[i];
  return pid.empty() ? "unknown" : pid;
}

}  // namespace

dir_lock lock_data_dir(const std::string& root, std::string* refusal) {
  refusal->clear();
  make_dirs(root);
  dir_lock lock;
  lock.path = root + "/" + dir_lock_file;
  lock.fd = unique_fd(
      retry_eintr([&] { return ::open(lock.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644); }));
  if (lock.fd.fd < 0) throw io_error(errno_message("cannot open", lock.path));
  if (retry_eintr([&] { return ::flock(lock.fd.fd, LOCK_EX | LOCK_NB); }) != 0) {
    if (errno != EWOULDBLOCK) throw io_error(errno_message("cannot lock", lock.path));
    *refusal = std::filesystem::absolute(root).lexically_normal().string() +
               " is in use by another server (pid " + holder_pid(lock.fd.fd) + ", " + lock.path +
               ")";
    return dir_lock{};
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lock.fd.fd, 0) != 0 || retry_eintr([&] {
                                           return ::pwrite(lock.fd.fd, pid.data(), pid.size(), 0);
                                         }) != static_cast<ssize_t>(pid.size())) {
    throw io_error(errno_message("cannot write", lock.path));
  }
  return lock;
}
