// What every program answers an operator before it does anything: --help and --version in a
// directory that stays empty, and the exit statuses the help texts promise.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "lib/file_io.h"
#include "tests/support/temp_dir.h"

namespace {

std::string build_path(const std::string& name) {
  const char* dir = ::getenv("ZTS_BUILD_DIR");
  return std::string(dir && *dir ? dir : ZTS_BUILD_DIR) + "/" + name;
}

struct run_result {
  int status = -1;
  std::string out;  // what the redirections in the command leave on stdout
};

run_result run(const std::string& command) {
  run_result r;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return r;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) r.out.append(buf, n);
  int raw = ::pclose(pipe);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

TEST(Tools, AnswerHelpAndVersionTouchingNothingAndExitAsTheirHelpSays) {
  temp_dir cwd;
  for (const std::string program : {"zts_server", "zts_admin", "zts_check", "zts_inspect"}) {
    const std::string in_cwd = "cd '" + cwd.path + "' && '" + build_path(program) + "' ";
    run_result help = run(in_cwd + "--help 2>/dev/null");
    EXPECT_EQ(help.status, 0) << program;
    EXPECT_TRUE(help.out.starts_with("Usage: " + program)) << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos) << help.out;
    EXPECT_EQ(run(in_cwd + "--help 2>&1 >/dev/null").out, "") << program;
    run_result version = run(in_cwd + "--version 2>&1");
    EXPECT_EQ(version.status, 0) << program;
    EXPECT_EQ(version.out, program + " " ZTS_VERSION "\n");
    // Asked anywhere on the line, before anything else is read or opened.
    EXPECT_EQ(run(in_cwd + "no-such-file --help >/dev/null 2>&1").status, 0) << program;
  }
  // No log, no game directory, no socket, no configuration read or made.
  EXPECT_TRUE(std::filesystem::is_empty(cwd.path));

  // zts_check: 2 when the directory is not there (a mistyped path is no clean server), 0 for a
  // server with no games yet, 1 with the problem listed for a damaged game.
  const std::string check = "'" + build_path("zts_check") + "' ";
  run_result missing = run(check + "'" + cwd.file("nowhere") + "' 2>&1");
  EXPECT_EQ(missing.status, 2) << missing.out;
  EXPECT_EQ(missing.out, "zts_check: " + cwd.file("nowhere") + ": no such directory\n");
  EXPECT_EQ(run(check + "'" + cwd.path + "' 2>&1").status, 0);
  EXPECT_EQ(run(check + "a b 2>/dev/null").status, 2);
  make_dirs(cwd.file("game_server/game_4"));
  write_test_file(cwd.file("game_server/game_4/name.txt"), "half a game");
  run_result damaged = run(check + "'" + cwd.path + "' 2>&1");
  EXPECT_EQ(damaged.status, 1) << damaged.out;
  EXPECT_NE(damaged.out.find("game_4: no cond.txt"), std::string::npos) << damaged.out;
  EXPECT_NE(damaged.out.find(": 1 problems\n"), std::string::npos) << damaged.out;

  // zts_admin with no server to ask: 2. zts_inspect on a file that is not there: 1.
  EXPECT_EQ(run("'" + build_path("zts_admin") + "' --socket '" + cwd.file("none.sock") +
                "' games 2>/dev/null")
                .status,
            2);
  EXPECT_EQ(
      run("'" + build_path("zts_inspect") + "' '" + cwd.file("none.zts") + "' >/dev/null").status,
      1);
}

}  // namespace
