#include "server/admin_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <vector>

#include "db/game.h"
#include "db/turn_times.h"
#include "lib/log.h"
#include "lib/metrics.h"
#include "lib/mutex.h"
#include "lib/refusal.h"
#include "net/socket.h"
#include "ops/admin_ops.h"

namespace {

bool make_address(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

// True when a server answers at `path`.
bool socket_answers(const sockaddr_un& addr) {
  unique_fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (probe.fd < 0) return false;
  return retry_eintr([&] {
           return ::connect(probe.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
         }) == 0;
}

// Only the server's own user and root may act on the games.
bool peer_allowed(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  return cred.uid == 0 || cred.uid == ::getuid();
}

std::vector<std::string> split_fields(std::string_view line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.emplace_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

// One request, checked: the operation, the game it names (-1 for those over every game) and
// its other argument.
struct admin_call {
  std::string op;
  int32_t id = -1;
  int32_t status = -1;
  std::string arg;
};

// The call the fields name (fields[0] is the operation), or a refusal showing the usage.
refusable<admin_call> parse_call(const std::vector<std::string>& fields) {
  admin_call call;
  call.op = fields[0];
  const size_t args = fields.size() - 1;
  auto usage = [](const std::string& form) { return refusal{"usage: " + form}; };
  if (call.op == "games") {
    if (args > 1 || (args == 1 && !parse_status(fields[1], &call.status))) {
      return usage("games [0-3|in_play|opening|finished|archived]");
    }
    return call;
  }
  if (call.op == "refresh") {
    if (args != 0) return usage("refresh");
    return call;
  }
  if (call.op == "snapshot") {
    if (args != 1 || fields[1].empty()) return usage("snapshot DIR");
    call.arg = fields[1];
    return call;
  }
  if (call.op == "revert") {
    if (args < 1 || args > 2 || !parse_game_id(fields[1], &call.id)) {
      return usage("revert ID [NEWEST_SAVE]");
    }
    if (args == 2) call.arg = fields[2];
    return call;
  }
  for (const char* name : {"game", "archive", "unarchive", "remove", "restore", "repair"}) {
    if (call.op != name) continue;
    if (args != 1 || !parse_game_id(fields[1], &call.id)) return usage(call.op + " ID");
    return call;
  }
  return refusal{"unknown operation \"" + call.op +
                 "\" (games, game, revert, archive, unarchive, remove, restore, repair, "
                 "snapshot, refresh)"};
}

// An operation on game c.id. REQUIRES: game_lock(c.id) held.
admin_result execute_on_game(const admin_call& c) EXCLUDES(db_lock) {
  if (c.op == "game") return admin_game(c.id);
  if (c.op == "revert") return admin_revert(c.id, c.arg);
  if (c.op == "archive") return admin_archive(c.id);
  if (c.op == "unarchive") return admin_unarchive(c.id);
  if (c.op == "remove") return admin_remove(c.id);
  if (c.op == "repair") return admin_repair(c.id);
  return admin_restore(c.id);
}

// The one place the admin operations take their locks. An operation on one game holds that
// game's lock across its disk work, so that it never interleaves with a move of the game; it
// takes db_lock itself only to read or publish the record. The refresh and the snapshot take
// each game's lock in turn; the list copies the records under db_lock.
admin_result run_locked(const admin_call& c) EXCLUDES(db_lock) {
  if (c.op == "refresh") return admin_refresh();
  if (c.op == "snapshot") return admin_snapshot(c.arg);
  if (c.op == "games") return admin_games(c.status);
  mutex_lock hold(game_lock(c.id));
  // A revert, restore or unarchive changes which files are the game's history: its turn times
  // are read again on their next use. Forgotten after the change (a read racing it is then not
  // kept), and after any operation, refused or failed too: one read at most.
  struct forget_after {
    int32_t id;
    ~forget_after() { forget_turn_times(id); }
  } forget{c.id};
  return execute_on_game(c);
}

// Runs the operation the fields name (fields[0] is the operation).
admin_result run_operation(const std::vector<std::string>& fields) EXCLUDES(db_lock) {
  const refusable<admin_call> call = parse_call(fields);
  if (!call) return admin_refusal(call.message());
  return run_locked(*call);
}

admin_op_kind op_kind(std::string_view op) {
  constexpr std::pair<std::string_view, admin_op_kind> kinds[] = {
      {"games", admin_op_kind::games},         {"game", admin_op_kind::game},
      {"revert", admin_op_kind::revert},       {"archive", admin_op_kind::archive},
      {"unarchive", admin_op_kind::unarchive}, {"remove", admin_op_kind::remove},
      {"restore", admin_op_kind::restore},     {"snapshot", admin_op_kind::snapshot},
      {"refresh", admin_op_kind::refresh},     {"repair", admin_op_kind::repair}};
  for (const auto& [name, kind] : kinds) {
    if (op == name) return kind;
  }
  return admin_op_kind::other;
}

std::string printable(std::string_view text) {
  std::string out;
  for (char c : text)
    out.push_back(c == '\t' ? ' ' : (static_cast<unsigned char>(c) < 32 ? '?' : c));
  return out;
}

// Reads one request line before the deadline. False when the client sent none in time, closed
// early or sent too much.
bool read_request_line(int fd, int wake_fd, std::string* line) {
  const steady_time deadline = deadline_after_ms(admin_request_timeout_ms);
  std::string buffer;
  for (;;) {
    size_t end = buffer.find('\n');
    if (end != std::string::npos) {
      *line = buffer.substr(0, end);
      return end <= max_admin_request_bytes;
    }
    if (buffer.size() > max_admin_request_bytes) return false;
    if (wait_fd(fd, POLLIN, wake_fd, deadline) != wait_result::ready) return false;
    if (sock_recv_some(fd, &buffer, max_admin_request_bytes + 1) == recv_result::closed) {
      return false;
    }
  }
}

void serve_connection(admin_socket* admin, unique_fd conn) {
  std::string reply;
  std::string line;
  if (!peer_allowed(conn.fd)) {
    reply = "refused not allowed: only the server's user may use this socket\n";
  } else if (!read_request_line(conn.fd, admin->wake_read.fd, &line)) {
    reply = "refused no request line (one line of at most " +
            std::to_string(max_admin_request_bytes) + " bytes, ending in LF)\n";
  } else {
    reply = serve_admin_request(line);
  }
  sock_send_all(conn.fd, reply, deadline_after_ms(admin_send_timeout_ms));
}

void admin_thread(admin_socket* admin) {
  try {
    for (;;) {
      auto forever = steady_time::max();
      if (wait_fd(admin->listener.fd, POLLIN, admin->wake_read.fd, forever) != wait_result::ready) {
        return;
      }
      int fd = retry_eintr(
          [&] { return ::accept4(admin->listener.fd, nullptr, nullptr, SOCK_CLOEXEC); });
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          wait_fd(admin->wake_read.fd, POLLIN, -1, deadline_after_ms(10));
        }
        continue;
      }
      serve_connection(admin, unique_fd(fd));
    }
  } catch (...) {
    write_error_cause("Error in admin socket", "admin socket", current_exception_text(), true);
  }
}

}  // namespace

std::string serve_admin_request(std::string_view line) {
  std::vector<std::string> fields = split_fields(line);
  const bool json = fields[0] == "json";
  if (fields.size() < 2 || (!json && fields[0] != "text")) {
    count_admin_operation(admin_op_kind::other, false);
    return "refused malformed request: <text|json> TAB <operation> [TAB <argument>]...\n";
  }
  fields.erase(fields.begin());
  std::string request = fields[0];
  for (size_t i = 1; i < fields.size(); ++i) request += " " + fields[i];
  admin_result r;
  try {
    r = run_operation(fields);
  } catch (const std::exception& e) {
    r = admin_refusal(std::string("failed, nothing changed: ") + e.what());
  }
  write_log("ADM", printable(request) + (r.ok ? ": " : " refused: ") + printable(r.message));
  count_admin_operation(op_kind(fields[0]), r.ok);
  return (r.ok ? std::string("ok") : "refused " + printable(r.message)) + "\n" +
         (json ? r.json + "\n" : r.text);
}

void start_admin_socket(const std::string& path, admin_socket* admin) {
  sockaddr_un addr;
  if (!make_address(path, &addr)) {
    throw io_error("admin socket path \"" + path + "\" is empty or longer than " +
                   std::to_string(sizeof addr.sun_path - 1) + " bytes");
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) throw io_error(path + " exists and is not a socket");
    if (socket_answers(addr)) throw io_error(path + " is served by another running server");
    ::unlink(path.c_str());  // left by a server that was killed
  }
  unique_fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (listener.fd < 0) throw io_error(errno_message("cannot create socket", path));
  if (::bind(listener.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    throw io_error(errno_message("cannot bind", path));
  }
  // Nobody can connect before listen(), so the mode is right before the first client.
  if (::chmod(path.c_str(), 0600) != 0 || ::listen(listener.fd, 16) != 0) {
    std::string why = errno_message("cannot set up", path);
    ::unlink(path.c_str());
    throw io_error(why);
  }
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    ::unlink(path.c_str());
    throw io_error(errno_message("pipe", "admin socket"));
  }
  admin->path = path;
  admin->listener = std::move(listener);
  admin->wake_read = unique_fd(pipe_fds[0]);
  admin->wake_write = unique_fd(pipe_fds[1]);
  admin->thread = std::thread(admin_thread, admin);
}

void stop_admin_socket(admin_socket* admin) {
  if (!admin->thread.joinable()) return;
  char wake = 1;
  (void)!::write(admin->wake_write.fd, &wake, 1);
  admin->thread.join();
  admin->listener = unique_fd();
  ::unlink(admin->path.c_str());
}
