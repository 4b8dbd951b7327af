#include "tests/support/browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "lib/file_io.h"
#include "lib/json.h"
#include "tests/support/json_reader.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One browser run (start, load, render, screenshot) takes 5 to 10 s here; past this it is
// killed with its whole process group and the check fails.
constexpr auto browser_time_limit = 45s;
// One DevTools command answers within milliseconds; a page's script gets this long.
constexpr auto devtools_reply_limit = 60s;

std::string read_or_empty(const std::string& path) {
  return file_exists(path) ? read_file(path) : "";
}

// Waits for `pid` until `limit`, then kills its process group. Returns the wait status, or -1
// when it had to be killed.
int wait_or_kill_group(pid_t pid, std::chrono::steady_clock::duration limit) {
  const auto kill_at = std::chrono::steady_clock::now() + limit;
  int status = 0;
  bool killed = false;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) break;
    if (!killed && std::chrono::steady_clock::now() > kill_at) {
      kill(-pid, SIGKILL);
      killed = true;
    }
    std::this_thread::sleep_for(20ms);
  }
  // Helpers the browser left behind (renderers, zygote) go with it; as the subreaper of this
  // process's descendants we reap them too, so that none is left even as a zombie.
  kill(-pid, SIGKILL);
  while (waitpid(-pid, nullptr, 0) > 0 || errno == EINTR) {
  }
  return killed ? -1 : status;
}

}  // namespace

std::string chromium_path() {
  const char* env = getenv("ZTS_CHROMIUM");
  return env != nullptr && *env != '\0' ? env : "/usr/bin/chromium";
}

std::string browser_artifact_dir() {
  return std::string(ZTS_BUILD_DIR) + "/browser_artifacts";
}

browser_page render(const std::string& url, const std::string& name,
                    const std::vector<std::string>& extra) {
  temp_dir profile;
  const std::string dom_path = browser_artifact_dir() + "/" + name + ".html";
  const std::string png_path = browser_artifact_dir() + "/" + name + ".png";
  const std::string log_path = browser_artifact_dir() + "/" + name + ".log";
  fs::remove(dom_path);
  fs::remove(png_path);
  std::vector<std::string> argv = {chromium_path(),
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--disable-quic",
                                   "--user-data-dir=" + profile.path,
                                   "--hide-scrollbars",
                                   "--window-size=1024,600",
                                   "--screenshot=" + png_path,
                                   "--dump-dom"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.push_back(url);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int out = open(dom_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(127);
    dup2(out, 1);
    dup2(err, 2);
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);  // also here, so that the group exists before any kill
  const int status = wait_or_kill_group(pid, browser_time_limit);
  browser_page page;
  page.finished = status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  page.dom = read_or_empty(dom_path);
  EXPECT_TRUE(page.finished) << "chromium "
                             << (status < 0 ? "was killed after the time limit" : "failed")
                             << " for " << url << "; see " << log_path;
  const std::string png = read_or_empty(png_path);
  EXPECT_GT(png.size(), 2000u) << png_path;
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1A\n") << png_path;
  return page;
}

std::string text_of(const std::string& html) {
  std::string text;
  bool in_tag = false;
  for (char c : html) {
    if (c == '<') in_tag = true;
    text += in_tag ? ' ' : c;
    if (c == '>') in_tag = false;
  }
  const std::pair<const char*, const char*> entities[] = {{"&lt;", "<"},     {"&gt;", ">"},
                                                          {"&quot;", "\""},  {"&nbsp;", " "},
                                                          {"\xC2\xA0", " "}, {"&amp;", "&"}};
  for (const auto& [from, to] : entities) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1)) {
      text.replace(at, strlen(from), to);
    }
  }
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\n' || c == '\t' || c == '\r';
    if (blank && (out.empty() || out.back() == ' ')) continue;
    out += blank ? ' ' : c;
  }
  return out;
}

std::string link_target(const std::string& dom, const std::string& page_url,
                        const std::string& prefix) {
  size_t at = dom.find("href=\"" + prefix);
  if (at == std::string::npos) return "";
  at += 6;
  std::string href = dom.substr(at, dom.find('"', at) - at);
  for (size_t amp = href.find("&amp;"); amp != std::string::npos; amp = href.find("&amp;")) {
    href.replace(amp, 5, "&");
  }
  const std::string dir = page_url.substr(0, page_url.rfind('/', page_url.find('?')) + 1);
  return dir + href;
}

::testing::AssertionResult in_order(const std::string& text,
                                    const std::vector<std::string>& parts) {
  size_t from = 0;
  for (const std::string& part : parts) {
    size_t at = text.find(part, from);
    if (at == std::string::npos) {
      return ::testing::AssertionFailure()
             << "\"" << part << "\" missing after offset " << from << " in:\n"
             << text;
    }
    from = at + part.size();
  }
  return ::testing::AssertionSuccess();
}

