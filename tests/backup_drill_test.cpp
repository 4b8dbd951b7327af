// The back-up drill, on the real binaries and the packaged scripts: play, a scheduled back-up
// (the script zts-backup.service runs) with its retention rule, play on, a copy elsewhere with
// rsync, then a restore of the snapshot, refused while the server runs and refused when the
// snapshot is damaged, after which the server serves the games as they were at the snapshot.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "lib/file_io.h"
#include "tests/support/command.h"
#include "tests/support/game_client.h"
#include "tests/support/real_server.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using enum command_stderr;

std::string shell_quoted(const std::string& s) {
  return "'" + s + "'";
}

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// The files under `dir` grouped by inode: each group the relative paths that are one file.
std::set<std::set<std::string>> link_groups(const std::string& dir) {
  std::map<ino_t, std::set<std::string>> by_inode;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    struct stat st;
    if (::lstat(e.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    by_inode[st.st_ino].insert(fs::relative(e.path(), dir).string());
  }
  std::set<std::set<std::string>> groups;
  for (auto& [inode, paths] : by_inode) groups.insert(paths);
  return groups;
}

struct drill {
  client_options to_server() const {
    return {.host = host_ipv4(), .source_ip = "", .timeout_ms = 10000};
  }
  std::string move(int turn, int curplr) const {
    save_recipe s = sample_save_recipe(3);
    s.game.save_time = static_cast<int32_t>(::time(nullptr));
    s.game.turn = turn;
    s.game.curplr = curplr;
    s.body = "move " + std::to_string(turn) + "." + std::to_string(curplr);
    return write_save(s);
  }
  std::string submit(const std::string& save) { return post_save(80, 27, save, to_server()).body; }
  std::string get(const std::string& query) { return game_get(80, query, to_server()).body; }
  std::string admin(const std::string& args) {
    return "cd " + shell_quoted(dir.path) + " && " + shell_quoted(build + "/zts_admin") + " " +
           args;
  }
  command_result restore(const std::string& snapshot) {
    return run_command("ZTS_CHECK=" + shell_quoted(build + "/zts_check") + " " +
                           shell_quoted(std::string(ZTS_SOURCE_DIR) + "/deploy/zts-restore") +
                           " -C " + shell_quoted(dir.path) + " " + shell_quoted(snapshot),
                       captured);
  }

  const std::string build = ZTS_BUILD_DIR;
  temp_dir dir;
};

TEST(BackupDrill, ScheduledSnapshotPruneCopyAndRestore) {
  private_network net;
  if (!net.error.empty()) GTEST_SKIP() << net.error;
  drill d;
  const std::string backups = d.dir.file("backups");
  // The server reads ./zts.conf and must take the [backup] table it does not use itself.
  write_test_file(d.dir.file("zts.conf"), "[backup]\ndir = \"" + backups +
                                              "\"\nkeep_hourly = 1\nkeep_daily = 1\n"
                                              "keep_weekly = 2\n");
  auto server = std::make_unique<server_process>(d.dir.path);

  // Play: a game and two moves; what the lists and the next download say now.
  ASSERT_EQ(post_save(80, 8, d.move(0, 0), d.to_server()).body, "ZTXS\n00\nOK\n");
  ASSERT_EQ(d.submit(d.move(0, 0)), "ZTXS\n00\nOk\n");
  ASSERT_EQ(d.submit(d.move(0, 1)), "ZTXS\n00\nOk\n");
  const std::string list = d.get("?op=11"), jsonp = d.get("?op=666");
  const std::string newest = d.get("?op=28&fn=game_0");

  // Older snapshots at chosen times (weeks starting Monday 2020-01-06 and 2019-12-30), one being
  // written and a directory of the operator's own: the rule keeps the newest of this hour, day
  // and week and the newest of the week before the newest, and leaves the others alone.
  for (const char* name : {"2020-01-06T10-00-00Z", "2020-01-06T11-00-00Z", "2020-01-01T00-00-00Z",
                           ".2020-01-07T00-00-00Z.snapshot.99", "mine"}) {
    make_dirs(backups + "/" + name + "/game_server");
  }

  // The scheduled back-up: the command the service runs, with the test's paths.
  const std::string unit = read_file(std::string(ZTS_SOURCE_DIR) + "/deploy/zts-backup.service");
  ASSERT_NE(unit.find("\nExecStart=/usr/bin/zts-backup --config /etc/zts/zts.conf\n"),
            std::string::npos);
  command_result backup = run_command(
      "cd " + shell_quoted(d.dir.path) + " && ZTS_ADMIN=" + shell_quoted(d.build + "/zts_admin") +
          " " + shell_quoted(std::string(ZTS_SOURCE_DIR) + "/deploy/zts-backup") +
          " --config zts.conf",
      captured);
  ASSERT_EQ(backup.status, 0) << backup.out;
  EXPECT_NE(backup.out.find("removed 2 of 4 snapshots"), std::string::npos) << backup.out;
  std::set<std::string> left = names_in(backups);
  std::string snapshot;
  for (const std::string& name : left) {
    if (name.starts_with("20") && name != "2020-01-06T11-00-00Z") snapshot = name;
  }
  ASSERT_FALSE(snapshot.empty()) << backup.out;
  EXPECT_EQ(left, (std::set<std::string>{snapshot, "2020-01-06T11-00-00Z",
                                         ".2020-01-07T00-00-00Z.snapshot.99", "mine"}));
  const std::string snap_dir = backups + "/" + snapshot;
  EXPECT_EQ(names_in(snap_dir + "/game_server"), std::set<std::string>{"game_0"});
  command_result listed = run_command(d.admin("backups --config zts.conf"), captured);
  EXPECT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find(snapshot + "  1 games  "), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("\n2 snapshots in " + backups + "\n"), std::string::npos);
  EXPECT_NE(listed.out.find(".2020-01-07T00-00-00Z.snapshot.99  being written"), std::string::npos);
  const auto snapshot_files = read_tree(snap_dir);

  // Play on: a move and a second game, then a second snapshot that shares the unchanged files.
  ASSERT_EQ(d.submit(d.move(0, 2)), "ZTXS\n00\nOk\n");
  ASSERT_EQ(post_save(80, 8, d.move(0, 0), d.to_server()).body, "ZTXS\n00\nOK\n");
  ASSERT_NE(d.get("?op=11"), list);
  ASSERT_EQ(run_command(d.admin("snapshot backups/later"), captured).status, 0);

  // Off the machine: rsync -aH keeps which files are one file.
  command_result copied = run_command(
      "rsync -aH " + shell_quoted(backups + "/") + " " + shell_quoted(d.dir.file("copy")),
      captured);
  ASSERT_EQ(copied.status, 0) << copied.out;
  const auto groups = link_groups(backups);
  EXPECT_LT(groups.size(), read_tree(backups).size());  // some files are shared
  EXPECT_EQ(link_groups(d.dir.file("copy")), groups);

  // A restore refuses while the server holds its lock and changes nothing.
  const std::string lock_path = d.dir.file("game_server/.zts.lock");
  EXPECT_EQ(read_file(lock_path), std::to_string(server->pid) + "\n");
  {
    unique_fd lock(::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(lock.fd, LOCK_EX | LOCK_NB), -1);  // the server's
    ASSERT_EQ(errno, EWOULDBLOCK);
    command_result refused = d.restore(snap_dir);
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.out.find("the server is running in " + d.dir.path + " (pid " +
                               std::to_string(server->pid) + ")"),
              std::string::npos)
        << refused.out;
  }
  EXPECT_TRUE(dir_exists(d.dir.file("game_server/game_1")));
  server.reset();
  const auto played_on = read_tree(d.dir.file("game_server"));

  // A damaged snapshot fails zts_check: the games in place come back.
  const std::string damaged = d.dir.file("damaged");
  ASSERT_EQ(
      run_command("cp -a " + shell_quoted(snap_dir) + " " + shell_quoted(damaged), captured).status,
      0);
  fs::remove(damaged + "/game_server/game_0/cond.txt");
  command_result failed = d.restore(damaged);
  EXPECT_EQ(failed.status, 1) << failed.out;
  EXPECT_NE(failed.out.find("the previous games are back in place"), std::string::npos);
  EXPECT_EQ(read_tree(d.dir.file("game_server")), played_on);

  // The restore: the games in place aside, the snapshot copied in and checked, itself intact.
  command_result restored = d.restore(snap_dir);
  ASSERT_EQ(restored.status, 0) << restored.out;
  EXPECT_NE(restored.out.find("checked 1 games"), std::string::npos) << restored.out;
  std::string aside;
  for (const std::string& name : names_in(d.dir.path)) {
    if (name.starts_with("game_server.replaced-")) aside = name;
  }
  ASSERT_FALSE(aside.empty()) << restored.out;
  EXPECT_NE(restored.out.find(aside), std::string::npos);
  EXPECT_EQ(read_tree(d.dir.file(aside)), played_on);
  EXPECT_EQ(read_tree(snap_dir), snapshot_files);
  EXPECT_EQ(read_tree(d.dir.file("game_server")), read_tree(snap_dir + "/game_server"));

  // Started again, the server serves the snapshot's moment, and the next move is the one after.
  fs::rename(d.dir.file("zts.log"), d.dir.file("zts.log.1"));  // to wait for a new "Running"
  server = std::make_unique<server_process>(d.dir.path);
  EXPECT_EQ(d.get("?op=11"), list);
  EXPECT_EQ(d.get("?op=666"), jsonp);
  EXPECT_EQ(d.get("?op=28&fn=game_0"), newest);
  EXPECT_EQ(d.get("?op=28&fn=game_1"), "ZTXS Game id is out of range");
  EXPECT_EQ(d.submit(d.move(0, 2)), "ZTXS\n00\nOk\n");

  // Pruning by hand with nothing to remove keeps everything, the newest above all.
  command_result pruned = run_command(d.admin("prune --config zts.conf"), captured);
  EXPECT_EQ(pruned.status, 0) << pruned.out;
  EXPECT_NE(pruned.out.find("kept " + snapshot), std::string::npos) << pruned.out;
  EXPECT_NE(pruned.out.find("removed 0 of 2 snapshots"), std::string::npos) << pruned.out;
}

}  // namespace
