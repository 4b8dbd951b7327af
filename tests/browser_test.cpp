// The operators' status pages and the example game-list page (web/games.html), rendered by a
// real browser (headless Chromium) against the real binary on port 80.
//
// The suite runs in a network namespace of its own (when it may create one, as root does), so
// the binary's fixed port 80 never meets another server on this machine; the server and every
// browser run are started from that namespace and share it. A first run of the server gets its
// games through the protocol (op=8 creates, op=27 turns); a second run loads them from disk and
// refreshes them once, so the pages show loaded games with their measured age.
//
// The browser's rendered DOM (--dump-dom) is compared as text: it is UTF-8 whatever the page's
// charset, so the Cyrillic expectations below are UTF-8 and prove that the browser honoured the
// pages' windows-1251 label. Every page's DOM and screenshot are kept under
// <build>/browser_artifacts/ (tests/support/browser.h).
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
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
#include "tests/support/browser.h"
#include "tests/support/game_client.h"
#include "tests/support/http_client.h"
#include "tests/support/real_server.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Without a namespace of our own, another test's server may hold port 80 for a while.
constexpr auto port_wait = 60s;
// The server writes "Running ..." and its first "Status refresh." within a few seconds.
constexpr auto server_start_wait = 30s;
// SIGTERM lets requests in flight finish; past this the server is killed.
constexpr auto server_stop_wait = 15s;
constexpr uint16_t server_port = 80;

const std::string server_binary = server_binary_path();

// What the server wrote to its console (sanitizer reports included), for failure messages.
std::string console_of(const std::string& dir) {
  const std::string path = dir + "/console.txt";
  return file_exists(path) ? read_file(path) : "";
}

void send_save(const std::string& ip, int op, const gametyp& game) {
  client_options options;
  options.host = ip;
  http_reply r = post_save(server_port, op, write_save(game), options);
  ASSERT_EQ(r.status, "200 OK");
  ASSERT_EQ(r.body, op == 8 ? "ZTXS\n00\nOK\n" : "ZTXS\n00\nOk\n");
}

// Windows-1251 texts for the saves (the protocol carries them so).
const std::string battle_cp1251 = "\xC1\xE8\xF2\xE2\xE0_\xF3_\xF0\xE5\xEA\xE8";  // Битва_у_реки
const std::string reds_cp1251 = "\xCA\xF0\xE0\xF1\xED\xFB\xE5";                  // Красные
const std::string descr_cp1251 = "\xD2\xF0\xE8 \xE8\xE3\xF0\xEE\xEA\xE0";  // Три игрока
const std::string tricky_name = "Say \"hi\" </script> & <b>bold</b>";

// A player's colour as the page shows it, "#RRGGBB" (the save stores the bytes reversed).
void paint(plrtyp& player, uint32_t rgb) {
  player.color_bytes = {static_cast<uint8_t>(rgb), static_cast<uint8_t>(rgb >> 8),
                        static_cast<uint8_t>(rgb >> 16)};
}

