// The operators' status pages and the example game-list page (web/games.html), rendered by a
// real browser (headless Chromium) against the real binary on port 80.
//
// A first run of the server gets its games through the protocol (op=8 creates, op=27 turns);
// a second run loads them from disk and refreshes them once, so the pages show loaded games with
// their measured age. The browser's rendered DOM (--dump-dom) is compared as text: it is UTF-8
// whatever the page's charset, so the Cyrillic expectations below are UTF-8 and prove that the
// browser honoured the pages' windows-1251 label. Screenshots of every page are kept under
// <build>/browser_artifacts/.
//
// Chromium is required: set ZTS_CHROMIUM to use another binary than /usr/bin/chromium.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "lib/file_io.h"
#include "tests/support/http_client.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One browser run (start, load, render) may take this long before it is killed.
constexpr const char* browser_time_limit_s = "120";
// Other test runs on this machine may hold port 80 for a while; wait this long for it.
constexpr auto port_wait = 600s;
// The server writes "Running ..." and its first "Status refresh." within a few seconds.
constexpr auto server_start_wait = 30s;
constexpr uint16_t server_port = 80;

const std::string server_binary = std::string(ZTS_BUILD_DIR) + "/zts_server";
const std::string artifact_dir = std::string(ZTS_BUILD_DIR) + "/browser_artifacts";

std::string chromium_path() {
  const char* env = getenv("ZTS_CHROMIUM");
  return env != nullptr && *env != '\0' ? env : "/usr/bin/chromium";
}

std::string read_or_empty(const std::string& path) {
  return file_exists(path) ? read_file(path) : "";
}

// Runs `argv` to its end and returns what it wrote to stdout; stderr goes to `stderr_path`.
std::string run_program(const std::vector<std::string>& argv, const std::string& stderr_path,
                        int* exit_status) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out[1], 1);
    int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err >= 0) dup2(err, 2);
    close(out[0]);
    close(out[1]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  *exit_status = status;
  return text;
}

// Headless Chromium with a fresh profile for every run.
std::string run_browser(const std::vector<std::string>& args) {
  temp_dir profile;
  std::vector<std::string> argv = {"/usr/bin/timeout",
                                   browser_time_limit_s,
                                   chromium_path(),
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--disable-quic",
                                   "--user-data-dir=" + profile.path};
  argv.insert(argv.end(), args.begin(), args.end());
  int status = 0;
  std::string out = run_program(argv, artifact_dir + "/chromium.log", &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "chromium failed (status " << status << ") for " << args.back() << "; see " << artifact_dir
      << "/chromium.log";
  return out;
}

std::string render_dom(const std::string& url) {
  return run_browser({"--dump-dom", url});
}

void take_screenshot(const std::string& url, const std::string& name) {
  const std::string path = artifact_dir + "/" + name;
  fs::remove(path);
  run_browser({"--hide-scrollbars", "--window-size=1024,600", "--screenshot=" + path, url});
  const std::string png = read_or_empty(path);
  EXPECT_GT(png.size(), 2000u) << path;
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1A\n") << path;
}

// The visible text of serialized HTML: tags dropped, the five entities the serializer writes
// decoded (a no-break space becomes a blank).
std::string text_of(const std::string& html) {
  std::string text;
  bool in_tag = false;
  for (char c : html) {
    if (c == '<') in_tag = true;
    if (!in_tag) text += c;
    if (c == '>') in_tag = false;
  }
  const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&nbsp;", " "}, {"&amp;", "&"}};
  for (const auto& [from, to] : entities) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1)) {
      text.replace(at, strlen(from), to);
    }
  }
  for (size_t at = text.find("\xC2\xA0"); at != std::string::npos; at = text.find("\xC2\xA0")) {
    text.replace(at, 2, " ");
  }
  return text;
}

// The href of the first link whose attribute begins with `prefix` (as serialized: "&amp;"),
// made absolute against the page it is on, or "" when there is none.
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

// The pieces of `text` in order: each must follow the one before it.
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