browser_session::browser_session(int width, int height) {
  profile_ = fs::temp_directory_path() / ("zts-browser-" + std::to_string(getpid()) + "-" +
                                          std::to_string(reinterpret_cast<uintptr_t>(this)));
  fs::create_directories(profile_);
  fs::create_directories(browser_artifact_dir());
  int in[2], out[2];  // in: we write commands, the browser reads them; out: the other way
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const std::string log_path = browser_artifact_dir() + "/devtools_session.log";
  std::vector<std::string> argv = {
      chromium_path(),
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--disable-quic",
      "--hide-scrollbars",
      "--remote-debugging-pipe",
      "--user-data-dir=" + profile_,
      "--window-size=" + std::to_string(width) + "," + std::to_string(height),
      "about:blank"};
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The browser reads commands from descriptor 3 and writes replies to 4.
    int command = fcntl(in[0], F_DUPFD, 10), reply = fcntl(out[1], F_DUPFD, 10);
    if (command < 0 || reply < 0 || dup2(command, 3) < 0 || dup2(reply, 4) < 0) _exit(127);
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  setpgid(pid_, pid_);
  close(in[0]);
  close(out[1]);
  to_browser_ = in[1];
  from_browser_ = out[0];

  const json_value targets = call("Target.getTargets", "{}", false);
  std::string target;
  for (const json_value& t : targets["targetInfos"].items) {
    if (t["type"].text == "page") target = t["targetId"].text;
  }
  if (target.empty()) throw std::runtime_error("DevTools: no page to attach to");
  const json_value attached =
      call("Target.attachToTarget",
           "{\"targetId\":\"" + json_escape(target) + "\",\"flatten\":true}", false);
  if (attached["sessionId"].text.empty()) {
    throw std::runtime_error("DevTools: cannot attach to the page");
  }
  session_ = attached["sessionId"].text;
}

browser_session::~browser_session() {
  if (to_browser_ >= 0) close(to_browser_);
  if (from_browser_ >= 0) close(from_browser_);
  if (pid_ > 0) wait_or_kill_group(pid_, 0s);
  std::error_code ignored;
  fs::remove_all(profile_, ignored);
}

// Sends one command and returns the "result" member of its reply (null for an error reply).
// Events and other replies that arrive meanwhile are skipped.
json_value browser_session::call(const std::string& method, const std::string& params,
                                 bool in_page) {
  const int id = next_id_++;
  std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
                        "\",\"params\":" + params +
                        (in_page ? ",\"sessionId\":\"" + json_escape(session_) + "\"" : "") + "}";
  message.push_back('\0');
  for (size_t sent = 0; sent < message.size();) {
    ssize_t n = write(to_browser_, message.data() + sent, message.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("DevTools: the browser is gone");
    sent += static_cast<size_t>(n);
  }
  const auto give_up = std::chrono::steady_clock::now() + devtools_reply_limit;
  const std::string id_mark = "{\"id\":" + std::to_string(id) + ",";
  for (;;) {
    for (size_t end = pending_.find('\0'); end != std::string::npos; end = pending_.find('\0')) {
      std::string reply = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!reply.starts_with(id_mark)) continue;
      json_value parsed;
      std::string error;
      if (!parse_json(reply, &parsed, &error)) return {};
      return parsed["result"];
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        give_up - std::chrono::steady_clock::now());
    pollfd p{from_browser_, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("DevTools: no reply to " + method);
    }
    char buf[65536];
    ssize_t n = read(from_browser_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("DevTools: the browser is gone");
    pending_.append(buf, static_cast<size_t>(n));
  }
}

void browser_session::navigate(const std::string& url) {
  call("Page.navigate", "{\"url\":\"" + json_escape(url) + "\"}", true);
}

std::string browser_session::evaluate(const std::string& expression) {
  const std::string wrapped = "Promise.resolve((" + expression + ")).then(JSON.stringify)";
  const json_value reply = call("Runtime.evaluate",
                                "{\"expression\":\"" + json_escape(wrapped) +
                                    "\",\"awaitPromise\":true,\"returnByValue\":true}",
                                true);
  const json_value& value = reply["result"]["value"];
  return reply["exceptionDetails"].is_null() && value.kind == json_value::string_kind ? value.text
                                                                                      : "";
}

std::string browser_session::wait_for(const std::string& expression,
                                      std::chrono::milliseconds limit) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::string value = evaluate(expression);
    if (value != "" && value != "null" && value != "false" && value != "0" && value != "\"\"") {
      return value;
    }
    if (std::chrono::steady_clock::now() > give_up) return "";
    std::this_thread::sleep_for(50ms);
  }
}
