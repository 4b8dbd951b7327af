#include "tests/support/command.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

command_result run_command(const std::string& command, command_stderr err) {
  command_result r;
  const char* redirect = err == command_stderr::captured    ? " 2>&1"
                         : err == command_stderr::discarded ? " 2>/dev/null"
                                                            : "";
  FILE* pipe = ::popen((command + redirect).c_str(), "r");
  if (!pipe) return r;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) r.out.append(buf, n);
  const int raw = ::pclose(pipe);
  if (WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) r.signal = WTERMSIG(raw);
  return r;
}

std::string build_dir() {
  const char* dir = std::getenv("ZTS_BUILD_DIR");
  return dir && *dir ? dir : ZTS_BUILD_DIR;
}

std::string build_path(const std::string& name) {
  return build_dir() + "/" + name;
}
