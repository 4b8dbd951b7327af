// The Debian package as an operator meets it: built from this tree with cpack, checked by
// lintian, installed on this machine with dpkg, run, then purged, which must leave the games in
// /var/lib/zts alone. Skipped where the tools or root are missing, or the package is already
// installed (it is never replaced behind an operator's back).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "lib/file_io.h"
#include "tests/support/temp_dir.h"

namespace {

struct command_output {
  int status = -1;
  std::string text;  // stdout and stderr together
};

command_output run(const std::string& command) {
  command_output out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.text.append(buf, n);
  int status = pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

bool have(const char* tool) {
  return run(std::string("command -v ") + tool).status == 0;
}

// Purges the package at the end of the scope, whatever the test got to.
struct purge_at_end {
  ~purge_at_end() { run("dpkg --purge zts-server"); }
};

TEST(Package, BuildsChecksInstallsRunsAndPurgesWithoutTouchingTheGames) {
  for (const char* tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps", "lintian"}) {
    if (!have(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  if (geteuid() != 0) GTEST_SKIP() << "installing with dpkg needs root";
  if (run("dpkg-query -W -f='${Status}' zts-server").text.find("installed") != std::string::npos) {
    GTEST_SKIP() << "zts-server is installed on this machine already";
  }

  temp_dir out;
  command_output built = run("cd '" ZTS_BUILD_DIR "' && cpack -G DEB -B '" + out.path + "'");
  ASSERT_EQ(built.status, 0) << built.text;
  const std::string deb = out.file("zts-server_" ZTS_VERSION "_amd64.deb");
  ASSERT_TRUE(file_exists(deb)) << built.text;

  command_output contents = run("dpkg-deb -c '" + deb + "'");
  for (const char* path :
       {"./usr/bin/zts_server", "./usr/bin/zts_inspect", "./usr/bin/zts_check",
        "./usr/bin/zts_admin", "./lib/systemd/system/zts-server.service", "./etc/zts/zts.conf",
        "./etc/logrotate.d/zts-server", "./usr/share/doc/zts-server/README.md",
        "./usr/share/doc/zts-server/examples/nginx-zts.conf",
        "./usr/share/man/man1/zts_server.1.gz", "./usr/share/man/man1/zts_inspect.1.gz",
        "./usr/share/man/man1/zts_check.1.gz", "./usr/share/man/man1/zts_admin.1.gz"}) {
    EXPECT_NE(contents.text.find(path), std::string::npos) << path << "\n" << contents.text;
  }
  for (const char* path :
       {"./usr/bin/zts-backup", "./usr/bin/zts-restore", "./lib/systemd/system/zts-backup.service",
        "./lib/systemd/system/zts-backup.timer"}) {
    EXPECT_NE(contents.text.find(path), std::string::npos) << path << "\n" << contents.text;
  }
  EXPECT_EQ(run("dpkg-deb -I '" + deb + "' conffiles").text,
            "/etc/zts/zts.conf\n/etc/logrotate.d/zts-server\n");

  command_output lint = run("lintian --fail-on error '" + deb + "'");
  EXPECT_EQ(lint.status, 0) << lint.text;
  EXPECT_EQ(lint.text.find("\nE: "), std::string::npos) << lint.text;

  purge_at_end cleanup;
  command_output installed = run("dpkg -i '" + deb + "'");
  ASSERT_EQ(installed.status, 0) << installed.text;
  EXPECT_EQ(run("/usr/bin/zts_server --version").text, "zts_server " ZTS_VERSION "\n");
  command_output check = run("/usr/bin/zts_server --check-config /etc/zts/zts.conf");
  EXPECT_EQ(check.status, 0) << check.text;
  EXPECT_EQ(check.text, "/etc/zts/zts.conf: OK\n");
  EXPECT_EQ(run("stat -c %U:%G /var/lib/zts").text, "zts:zts\n");
  // The man pages are the programs' own --help: the exit codes zts_check documents are there.
  EXPECT_NE(run("zcat /usr/share/man/man1/zts_check.1.gz").text.find("no problems"),
            std::string::npos);
  if (have("logrotate")) {
    command_output rotate = run("logrotate --debug /etc/logrotate.d/zts-server");
    EXPECT_EQ(rotate.status, 0) << rotate.text;
    EXPECT_EQ(rotate.text.find("error"), std::string::npos) << rotate.text;
  }
  EXPECT_EQ(run("stat -c %U:%G /var/lib/zts/backups").text, "zts:zts\n");
  EXPECT_EQ(run("cd /tmp && /usr/bin/zts_admin backups --where").text, "/var/lib/zts/backups\n");

  // A game the server wrote, in the data directory: removal and purge both keep it.
  const std::string game_dir = "/var/lib/zts/game_server/game_987654";
  const bool had_games = dir_exists("/var/lib/zts/game_server");
  make_dirs(game_dir);
  write_test_file(game_dir + "/name.txt", "kept");
  command_output removed = run("dpkg --remove zts-server");
  EXPECT_EQ(removed.status, 0) << removed.text;
  EXPECT_TRUE(file_exists("/etc/zts/zts.conf"));  // a conffile stays until purge
  command_output purged = run("dpkg --purge zts-server");
  EXPECT_EQ(purged.status, 0) << purged.text;
  EXPECT_FALSE(file_exists("/usr/bin/zts_server"));
  EXPECT_FALSE(file_exists("/etc/zts/zts.conf"));
  EXPECT_EQ(read_file(game_dir + "/name.txt"), "kept");
  std::filesystem::remove_all(had_games ? game_dir : "/var/lib/zts/game_server");
}

}  // namespace