// Through the protocol: game_0 in play at turn 1, player 0 to move (player 1 out, the last save
// 36 hours old), game_1 finished (player 1 out at once), game_2 created with an opening phase.
void create_games(const std::string& ip) {
  const int32_t now = static_cast<int32_t>(time(nullptr));

  gametyp battle = sample_game(3);
  battle.name = battle_cp1251;
  battle.descr = descr_cp1251;
  battle.plrs[0].team_name = reds_cp1251;
  battle.plrs[1].team_name = "Blue";
  battle.plrs[2].team_name = "Green";
  paint(battle.plrs[0], 0xFF5040);
  paint(battle.plrs[1], 0x4090FF);
  paint(battle.plrs[2], 0x40C040);
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
  paint(tricky.plrs[0], 0xFFD040);
  paint(tricky.plrs[1], 0xC060FF);
  tricky.save_time = now - 600;
  send_save(ip, 8, tricky);
  tricky.server_id = "game_1";
  tricky.plrs[1].out_flag = true;
  send_save(ip, 27, tricky);

  gametyp opening = sample_game(2);
  opening.name = "plain_game";
  opening.moratorium = 3;
  paint(opening.plrs[0], 0x40E0E0);
  paint(opening.plrs[1], 0xFF5040);
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
    fs::create_directories(browser_artifact_dir());
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    ip = host_ipv4();
    network = std::make_unique<private_network>();
    ASSERT_TRUE(!network->entered || network->error.empty()) << network->error;
    options.start_wait = server_start_wait;
    options.stop_wait = server_stop_wait;
    if (!network->entered) {
      options.wait_for_port_on = ip;
      options.port_wait = port_wait;
    }
    dir = std::make_unique<temp_dir>();
    {
      server_process first(dir->path, options);
      create_games(ip);
      first.stop();
      EXPECT_TRUE(first.stopped_cleanly()) << console_of(dir->path);
    }
    fs::rename(dir->file("zts.log"), dir->file("zts-first-run.log"));
    server = std::make_unique<server_process>(dir->path, options);
    server->wait_for_log("Status refresh.");
  }
  static void TearDownTestSuite() {
    if (server) {
      server->stop();
      EXPECT_TRUE(server->stopped_cleanly()) << console_of(dir->path);
    }
    server.reset();
    dir.reset();
    network.reset();
  }

  static std::string page_url(const std::string& query) {
    return "http://" + ip + "/ztsv_log.php" + query;
  }

  static inline std::string ip;
  static inline std::unique_ptr<private_network> network;
  static inline process_options options;
  static inline std::unique_ptr<temp_dir> dir;
  static inline std::unique_ptr<server_process> server;
};

const std::string games_header = "Партии Обновить Имя Ход Следующий";
const std::string battle_row = "Битва у реки 1 Красные";
const std::string tricky_row = "Say \"hi\" </script> & <b>bold</b> Выс. [Alpha]";
const std::string opening_row = "plain game Выс. Team 1";

TEST_F(Browser, GamesPageLinksToDetailsAndBack) {
  ASSERT_TRUE(server);
  const std::string url = page_url("");
  const std::string dom = render(url, "status_games").dom;
  EXPECT_TRUE(in_order(text_of(dom), {games_header, opening_row, battle_row, tricky_row}));
  EXPECT_EQ(dom.find("<b>bold"), std::string::npos) << "a game name became markup";

  const std::string details_url = link_target(dom, url, "ztsv_log.php?mode=2&amp;pm=0&amp;id=1");
  ASSERT_EQ(details_url, page_url("?mode=2&pm=0&id=1"));
  // It ended at turn 0, and the state of a game at turn 0 reads "Высадка" whatever its status.
  const std::string details = render(details_url, "status_game_finished").dom;
  EXPECT_TRUE(in_order(text_of(details), {"Назад", "Имя: " + tricky_name, "Состояние: Высадка",
                                          "Игроки: Alpha Beta", "Победил: Alpha"}));
  EXPECT_TRUE(in_order(details, {"<font color=\"#C060FF\"><s>Beta</s></font>"}));

  // The back link leads to mode 0: the page above, whose missing mode means 0.
  EXPECT_EQ(link_target(details, details_url, "ztsv_log.php?mode="), page_url("?mode=0"));
}