bool port_in_use(const std::string& ip) {
  try {
    client_options options;
    options.host = ip;
    options.timeout_ms = 1000;
    connect_to(server_port, options);
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

// The real binary, started in `dir`, stopped with SIGTERM at the end of the scope.
struct server_process {
  server_process(const std::string& dir, const std::string& ip) : log_path(dir + "/zts.log") {
    const auto give_up = std::chrono::steady_clock::now() + port_wait;
    for (;;) {
      while (port_in_use(ip)) {
        if (std::chrono::steady_clock::now() > give_up) throw std::runtime_error("port 80 busy");
        std::this_thread::sleep_for(1s);
      }
      start(dir);
      std::string log = wait_for_log("Running 150624-1");
      if (log.find("Boom...") == std::string::npos) return;
      stop();  // another server took the port between the check and the bind: wait again
      fs::remove(log_path);
    }
  }
  ~server_process() { stop(); }
  server_process(const server_process&) = delete;
  server_process& operator=(const server_process&) = delete;

  void start(const std::string& dir) {
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      if (chdir(dir.c_str()) != 0) _exit(127);
      int out = open("console.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(out, 1);
      dup2(out, 2);
      execl(server_binary.c_str(), server_binary.c_str(), nullptr);
      _exit(127);
    }
  }

  void stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    const auto kill_at = std::chrono::steady_clock::now() + 60s;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > kill_at) kill(pid, SIGKILL);
      std::this_thread::sleep_for(50ms);
    }
    pid = -1;
  }

  // The event log once it holds `line`; throws when it does not in time.
  std::string wait_for_log(const std::string& line) const {
    const auto give_up = std::chrono::steady_clock::now() + server_start_wait;
    for (;;) {
      std::string log = read_or_empty(log_path);
      if (log.find(line) != std::string::npos) return log;
      if (std::chrono::steady_clock::now() > give_up || waitpid(pid, nullptr, WNOHANG) != 0) {
        throw std::runtime_error("no \"" + line + "\" in " + log_path + ":\n" + log);
      }
      std::this_thread::sleep_for(50ms);
    }
  }

  std::string log_path;
  pid_t pid = -1;
};

// A game client's upload: the save as a form file part.
std::string upload_request(int op, const std::string& save) {
  const std::string boundary = "------------------------zts7e1f";
  const std::string body =
      boundary +
      "\r\nContent-Disposition: form-data; name=\"file\"; "
      "filename=\"game.zts\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
      save + "\r\n" + boundary + "--\r\n";
  return "POST /gameserver_v2.php?op=" + std::to_string(op) +
         " HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=" + boundary.substr(2) +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void send_save(const std::string& ip, int op, const gametyp& game) {
  client_options options;
  options.host = ip;
  http_reply r = http_exchange(server_port, upload_request(op, write_save(game)), options);
  ASSERT_EQ(r.status, "200 OK");
  ASSERT_EQ(r.body, op == 8 ? "ZTXS\n00\nOK\n" : "ZTXS\n00\nOk\n");
}

// Windows-1251 texts for the saves (the protocol carries them so).
const std::string battle_cp1251 = "\xC1\xE8\xF2\xE2\xE0_\xF3_\xF0\xE5\xEA\xE8";  // Битва_у_реки
const std::string reds_cp1251 = "\xCA\xF0\xE0\xF1\xED\xFB\xE5";                  // Красные
const std::string descr_cp1251 = "\xD2\xF0\xE8 \xE8\xE3\xF0\xEE\xEA\xE0";  // Три игрока
const std::string tricky_name = "Say \"hi\" </script> & <b>bold</b>";

// Through the protocol: game_0 in play at turn 1, player 0 to move (player 1 out, the last save
// 36 hours old),
// game_1 finished (player 1 out at once), game_2 created with an opening phase.
void create_games(const std::string& ip) {
  const int32_t now = static_cast<int32_t>(time(nullptr));

  gametyp battle = sample_game(3);
  battle.name = battle_cp1251;
  battle.descr = descr_cp1251;
  battle.plrs[0].team_name = reds_cp1251;
  battle.plrs[1].team_name = "Blue";
  battle.plrs[2].team_name = "Green";
  battle.save_time = now - 7200;
  send_save(ip, 8, battle);
  battle.server_id = "game_0";
  battle.plrs[1].out_flag = true;
  for (auto [turn, curplr] : {std::pair{0, 0}, {0, 2}}) {
    battle.turn = turn;
    battle.curplr = curplr;
    battle.save_time = now - 129600;
    send_save(ip, 27, battle);
  }

  gametyp tricky = sample_game(2);
  tricky.name = tricky_name;
  tricky.plrs[0].team_name = "Alpha";
  tricky.plrs[1].team_name = "Beta";
  tricky.save_time = now - 600;
  send_save(ip, 8, tricky);
  tricky.server_id = "game_1";
  tricky.plrs[1].out_flag = true;
  send_save(ip, 27, tricky);

  gametyp opening = sample_game(2);
  opening.name = "plain_game";
  opening.moratorium = 3;
  opening.save_time = now - 600;
  send_save(ip, 8, opening);
}

class Browser : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(access(chromium_path().c_str(), X_OK), 0)
        << "Chromium is required for the browser checks and was not found at " << chromium_path()
        << " (install the chromium package or set ZTS_CHROMIUM)";
    ASSERT_TRUE(file_exists(server_binary)) << server_binary << " is not built";
    fs::create_directories(artifact_dir);
    ip = host_ipv4();
    dir = std::make_unique<temp_dir>();
    {
      server_process first(dir->path, ip);
      create_games(ip);
    }
    fs::rename(dir->file("zts.log"), dir->file("zts-first-run.log"));
    server = std::make_unique<server_process>(dir->path, ip);
    server->wait_for_log("Status refresh.");
  }
  static void TearDownTestSuite() {
    server.reset();
    dir.reset();
  }

  static std::string page_url(const std::string& query) {
    return "http://" + ip + "/ztsv_log.php" + query;
  }

  static inline std::string ip;
  static inline std::unique_ptr<temp_dir> dir;
  static inline std::unique_ptr<server_process> server;
};

