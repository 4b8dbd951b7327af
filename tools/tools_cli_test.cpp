// What every program answers an operator before it does anything: --help and --version in a
// directory that stays empty, and the exit statuses the help texts promise.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "lib/file_io.h"
#include "tests/support/command.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(Tools, AnswerHelpAndVersionTouchingNothingAndExitAsTheirHelpSays) {
  temp_dir cwd;
  for (const std::string program : {"zts_server", "zts_admin", "zts_check", "zts_inspect"}) {
    const std::string in_cwd = "cd '" + cwd.path + "' && '" + build_path(program) + "' ";
    command_result help = run_command(in_cwd + "--help 2>/dev/null");
    EXPECT_EQ(help.status, 0) << program;
    EXPECT_TRUE(help.out.starts_with("Usage: " + program)) << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos) << help.out;
    EXPECT_EQ(run_command(in_cwd + "--help 2>&1 >/dev/null").out, "") << program;
    command_result version = run_command(in_cwd + "--version 2>&1");
    EXPECT_EQ(version.status, 0) << program;
    EXPECT_EQ(version.out, program + " " ZTS_VERSION "\n");
    // Asked anywhere on the line, before anything else is read or opened.
    EXPECT_EQ(run_command(in_cwd + "no-such-file --help >/dev/null 2>&1").status, 0) << program;
  }
  // No log, no game directory, no socket, no configuration read or made.
  EXPECT_TRUE(std::filesystem::is_empty(cwd.path));

  // zts_check: 2 when the directory is not there (a mistyped path is no clean server), 0 for a
  // server with no games yet, 1 with the problem listed for a damaged game.
  const std::string check = "'" + build_path("zts_check") + "' ";
  command_result missing = run_command(check + "'" + cwd.file("nowhere") + "' 2>&1");
  EXPECT_EQ(missing.status, 2) << missing.out;
  EXPECT_EQ(missing.out, "zts_check: " + cwd.file("nowhere") + ": no such directory\n");
  EXPECT_EQ(run_command(check + "'" + cwd.path + "' 2>&1").status, 0);
  EXPECT_EQ(run_command(check + "a b 2>/dev/null").status, 2);
  make_dirs(cwd.file("game_server/game_4"));
  write_test_file(cwd.file("game_server/game_4/name.txt"), "half a game");
  command_result damaged = run_command(check + "'" + cwd.path + "' 2>&1");
  EXPECT_EQ(damaged.status, 1) << damaged.out;
  EXPECT_NE(damaged.out.find("game_4: no cond.txt"), std::string::npos) << damaged.out;
  EXPECT_NE(damaged.out.find(": 1 problems\n"), std::string::npos) << damaged.out;

  // zts_admin with no server to ask: 2. zts_inspect on a file that is not there: 1.
  EXPECT_EQ(run_command("'" + build_path("zts_admin") + "' --socket '" + cwd.file("none.sock") +
                        "' games 2>/dev/null")
                .status,
            2);
  EXPECT_EQ(
      run_command("'" + build_path("zts_inspect") + "' '" + cwd.file("none.zts") + "' >/dev/null")
          .status,
      1);
}

}  // namespace
