#include "tests/faults/fault_support.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>

#include "lib/asys.h"
#include "lib/conv.h"
#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/save_writer.h"

namespace {

std::string system_error(const std::string& what) {
  return what + ": " + strerror(errno);
}

bool loopback_up(std::string* why) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    *why = system_error("socket");
    return false;
  }
  ifreq req{};
  strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  if (ok) {
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    ok = ::ioctl(fd, SIOCSIFFLAGS, &req) == 0;
  }
  if (!ok) *why = system_error("bringing up lo");
  ::close(fd);
  return ok;
}

}  // namespace

bool isolate_process(std::string* why) {
  if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    *why = system_error("unshare (network and mount namespaces)");
    return false;
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = system_error("making mounts private");
    return false;
  }
  if (!loopback_up(why)) return false;
  // The server listens on the host name's first address; outside 127/8 it must exist here too.
  const std::string ip = host_ipv4();
  if (!ip.starts_with("127.")) {
    std::string out;
    if (run_command("ip addr add " + ip + "/32 dev lo", &out) != 0) {
      *why = "cannot add " + ip + " to lo: " + out;
      return false;
    }
  }
  return true;
}

bool mount_small_tmpfs(const std::string& dir, size_t bytes, std::string* why) {
  const std::string options = "size=" + std::to_string(bytes);
  if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    *why = system_error("mount -t tmpfs -o " + options + " " + dir);
    return false;
  }
  return true;
}

child_server::~child_server() {
  if (pid > 0) stop_server_process(this, SIGKILL);
}

void start_server_process(child_server* server, const std::string& binary, const std::string& dir) {
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(system_error("fork"));
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the run that started it
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    if (::chdir(dir.c_str()) == 0) ::execl(binary.c_str(), binary.c_str(), nullptr);
    ::_exit(127);
  }
  server->pid = pid;
}

int stop_server_process(child_server* server, int signal) {
  int status = 0;
  if (server->pid <= 0) return status;
  ::kill(server->pid, signal);
  while (::waitpid(server->pid, &status, 0) < 0 && errno == EINTR) {
  }
  server->pid = -1;
  return status;
}

bool wait_until_serving(int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const client_options options{.host = host_ipv4(), .source_ip = "", .timeout_ms = 2000};
  while (std::chrono::steady_clock::now() < end) {
    try {
      if (game_get(80, "?op=777", options).body == "ZTNS") return true;
    } catch (const std::exception&) {
      // Not listening yet.
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string move_save(const std::string& name, const std::string& server_id, int32_t plr_cnt,
                      int32_t turn, int32_t curplr, size_t body_bytes, uint32_t seed,
                      bool final_move) {
  save_recipe upload = sample_save_recipe(plr_cnt);
  for (int32_t i = 0; i < plr_cnt && final_move; ++i) upload.game.plrs[i].out_flag = i != curplr;
  upload.game.name = name;
  upload.game.server_id = server_id;
  upload.game.turn = turn;
  upload.game.curplr = curplr;
  upload.game.save_time = static_cast<int32_t>(server_clock());
  std::mt19937 random(seed);
  upload.body.resize(body_bytes);
  // Random bytes do not compress: the stored save is about as large as the body.
  for (size_t i = 0; i < body_bytes; ++i) upload.body[i] = static_cast<char>(random() & 0xFF);
  return write_save(upload);
}

bool parse_game_list(std::string_view body, std::vector<listed_game>* out) {
  out->clear();
  size_t pos = 0;
  auto line = [&](std::string* text) {
    size_t end = body.find('\n', pos);
    if (end == std::string_view::npos) return false;
    *text = std::string(body.substr(pos, end - pos));
    pos = end + 1;
    return true;
  };
  std::string text;
  if (!line(&text) || text != "ZTXS" || !line(&text)) return false;
  const int32_t count = str_to_int(text);
  for (int32_t i = 0; i < count; ++i) {
    if (!line(&text) || !text.starts_with("game_")) return false;
    out->push_back({str_to_int(text.substr(5)), {}, {}});
  }
  // Blocks follow in the order of the ids: "x9", then x1..x4, each "<tag> <len>\n", the text
  // of that length and an LF.
  for (listed_game& g : *out) {
    if (!line(&text) || text != "x9") return false;
    for (int part = 1; part <= 4; ++part) {
      if (!line(&text) || !text.starts_with("x" + std::to_string(part) + " ")) return false;
      size_t len = static_cast<size_t>(str_to_int(text.substr(3)));
      if (pos + len >= body.size() || body[pos + len] != '\n') return false;
      std::string value(body.substr(pos, len));
      pos += len + 1;
      if (part == 1) g.name = value;
      if (part == 4) g.state = value;
    }
  }
  return pos == body.size();
}

std::string admin_request(const std::string& path, const std::string& line) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return "";
  std::memcpy(addr.sun_path, path.data(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return "";
  }
  std::string request = line + "\n";
  std::string reply;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      reply.append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return reply.empty() ? "<no reply>" : reply;
}

int run_command(const std::string& command, std::string* output) {
  command_result r = run_command(command, command_stderr::captured);
  *output = std::move(r.out);
  return r.signal ? 128 + r.signal : r.status;
}

std::vector<std::string> error_lines(std::string_view text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (line.find(":[ERR ") != std::string_view::npos) lines.emplace_back(line);
    pos = end + 1;
  }
  return lines;
}