const std::string games_header = "Партии Обновить Имя Ход Следующий";
const std::string battle_row = "Битва у реки 1 Красные";
const std::string tricky_row = "Say \"hi\" </script> & <b>bold</b> Выс. [Alpha]";
const std::string opening_row = "plain game Выс. Team 1";

// Runs of blanks and line ends in the rendered text become one blank.
std::string squeezed(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\n' || c == '\t' || c == '\r';
    if (blank && (out.empty() || out.back() == ' ')) continue;
    out += blank ? ' ' : c;
  }
  return out;
}

TEST_F(Browser, GamesPageLinksToDetailsAndBack) {
  ASSERT_TRUE(server);
  const std::string url = page_url("");
  const std::string dom = render_dom(url);
  EXPECT_TRUE(
      in_order(squeezed(text_of(dom)), {games_header, opening_row, battle_row, tricky_row}));
  EXPECT_EQ(dom.find("<b>bold"), std::string::npos) << "a game name became markup";
  take_screenshot(url, "status_games.png");

  const std::string details_url = link_target(dom, url, "ztsv_log.php?mode=2&amp;pm=0&amp;id=1");
  ASSERT_EQ(details_url, page_url("?mode=2&pm=0&id=1"));
  const std::string details = render_dom(details_url);
  EXPECT_TRUE(
      in_order(squeezed(text_of(details)), {"Назад", "Имя: " + tricky_name, "Состояние: Завершена",
                                            "Игроки:Alpha Beta", "Победил: Alpha"}));
  EXPECT_TRUE(in_order(details, {"<s>Beta</s>"}));

  const std::string back_url = link_target(details, details_url, "ztsv_log.php?mode=");
  ASSERT_EQ(back_url, page_url("?mode=0"));
  EXPECT_TRUE(in_order(squeezed(text_of(render_dom(back_url))), {games_header, opening_row}));
}

TEST_F(Browser, AllGamesPageAndDetails) {
  ASSERT_TRUE(server);
  const std::string url = page_url("?mode=1");
  const std::string dom = render_dom(url);
  EXPECT_TRUE(in_order(squeezed(text_of(dom)),
                       {"Все партии Имя Ход Следующий", opening_row, tricky_row, battle_row}));
  take_screenshot(url, "status_all.png");

  const std::string details_url = link_target(dom, url, "ztsv_log.php?mode=2&amp;pm=1&amp;id=0");
  ASSERT_EQ(details_url, page_url("?mode=2&pm=1&id=0"));
  const std::string details = render_dom(details_url);
  EXPECT_TRUE(in_order(
      squeezed(text_of(details)),
      {"Назад", "Имя: Битва у реки", "Состояние: Идёт", "Карта: Test Map", "Набор: default",
       "Нач. Золота: 5000", "Ресурсы: 2", "Мораторий: 0", "Последний ход: 1.5 дней назад",
       "Игроки:Красные Blue Green", "Ходит: Красные", "Правила:", "+ Отладка", "- Топливо",
       "+ Выст. топливо", "- Загр. на площадках", "Описание:", "Три игрока"}));
  EXPECT_TRUE(in_order(details, {"<s>Blue</s>"}));
  take_screenshot(details_url, "status_game.png");

  const std::string back_url = link_target(details, details_url, "ztsv_log.php?mode=");
  ASSERT_EQ(back_url, page_url("?mode=1"));
  EXPECT_TRUE(in_order(squeezed(text_of(render_dom(back_url))), {"Все партии", opening_row}));
}

TEST_F(Browser, FallbackPage) {
  ASSERT_TRUE(server);
  const std::string url = page_url("?mode=7");
  EXPECT_TRUE(in_order(squeezed(text_of(render_dom(url))), {"Бобик сдох11754"}));
  take_screenshot(url, "status_none.png");
}

// The example page loads op=666 through a script tag and shows every game.
TEST_F(Browser, ExampleGameListPage) {
  ASSERT_TRUE(server);
  const std::string url = "file://" +
                          fs::canonical(std::string(ZTS_SOURCE_DIR) + "/web/games.html").string() +
                          "?server=" + ip;
  const std::string dom = render_dom(url);
  EXPECT_TRUE(in_order(squeezed(text_of(dom)),
                       {"Партии Имя Ход Следующий", opening_row, battle_row, tricky_row}));
  EXPECT_TRUE(in_order(dom, {"id=\"game_2\"", "id=\"game_0\"", "id=\"game_1\""}));
  EXPECT_EQ(dom.find("<b>bold"), std::string::npos) << "a game name became markup";
  EXPECT_EQ(dom.find("Загрузка"), std::string::npos) << "the list never arrived";
  take_screenshot(url, "web_games.png");
}

}  // namespace
