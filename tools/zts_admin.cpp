// zts_admin: runs an operator's operation in the running server through its admin socket.
//
//   zts_admin [--socket PATH] [--json] OPERATION [ARGUMENT]...
//
//   games [STATUS]        game ID               revert ID [NEWEST_SAVE]
//   archive ID            unarchive ID          remove ID          restore ID
//   repair ID             snapshot DIR          refresh
//
// PATH defaults to admin.sock in the working directory (the server's default, in its own working
// directory). DIR is taken relative to this program's working directory. Prints the server's
// reply, human-readable or (--json) one JSON object. Exit status 0 when the operation was done,
// 1 when the server refused it (the reason on stderr), 2 when the server could not be asked.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "backup/backup_commands.h"
#include "lib/file_io.h"
#include "tools/tool_cli.h"

namespace {

// The server gives up on a request after 5 s; an operation itself may take a while (a snapshot
// of many games), so the reply is awaited longer.
constexpr int reply_timeout_ms = 10 * 60 * 1000;

// The status words are those the server's admin socket takes (status_word in db/game.h).
constexpr const char* usage_text =
    "Usage: zts_admin [--socket PATH] [--json] OPERATION [ARGUMENT]...\n"
    "  or:  zts_admin --version | --help\n"
    "\n"
    "Runs an operator's operation on the running turn server's games through its admin socket\n"
    "and prints the server's reply. Every operation leaves an \"ADM\" line in zts.log.\n"
    "\n"
    "Operations:\n"
    "  games [STATUS]           every game, or those with STATUS: 0, 1, 2, 3, in_play, opening,\n"
    "                           finished or archived\n"
    "  game ID                  one game: players, newest save, stored turns, what is kept aside\n"
    "  revert ID [NEWEST_SAVE]  take back the last accepted move (refused if the newest save is\n"
    "                           no longer NEWEST_SAVE)\n"
    "  archive ID, unarchive ID, remove ID, restore ID\n"
    "  repair ID                rebuild a game whose cond.txt or state.txt lacks a key from its\n"
    "                           newest stored save that reads, and release it if it was held\n"
    "  snapshot DIR             hard-link every game's files into DIR (must not exist)\n"
    "  refresh                  run the hourly pass now\n"
    "\n"
    "Options:\n"
    "  --socket PATH  the server's admin socket (default: admin.sock in the working directory)\n"
    "  --json         print the reply as one JSON object\n"
    "  --help         print this text and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  the operation was done\n"
    "  1  the server refused it (the reason on stderr); nothing was changed\n"
    "  2  the server could not be asked, or the command line is wrong\n";

int usage() {
  std::cerr << usage_text;
  return 2;
}

// Sends the request and returns everything the server sent until it closed. False with *why.
bool ask(const std::string& path, const std::string& request, std::string* reply,
         std::string* why) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    *why = "socket path too long: " + path;
    return false;
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.fd < 0 || retry_eintr([&] {
                     return ::connect(fd.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
                   }) != 0) {
    *why = errno_message("cannot connect to", path) + " (is the server running there?)";
    return false;
  }
  try {
    write_all(fd.fd, request, path);
  } catch (const io_error& e) {
    *why = e.what();
    return false;
  }
  char buffer[65536];
  for (;;) {
    pollfd p{fd.fd, POLLIN, 0};
    if (retry_eintr([&] { return ::poll(&p, 1, reply_timeout_ms); }) <= 0) {
      *why = "no reply from " + path;
      return false;
    }
    ssize_t n = retry_eintr([&] { return ::read(fd.fd, buffer, sizeof buffer); });
    if (n < 0) {
      *why = errno_message("cannot read from", path);
      return false;
    }
    if (n == 0) return true;
    reply->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket_path = "admin.sock";
  bool json = false;
  std::vector<std::string> words;
  if (answer_help_or_version(argc, argv, "zts_admin", usage_text)) return 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--json" && words.empty()) {
      json = true;
    } else if (arg == "--socket" && words.empty() && i + 1 < argc) {
      socket_path = argv[++i];
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) return usage();
  if (is_backup_command(words[0])) return run_backup_command(words, std::cout, std::cerr);
  if (words[0] == "snapshot" && words.size() == 2 && !words[1].empty()) {
    // The server resolves paths in its own working directory, not in ours.
    words[1] = std::filesystem::absolute(words[1]).lexically_normal().string();
  }
  std::string request = json ? "json" : "text";
  for (const std::string& w : words) {
    if (w.find_first_of("\t\n") != std::string::npos) {
      std::cerr << "zts_admin: arguments cannot hold tabs or line breaks\n";
      return 2;
    }
    request += "\t" + w;
  }
  request += "\n";

  std::string reply, why;
  if (!ask(socket_path, request, &reply, &why)) {
    std::cerr << "zts_admin: " << why << "\n";
    return 2;
  }
  size_t end = reply.find('\n');
  const std::string verdict = reply.substr(0, end);
  const std::string body = end == std::string::npos ? "" : reply.substr(end + 1);
  if (verdict == "ok") {
    std::cout << body;
    return 0;
  }
  if (verdict.starts_with("refused")) {
    if (json) std::cout << body;
    std::cerr << "zts_admin: " << verdict << "\n";
    return 1;
  }
  std::cerr << "zts_admin: unexpected reply: " << reply.substr(0, 200) << "\n";
  return 2;
}
