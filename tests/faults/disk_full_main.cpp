// zts_diskfull: the real server with game_server/ on a small tmpfs that fills up.
//
// A filler file takes all the space; then, freeing one page at a time, a create and a move are
// tried at every amount of free space until each succeeds. Every try that fails must answer
// "ZTXS Crash in zt_server" and leave the data directory, both lists and the newest turn exactly
// as before (no half-written game, nothing half-changed in memory). With the disk full, op=11,
// op=28, op=777, op=666 and the status page keep being served. Once the filler is gone, play
// goes on; after a restart zts_check passes and the list is the same.
// Exit status 0 on success, 1 on a failed check, 77 when the tmpfs cannot be mounted here.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "lib/conv.h"
#include "lib/file_io.h"
#include "tests/faults/fault_support.h"
#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr size_t tmpfs_bytes = 2 * 1024 * 1024;
constexpr size_t page = 4096;
// A save spans several pages, so some amounts of free space take the turn file but not the
// text files after it: the rollback is what gets tested there.
constexpr size_t save_body_bytes = 20000;
constexpr int max_free_pages = 40;

const std::string crash_reply = "ZTXS Crash in zt_server";

struct observed {
  std::map<std::string, std::string> tree;  // game_server/ without the filler
  std::string list, finished, jsonp, newest;
  bool operator==(const observed&) const = default;
};

struct scenario {
  std::string dir;
  std::string root;
  std::string filler;
  std::vector<std::string> problems;
  int refused_creates = 0, refused_moves = 0;
  int32_t turn = 0, curplr = 0;  // where game_0 stands

  client_options to_server() const {
    return {.host = host_ipv4(), .source_ip = "", .timeout_ms = 10000};
  }
  std::string body(std::string_view query) const {
    try {
      return game_get(80, query, to_server()).body;
    } catch (const std::exception& e) {
      return std::string("<no reply: ") + e.what() + ">";
    }
  }

  observed observe() const {
    observed o;
    o.tree = read_tree(root);
    o.tree.erase("filler");
    o.list = body("?op=11");
    o.finished = body("?op=12");
    o.jsonp = body("?op=666");
    o.newest = body("?op=28&fn=game_0");
    return o;
  }

  void expect(bool ok, const std::string& what) {
    if (!ok) problems.push_back(what);
  }

  std::string post(int op, const std::string& save) {
    try {
      return post_save(80, op, save, to_server()).body;
    } catch (const std::exception& e) {
      return std::string("<no reply: ") + e.what() + ">";
    }
  }

  std::string next_move() {
    return move_save("Disk full", "game_0", 3, turn, curplr, save_body_bytes,
                     static_cast<uint32_t>(turn * 3 + curplr));
  }
  void moved() {
    if (++curplr == 3) {
      curplr = 0;
      ++turn;
    }
  }

  // Fills the tmpfs to the last byte; returns the filler's size.
  size_t fill() {
    unique_fd fd(::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    std::string chunk(page, 'f');
    size_t size = 0;
    for (;;) {
      ssize_t n = ::write(fd.fd, chunk.data(), chunk.size());
      if (n <= 0) break;
      size += static_cast<size_t>(n);
    }
    return size;
  }
  void leave_free(size_t full_size, int pages) {
    if (::truncate(filler.c_str(), static_cast<off_t>(full_size - pages * page)) != 0) {
      problems.push_back("cannot shrink the filler");
    }
  }

  // Tries `request` at 0, 1, 2 ... free pages until it succeeds; each failure must change
  // nothing. Returns the number of free pages it needed, or -1.
  int sweep(const char* what, size_t full_size, const std::function<std::string()>& request,
            const std::string& ok, int* refused) {
    for (int pages = 0; pages <= max_free_pages; ++pages) {
      leave_free(full_size, pages);
      const observed before = observe();
      const std::string reply = request();
      if (reply == ok) return pages;
      ++*refused;
      expect(reply == crash_reply, std::string(what) + " with " + std::to_string(pages) +
                                       " free pages answered \"" + reply + "\"");
      const observed after = observe();
      if (after.tree != before.tree) {
        problems.push_back(std::string(what) + " with " + std::to_string(pages) +
                           " free pages changed the files");
      }
      expect(
          after.list == before.list && after.jsonp == before.jsonp && after.newest == before.newest,
          std::string(what) + " with " + std::to_string(pages) +
              " free pages changed what the server serves");
    }
    problems.push_back(std::string(what) + " never succeeded");
    return -1;
  }

  void served_while_full() {
    expect(body("?op=777") == "ZTNS", "op=777 not served on a full disk");
    expect(body("?op=11").starts_with("ZTXS\n1\ngame_0\n"), "op=11 not served on a full disk");
    expect(body("?op=666").starts_with("parseResult("), "op=666 not served on a full disk");
    expect(body("?op=28&fn=game_0").starts_with("ZTNX"), "op=28 not served on a full disk");
    try {
      http_reply page = http_get(80, "/ztsv_log.php", to_server());
      expect(page.status == "200 OK", "status page not served on a full disk: " + page.status);
    } catch (const std::exception& e) {
      problems.push_back(std::string("status page: ") + e.what());
    }
  }
};

}  // namespace

