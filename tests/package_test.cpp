// The Debian package as an operator meets it: built from this tree with cpack, checked by
// lintian, installed on this machine with dpkg, run, then purged, which must leave the games in
// /var/lib/zts alone. Skipped where the tools or root are missing, or the package is already
// installed (it is never replaced behind an operator's back).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "lib/file_io.h"
#include "tests/support/command.h"
#include "tests/support/temp_dir.h"

namespace {

using enum command_stderr;

bool have(const char* tool) {
  return run_command(std::string("command -v ") + tool, captured).status == 0;
}

// Purges the package at the end of the scope, whatever the test got to.
struct purge_at_end {
  ~purge_at_end() { run_command("dpkg --purge zts-server", captured); }
};

TEST(Package, BuildsChecksInstallsRunsAndPurgesWithoutTouchingTheGames) {
  for (const char* tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps", "lintian"}) {
    if (!have(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  if (geteuid() != 0) GTEST_SKIP() << "installing with dpkg needs root";
  if (run_command("dpkg-query -W -f='${Status}' zts-server", captured).out.find("installed") !=
      std::string::npos) {
    GTEST_SKIP() << "zts-server is installed on this machine already";
  }

  temp_dir out;
  command_result built =
      run_command("cd '" ZTS_BUILD_DIR "' && cpack -G DEB -B '" + out.path + "'", captured);
  ASSERT_EQ(built.status, 0) << built.out;
  const std::string deb = out.file("zts-server_" ZTS_VERSION "_amd64.deb");
  ASSERT_TRUE(file_exists(deb)) << built.out;

  command_result contents = run_command("dpkg-deb -c '" + deb + "'", captured);
  for (const char* path :
       {"./usr/bin/zts_server", "./usr/bin/zts_inspect", "./usr/bin/zts_check",
        "./usr/bin/zts_admin", "./lib/systemd/system/zts-server.service", "./etc/zts/zts.conf",
        "./etc/logrotate.d/zts-server", "./usr/share/doc/zts-server/README.md",
        "./usr/share/doc/zts-server/examples/nginx-zts.conf",
        "./usr/share/man/man1/zts_server.1.gz", "./usr/share/man/man1/zts_inspect.1.gz",
        "./usr/share/man/man1/zts_check.1.gz", "./usr/share/man/man1/zts_admin.1.gz"}) {
    EXPECT_NE(contents.out.find(path), std::string::npos) << path << "\n" << contents.out;
  }
  for (const char* path :
       {"./usr/bin/zts-backup", "./usr/bin/zts-restore", "./lib/systemd/system/zts-backup.service",
        "./lib/systemd/system/zts-backup.timer"}) {
    EXPECT_NE(contents.out.find(path), std::string::npos) << path << "\n" << contents.out;
  }
  EXPECT_EQ(run_command("dpkg-deb -I '" + deb + "' conffiles", captured).out,
            "/etc/zts/zts.conf\n/etc/logrotate.d/zts-server\n");

  command_result lint = run_command("lintian --fail-on error '" + deb + "'", captured);
  EXPECT_EQ(lint.status, 0) << lint.out;
  EXPECT_EQ(lint.out.find("\nE: "), std::string::npos) << lint.out;

  purge_at_end cleanup;
  command_result installed = run_command("dpkg -i '" + deb + "'", captured);
  ASSERT_EQ(installed.status, 0) << installed.out;
  EXPECT_EQ(run_command("/usr/bin/zts_server --version", captured).out,
            "zts_server " ZTS_VERSION "\n");
  command_result check =
      run_command("/usr/bin/zts_server --check-config /etc/zts/zts.conf", captured);
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_EQ(check.out, "/etc/zts/zts.conf: OK\n");
  EXPECT_EQ(run_command("stat -c %U:%G /var/lib/zts", captured).out, "zts:zts\n");
  // The man pages are the programs' own --help: the exit codes zts_check documents are there.
  EXPECT_NE(
      run_command("zcat /usr/share/man/man1/zts_check.1.gz", captured).out.find("no problems"),
      std::string::npos);
  if (have("logrotate")) {
    command_result rotate = run_command("logrotate --debug /etc/logrotate.d/zts-server", captured);
    EXPECT_EQ(rotate.status, 0) << rotate.out;
    EXPECT_EQ(rotate.out.find("error"), std::string::npos) << rotate.out;
  }
  EXPECT_EQ(run_command("stat -c %U:%G /var/lib/zts/backups", captured).out, "zts:zts\n");
  EXPECT_EQ(run_command("cd /tmp && /usr/bin/zts_admin backups --where", captured).out,
            "/var/lib/zts/backups\n");

  // A game the server wrote, in the data directory: removal and purge both keep it.
  const std::string game_dir = "/var/lib/zts/game_server/game_987654";
  const bool had_games = dir_exists("/var/lib/zts/game_server");
  make_dirs(game_dir);
  write_test_file(game_dir + "/name.txt", "kept");
  command_result removed = run_command("dpkg --remove zts-server", captured);
  EXPECT_EQ(removed.status, 0) << removed.out;
  EXPECT_TRUE(file_exists("/etc/zts/zts.conf"));  // a conffile stays until purge
  command_result purged = run_command("dpkg --purge zts-server", captured);
  EXPECT_EQ(purged.status, 0) << purged.out;
  EXPECT_FALSE(file_exists("/usr/bin/zts_server"));
  EXPECT_FALSE(file_exists("/etc/zts/zts.conf"));
  EXPECT_EQ(read_file(game_dir + "/name.txt"), "kept");
  std::filesystem::remove_all(had_games ? game_dir : "/var/lib/zts/game_server");
}

}  // namespace