TEST_F(Browser, AllGamesPageAndDetails) {
  ASSERT_TRUE(server);
  const std::string url = page_url("?mode=1");
  const std::string dom = render(url, "status_all").dom;
  EXPECT_TRUE(in_order(text_of(dom),
                       {"Все партии Имя Ход Следующий", opening_row, tricky_row, battle_row}));

  const std::string details_url = link_target(dom, url, "ztsv_log.php?mode=2&amp;pm=1&amp;id=0");
  ASSERT_EQ(details_url, page_url("?mode=2&pm=1&id=0"));
  const std::string details = render(details_url, "status_game").dom;
  EXPECT_TRUE(in_order(
      text_of(details),
      {"Назад", "Имя: Битва у реки", "Состояние: Идёт", "Карта: Test Map", "Набор: default",
       "Нач. Золота: 5000", "Ресурсы: 2", "Мораторий: 0", "Последний ход: 1.5 дней назад",
       "Игроки: Красные Blue Green", "Ходит: Красные", "Правила:", "+ Отладка", "- Топливо",
       "+ Выст. топливо", "- Загр. на площадках", "Описание:", "Три игрока"}));
  EXPECT_TRUE(in_order(
      details,
      {"<font color=\"#FF5040\">Красные</font>", "<font color=\"#4090FF\"><s>Blue</s></font>",
       "<font color=\"#40C040\">Green</font>", "<font color=\"#FF5040\">Красные</font>"}));

  EXPECT_EQ(link_target(details, details_url, "ztsv_log.php?mode="), page_url("?mode=1"));
}

TEST_F(Browser, FallbackPage) {
  ASSERT_TRUE(server);
  EXPECT_TRUE(
      in_order(text_of(render(page_url("?mode=7"), "status_none").dom), {"Бобик сдох 11754"}));
}

// The example page loads op=666 through a script tag and shows every game.
TEST_F(Browser, ExampleGameListPage) {
  ASSERT_TRUE(server);
  const std::string url = "file://" +
                          fs::canonical(std::string(ZTS_SOURCE_DIR) + "/web/games.html").string() +
                          "?server=" + ip;
  // The list arrives after the page's own load; give its script tag time to run.
  const std::string dom = render(url, "web_games", {"--virtual-time-budget=5000"}).dom;
  EXPECT_TRUE(
      in_order(text_of(dom), {"Партии Имя Ход Следующий", opening_row, battle_row, tricky_row}));
  // Rows in the list's order, each player cell in the colour of the player it names.
  EXPECT_TRUE(
      in_order(dom, {"id=\"game_2\"", "color: rgb(64, 224, 224)", "id=\"game_0\"",
                     "color: rgb(255, 80, 64)", "id=\"game_1\"", "color: rgb(255, 208, 64)"}));
  EXPECT_EQ(dom.find("<b>bold"), std::string::npos) << "a game name became markup";
  EXPECT_EQ(dom.find("Загрузка"), std::string::npos) << "the list never arrived";
}

// The JSON API page fetches /api/games across origins (it runs from disk) and the chosen game's
// stored turns; the browser reads the UTF-8 texts as sent.
TEST_F(Browser, ApiPageShowsGamesAndTheChosenGamesTurns) {
  ASSERT_TRUE(server);
  const std::string url = "file://" +
                          fs::canonical(std::string(ZTS_SOURCE_DIR) + "/web/api.html").string() +
                          "?server=" + ip + "&game=0";
  const std::string dom = render(url, "web_api", {"--virtual-time-budget=5000"}).dom;
  const std::string text = text_of(dom);
  EXPECT_TRUE(
      in_order(text, {"Имя Состояние Ход Ходит Последний ход", "plain game Высадка 0 Team 1",
                      tricky_name + " Окончена 0 [Alpha]", "Битва у реки Идёт 1 Красные"}));
  EXPECT_TRUE(in_order(dom, {"id=\"game_2\"", "id=\"game_1\"", "color: rgb(255, 208, 64)",
                             "id=\"game_0\"", "color: rgb(255, 80, 64)"}));
  EXPECT_TRUE(in_order(text, {"Битва у реки", "Красные Blue Green", "Файл Ход Игрок Размер",
                              "turn_0_0.zts 0 0", "turn_0_2.zts 0 2", "turn_1_0.zts 1 0"}));
  EXPECT_TRUE(in_order(dom, {"class=\"out\"", "Blue"}));
  EXPECT_EQ(dom.find("<b>bold"), std::string::npos) << "a game name became markup";
  EXPECT_EQ(dom.find("Загрузка"), std::string::npos) << "the list never arrived";
  EXPECT_EQ(dom.find("не отвечает: http"), std::string::npos) << "the fetch failed";
}

}  // namespace