int main() {
  std::string why;
  if (!isolate_process(&why)) {
    std::cout << "skipped: cannot isolate the run (" << why << ")\n";
    return exit_skipped;
  }
  ::signal(SIGPIPE, SIG_IGN);
  temp_dir dir;
  scenario s{dir.path, dir.file("game_server"), dir.file("game_server/filler"), {}};
  make_dirs(s.root);
  if (!mount_small_tmpfs(s.root, tmpfs_bytes, &why)) {
    std::cout << "skipped: " << why << "\n";
    return exit_skipped;
  }
  struct unmount_at_end {
    std::string path;
    ~unmount_at_end() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{s.root};

  const std::string binary = build_dir() + "/zts_server";
  child_server server;
  start_server_process(&server, binary, s.dir);
  if (!wait_until_serving(15000)) {
    std::cout << "FAIL the server did not start\n";
    return 1;
  }
  s.expect(
      s.post(8, move_save("Disk full", "game_0", 3, 0, 0, save_body_bytes, 1)) == "ZTXS\n00\nOK\n",
      "first create refused");
  for (int i = 0; i < 2; ++i) {
    s.expect(s.post(27, s.next_move()) == "ZTXS\n00\nOk\n", "move before filling refused");
    s.moved();
  }

  const size_t full = s.fill();
  s.served_while_full();
  const int move_pages = s.sweep(
      "move", full, [&] { return s.post(27, s.next_move()); }, "ZTXS\n00\nOk\n", &s.refused_moves);
  if (move_pages >= 0) s.moved();
  // The freed pages went to the move; fill again from there.
  ::unlink(s.filler.c_str());
  const size_t full_again = s.fill();
  const int create_pages = s.sweep(
      "create", full_again,
      [&] { return s.post(8, move_save("Second", "game_0", 2, 0, 0, save_body_bytes, 2)); },
      "ZTXS\n00\nOK\n", &s.refused_creates);

  ::unlink(s.filler.c_str());
  for (int i = 0; i < 3; ++i) {
    s.expect(s.post(27, s.next_move()) == "ZTXS\n00\nOk\n", "move after freeing space refused");
    s.moved();
  }
  s.expect(s.post(8, move_save("Third", "game_0", 2, 0, 0, 1000, 3)) == "ZTXS\n00\nOK\n",
           "create after freeing space refused");

  const observed before_restart = s.observe();
  stop_server_process(&server, SIGTERM);
  std::string report;
  s.expect(run_command(build_dir() + "/zts_check " + s.dir, &report) == 0, "zts_check: " + report);
  start_server_process(&server, binary, s.dir);
  s.expect(wait_until_serving(15000), "the server did not start again");
  const observed after_restart = s.observe();
  s.expect(after_restart.list == before_restart.list && after_restart.tree == before_restart.tree,
           "the games differ after a restart");
  s.expect(after_restart.list.starts_with("ZTXS\n3\ngame_2\ngame_1\ngame_0\n"),
           "three games expected after the run: " + after_restart.list.substr(0, 40));
  // Also catches a sanitizer report of a sanitized build, which ends the process with status 1.
  const int status = stop_server_process(&server, SIGTERM);
  s.expect(WIFEXITED(status) && WEXITSTATUS(status) == 0,
           "the server did not stop with status 0: " + std::to_string(status));

  for (const std::string& p : s.problems) std::cout << "FAIL " << p << "\n";
  std::cout << "disk full: move refused at " << s.refused_moves << " amounts of free space ("
            << "succeeded with " << move_pages << " pages free), create refused at "
            << s.refused_creates << " (succeeded with " << create_pages << " pages free); problems "
            << s.problems.size() << std::endl;
  return s.problems.empty() ? 0 : 1;
}
