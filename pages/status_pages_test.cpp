#include "pages/status_pages.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "db/game.h"

namespace {

// The expected pages are written out here in full, independently of the builders.
const std::string head =
    "<html>\n"
    " <head>\n"
    "  <meta name=vs_targetSchema content=\"urn:zts:status-pages\">\n"
    "  <style>\n"
    "   A:link { COLOR: navajowhite }\n"
    "   A:visited { COLOR: palegoldenrod }\n"
    "   A:hover { COLOR: gold }\n"
    "   TD.TNotSelected { BACKGROUND-COLOR: #ffffff; CURSOR: hand } \n"
    "   TD.TSelected { BACKGROUND-COLOR: #ffffff; CURSOR: hand }\n"
    "   .dxqmain { FONT-FAMILY: 'Arial Cyr', Arial; FONT-SIZE: 12px; FONT-STYLE: normal; "
    "FONT-VARIANT: normal; TEXT-ALIGN: justify; TEXT-DECORATION: none; }\n"
    "  </style>\n"
    "  <meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">\n"
    "  <meta http-equiv=\"Content-language\" content=\"ru\">\n"
    "  <meta http-equiv=\"X-UA-Compatible\" content=\"IE=EmulateIE7\">\n"
    "  <meta http-equiv=\"refresh\" content=\"60\">\n"
    "  <title>\xCF\xE0\xF0\xF2\xE8\xE8</title>\n"  // Партии
    " </head>\n";

const std::string list_body =
    " <body topmargin=0 leftmargin=0 bgcolor=#000000 text=#D4D6AC link=#ffdead vlink=#eee8aa>\n"
    "  <table class=dxqmain width=100% border=0 cellpadding=0 cellspacing=0> \n";

const std::string s0 =
    "   <tr bgcolor=#333300 height=1><td bgcolor=#000000 width=5></td><td colspan=5 "
    "width=100%></td><td bgcolor=#000000 width=5></td></tr>";

const std::string columns =
    "   <tr>\n"
    "    <td width=5 bgcolor=#333300>&nbsp;</td>\n"
    "    <td width=45% bgcolor=#333300 align=left>\xC8\xEC\xFF</td><td width=2>&nbsp;</td>\n"
    "    <td width=10%  bgcolor=#333300 align=center>\xD5\xEE\xE4</td><td width=2>&nbsp;</td>\n"
    "    <td width=45% bgcolor=#333300 align=center>\xD1\xEB\xE5\xE4\xF3\xFE\xF9\xE8\xE9</td>\n"
    "    <td width=5 bgcolor=#333300>&nbsp;</td>\n"
    "   </tr>\n";

const std::string games_top =
    head + list_body +
    "   <tr>\n"
    "    <td width=5>&nbsp;</td>\n"
    "    <td colspan=6 align=center>\xCF\xE0\xF0\xF2\xE8\xE8</td><td width=1></td>\n"
    "    <td width=5>&nbsp;</td>\n"
    "   </tr>\n"
    "   <tr>\n"
    "    <td width=5>&nbsp;</td>\n"
    "    <td colspan=6 align=center><a href=\"ztsv_log.php?mode=0\">"
    "\xCE\xE1\xED\xEE\xE2\xE8\xF2\xFC</a></td><td width=1></td>\n"
    "    <td width=5>&nbsp;</td>\n"
    "   </tr>\n" +
    s0 + "\t\t\n" + columns + s0 + "\t\t\t\n";

const std::string all_top = head + list_body +
                            "   <tr>\n"
                            "    <td width=5>&nbsp;</td>\n"
                            "    <td colspan=6 align=center>\xC2\xF1\xE5 "
                            "\xEF\xE0\xF0\xF2\xE8\xE8</td><td width=1></td>\n"
                            "    <td width=5>&nbsp;</td>\n"
                            "   </tr>\n" +
                            s0 + "\n" + columns + s0 + "\n";

const std::string list_end = "  </table>\n </body>\n</html>\n";

std::string row(int m, int i, const std::string& c, const std::string& name,
                const std::string& turn, const std::string& player) {
  return "   <tr>\n"
         "    <td width=5 bgcolor=" +
         c + ">&nbsp;</td>\n    <td width=45% bgcolor=" + c +
         " align=left><a href=ztsv_log.php?mode=2&pm=" + std::to_string(m) +
         "&id=" + std::to_string(i) + ">" + name +
         "</a></td><td width=2>&nbsp;</td>\n    <td width=10% bgcolor=" + c + " align=center>" +
         turn + "</td><td width=2>&nbsp;</td>\n    <td width=45% bgcolor=" + c + " align=center>" +
         player + "</td>\n    <td width=5 bgcolor=" + c + ">&nbsp;</td>\n   </tr>\n" + s0 + "\n";
}

// Slot `slot` holds a two-player game ("Red" FF0000, "Blue" 0000FF) at the given status/turn.
game_info& add_game(int slot, int status, int turn, const std::string& name = "g") {
  if (games.size() <= static_cast<size_t>(slot)) games.resize(static_cast<size_t>(slot) + 1);
  game_info& g = new_game_info(slot);
  g.name = name;
  g.status = status;
  g.turn = turn;
  g.plr_cnt = 2;
  g.teams = {"Red", "Blue"};
  g.colors = {"FF0000", "0000FF"};
  g.plr_states = {true, true};
  return g;
}

class StatusPages : public ::testing::Test {
 protected:
  void SetUp() override { games.clear(); }
  void TearDown() override { games.clear(); }
  std::lock_guard<annotated_mutex> hold{db_lock};
};

TEST_F(StatusPages, EmptyListsHaveOnlyTheirHeaders) {
  EXPECT_EQ(log_page_games(0), games_top + list_end);
  EXPECT_EQ(log_page_all(1), all_top + list_end);
}

TEST_F(StatusPages, FallbackPage) {
  EXPECT_EQ(log_page_none(),
            head +
                " <body topmargin=0 leftmargin=0 bgcolor=#000000 text=#D4D6AC link=#ffdead "
                "vlink=#eee8aa>\n"
                "  <table class=dxqmain width=100% height=100% border=0 cellpadding=0 "
                "cellspacing=0> \n"
                "   <tr valign=center>\n"
                "    <td align=center>\xC1\xEE\xE1\xE8\xEA \xF1\xE4\xEE\xF5<br>11754</td>\n"
                "   </tr>\t\n" +
                list_end);
}

// One game alone on the all-games page: its row colour, turn text and player cell.
TEST_F(StatusPages, RowByStatusAndTurn) {
  const std::string red = "<font color=#FF0000>Red</font>";
  const std::string blue = "<font color=#0000FF>Blue</font>";
  struct {
    int status, turn, curplr, winner;
    std::string colour, turn_text, player;
  } cases[] = {
      {0, 4, 1, 0, "#662200", "4", blue},
      {0, 0, 0, 0, "#666600", "\xC2\xFB\xF1.", red},  // Выс.
      {1, 1, 0, 0, "#666600", "\xCC\xEE\xF0.", red},  // Мор.
      {1, 5, 1, 0, "#666600", "5", blue},
      {1, 0, 0, 0, "#666600", "\xC2\xFB\xF1.", red},  // Выс.
      {2, 7, 0, 1, "#221100", "7", "<font color=#0000FF>[Blue]</font>"},
      {2, 0, 1, 0, "#221100", "\xC2\xFB\xF1.", "<font color=#FF0000>[Red]</font>"},
      {3, 9, 0, 1, "#000011", "9", "<font color=#0000FF>[Blue]</font>"},
      {4, 3, 0, 1, "#662200", "3", "<font color=#0000FF>[Blue]</font>"},
      {-1, 3, 1, 0, "#662200", "3", blue},
  };
  for (const auto& c : cases) {
    games.clear();
    game_info& g = add_game(0, c.status, c.turn, "my_first_game");
    g.curplr = c.curplr;
    g.winner = c.winner;
    EXPECT_EQ(log_page_all(1),
              all_top + row(1, 0, c.colour, "my first game", c.turn_text, c.player) + list_end)
        << "status " << c.status << " turn " << c.turn;
  }
}

TEST_F(StatusPages, GamesPageGroupsByStatusFromTheLastSlotDown) {
  add_game(0, 0, 3, "a");
  add_game(1, 2, 5, "b");
  add_game(2, 1, 2, "c");
  add_game(3, 4, 6, "d");  // no group of its own: mode 1 only
  add_game(4, 3, 8, "e");
  add_game(5, 0, 4, "f");
  games.resize(8);  // empty slots at the end and in between are skipped
  games[4].reset();
  add_game(6, 3, 2, "h");

  const std::string red = "<font color=#FF0000>Red</font>";
  const std::string red_won = "<font color=#FF0000>[Red]</font>";
  EXPECT_EQ(log_page_games(0),
            games_top + row(0, 2, "#666600", "c", "2", red) + row(0, 5, "#662200", "f", "4", red) +
                row(0, 0, "#662200", "a", "3", red) + row(0, 1, "#221100", "b", "5", red_won) +
                row(0, 6, "#000011", "h", "2", red_won) + list_end);
  EXPECT_EQ(log_page_all(1),
            all_top + row(1, 6, "#000011", "h", "2", red_won) +
                row(1, 5, "#662200", "f", "4", red) + row(1, 3, "#662200", "d", "6", red_won) +
                row(1, 2, "#666600", "c", "2", red) + row(1, 1, "#221100", "b", "5", red_won) +
                row(1, 0, "#662200", "a", "3", red) + list_end);
}

const std::string details_body =
    " <body class=dxqmain topmargin=0 leftmargin=0 bgcolor=#000000 text=#D4D6AC "
    "link=#ffdead vlink=#eee8aa>\n";

// Names, team names and descriptions in these tests are Cyrillic where it matters.
const std::string ivan = "\xC8\xE2\xE0\xED";  // Иван

TEST_F(StatusPages, DetailsPage) {
  games.resize(2);
  game_info& g = add_game(3, 0, 12, "my_first_game");
  g.descr = "Line one\n\xCE\xEF\xE8\xF1\xE0\xED\xE8\xE5";  // Описание
  g.map = "Island";
  g.uniset = "Standard";
  g.money = 5000;
  g.resource = -2;
  g.moratorium = 3;
  g.plr_cnt = 3;
  g.teams = {"Red", ivan, "Blue"};
  g.colors = {"FF0000", "00FF00", "0000FF"};
  g.plr_states = {true, false, true};
  g.curplr = 1;
  g.last_turn_age = 129600;
  g.rules = {1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

  EXPECT_EQ(log_page_game(1, 3),
            head + details_body +
                "  <a href=\"ztsv_log.php?mode=1\">\xCD\xE0\xE7\xE0\xE4</a><br>\n"
                "  <b>\xC8\xEC\xFF:</b> my first game<br>\n"
                "  <b>\xD1\xEE\xF1\xF2\xEE\xFF\xED\xE8\xE5:</b> \xC8\xE4\xB8\xF2<br>\n"
                "  <b>\xCA\xE0\xF0\xF2\xE0:</b> Island<br>\n"
                "  <b>\xCD\xE0\xE1\xEE\xF0:</b> Standard<br>\n"
                "  <b>\xCD\xE0\xF7. \xC7\xEE\xEB\xEE\xF2\xE0:</b> 5000<br>\n"
                "  <b>\xD0\xE5\xF1\xF3\xF0\xF1\xFB:</b> -2<br>\n"
                "  <b>\xCC\xEE\xF0\xE0\xF2\xEE\xF0\xE8\xE9:</b> 3<br>\n"
                "  <b>\xCF\xEE\xF1\xEB\xE5\xE4\xED\xE8\xE9 \xF5\xEE\xE4:</b> 1.5 "
                "\xE4\xED\xE5\xE9 \xED\xE0\xE7\xE0\xE4<br>\n"
                "  <b>\xC8\xE3\xF0\xEE\xEA\xE8:</b><font color=#FF0000>Red</font> &nbsp;"
                "<font color=#00FF00><s>" +
                ivan +
                "</s></font> &nbsp;<font color=#0000FF>Blue</font> &nbsp;<br>\n"
                "  <b>\xD5\xEE\xE4\xE8\xF2:</b> <font color=#00FF00>" +
                ivan +
                "</font><br>\n"
                "  <br>\n"
                "  <b>\xCF\xF0\xE0\xE2\xE8\xEB\xE0:</b><br>\n"
                "+ \xCE\xF2\xEB\xE0\xE4\xEA\xE0<br>\n"
                "- \xD2\xEE\xEF\xEB\xE8\xE2\xEE<br>\n"
                "- \xCF\xE5\xF0. \xF2\xEE\xEF\xEB\xE8\xE2\xE0<br>\n"
                "+ \xC2\xFB\xF1\xF2. \xF2\xEE\xEF\xEB\xE8\xE2\xEE<br>\n"
                "- \xCD\xE0\xF7. \xF0\xE0\xE4\xE0\xF0<br>\n"
                "- \xC1\xE5\xE7 \xE3\xE5\xEE\xEB\xEE\xE3\xE0<br>\n"
                "- \xC1\xE5\xE7 \xE1\xE0\xE7\xFB<br>\n"
                "- \xC1\xE5\xE7 \xE7\xE0\xEA. \xE1\xEE\xE5\xE2\xFB\xF5<br>\n"
                "- \xC1\xE5\xE7 \xEF\xE0\xF0\xEE\xEB\xE5\xE9<br>\n"
                "- \xC4\xEE\xF0. \xF2\xEE\xEF\xEB\xE8\xE2\xEE<br>\n"
                "- \xD6\xE5\xED\xF2\xF0 4\xF5<br>\n"
                "- \xC2\xFB\xE3. \xE2\xFB\xF1\xF2\xF0\xE5\xEB\xFB<br>\n"
                "- \xC2\xFB\xE3. \xF1\xEA\xEE\xF0\xEE\xF1\xF2\xFC<br>\n"
                "- \xC2\xFB\xE3. -1 \xF1\xEA\xEE\xF0.<br>\n"
                "- \xC7\xE0\xE3\xF0. -1 \xF1\xEA\xEE\xF0.<br>\n"
                "+ \xC7\xE0\xE3\xF0. \xED\xE0 \xEF\xEB\xEE\xF9\xE0\xE4\xEA\xE0\xF5<br>\n"
                "  <br>\n"
                "  <b>\xCE\xEF\xE8\xF1\xE0\xED\xE8\xE5:</b><br>\n"
                "Line one\n\xCE\xEF\xE8\xF1\xE0\xED\xE8\xE5<br>\n"
                " </body>\n"
                "</html>\n");
}

// The lines that change with the game's state, looked up in the whole page.
TEST_F(StatusPages, DetailsStateDaysAndWhoseMove) {
  const std::string move = "  <b>\xD5\xEE\xE4\xE8\xF2:</b> ";         // Ходит:
  const std::string won = "  <b>\xCF\xEE\xE1\xE5\xE4\xE8\xEB:</b> ";  // Победил:
  struct {
    int status, turn;
    double age;
    std::string state, days, last_line;
  } cases[] = {
      {0, 0, 0, "\xC2\xFB\xF1\xE0\xE4\xEA\xE0", "0", move + "<font color=#0000FF>Blue</font>"},
      {1, 0, 86400, "\xC2\xFB\xF1\xE0\xE4\xEA\xE0", "1", move + "<font color=#0000FF>Blue</font>"},
      {1, 1, 172800, "\xCC\xEE\xF0\xE0\xF2\xEE\xF0\xE8\xE9", "2",
       move + "<font color=#0000FF>Blue</font>"},
      {0, 6, 10800, "\xC8\xE4\xB8\xF2", "0.125", move + "<font color=#0000FF>Blue</font>"},
      {2, 6, 1000, "\xC7\xE0\xE2\xE5\xF0\xF8\xE5\xED\xE0", "0.012",
       won + "<font color=#FF0000>Red</font>"},
      {3, 6, 0, "\xC7\xE0\xE2\xE5\xF0\xF8\xE5\xED\xE0", "0",
       won + "<font color=#FF0000>Red</font>"},
      {-1, 6, 0, "\xC7\xE0\xE2\xE5\xF0\xF8\xE5\xED\xE0", "0",
       won + "<font color=#FF0000>Red</font>"},
  };
  for (const auto& c : cases) {
    games.clear();
    game_info& g = add_game(0, c.status, c.turn);
    g.curplr = 1;
    g.winner = 0;
    g.last_turn_age = c.age;
    const std::string page = log_page_game(0, 0);
    SCOPED_TRACE("status " + std::to_string(c.status) + " turn " + std::to_string(c.turn));
    EXPECT_NE(page.find("  <b>\xD1\xEE\xF1\xF2\xEE\xFF\xED\xE8\xE5:</b> " + c.state + "<br>\n"),
              std::string::npos);
    EXPECT_NE(page.find(":</b> " + c.days + " \xE4\xED\xE5\xE9"), std::string::npos);
    EXPECT_NE(page.find("\n" + c.last_line + "<br>\n  <br>\n"), std::string::npos);
  }
}

TEST_F(StatusPages, DetailsOfNoGameIsEmpty) {
  add_game(0, 0, 1);
  games.resize(3);  // slot 1 and 2 empty
  add_game(2, 0, 1);
  games[1].reset();
  for (int id : {-1, 1, 3, 1000}) EXPECT_EQ(log_page_game(0, id), "") << id;
  EXPECT_NE(log_page_game(0, 2), "");
}

TEST_F(StatusPages, TextsFromTheGameAreEscaped) {
  game_info& g = add_game(0, 2, 4, "<b>x_&_\"y\"</b>");
  g.teams = {"<script>alert(1)</script>", "A&B"};
  g.colors = {"FF0000\"><script>", "0000FF"};
  g.plr_states = {false, true};
  g.winner = 0;
  g.descr = "</body><img src=x onerror=alert(1)>";
  g.map = "m<1>";
  g.uniset = "u\"s\"";

  const std::string name = "&lt;b&gt;x &amp; &quot;y&quot;&lt;/b&gt;";
  const std::string team = "&lt;script&gt;alert(1)&lt;/script&gt;";
  const std::string colour = "FF0000&quot;&gt;&lt;script&gt;";
  EXPECT_EQ(log_page_all(1), all_top +
                                 row(1, 0, "#221100", name, "4",
                                     "<font color=#" + colour + ">[" + team + "]</font>") +
                                 list_end);
  const std::string page = log_page_game(0, 0);
  for (const std::string& part : std::vector<std::string>{
           ":</b> " + name + "<br>\n", ":</b> m&lt;1&gt;<br>\n", ":</b> u&quot;s&quot;<br>\n",
           "<font color=#" + colour + "><s>" + team + "</s></font> &nbsp;",
           "<font color=#0000FF>A&amp;B</font> &nbsp;<br>\n",
           ":</b> <font color=#" + colour + ">" + team + "</font><br>\n",
           "\n&lt;/body&gt;&lt;img src=x onerror=alert(1)&gt;<br>\n </body>\n</html>\n"}) {
    EXPECT_NE(page.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<img"), std::string::npos);
}

// Records whose indexes or lengths disagree with their lists (a hand-edited game file, or one
// loaded without its settings file) show empty texts and never read outside the lists.
TEST_F(StatusPages, IndexesOutsideShortListsShowEmptyTexts) {
  struct {
    int status, curplr, winner, plr_cnt;
    astr teams, colors;
    aoboolean states;
    std::string row_player, players, last_line;
  } cases[] = {
      {0,
       5,
       0,
       2,
       {"Red", "Blue"},
       {"FF0000", "0000FF"},
       {true, true},
       "<font color=#></font>",
       "<font color=#FF0000>Red</font> &nbsp;<font color=#0000FF>Blue</font> &nbsp;",
       "<font color=#></font>"},
      {2,
       0,
       -1,
       2,
       {"Red", "Blue"},
       {"FF0000", "0000FF"},
       {true, true},
       "<font color=#>[]</font>",
       "<font color=#FF0000>Red</font> &nbsp;<font color=#0000FF>Blue</font> &nbsp;",
       "<font color=#></font>"},
      {0,
       1,
       0,
       3,
       {"Red"},
       {"FF0000", "0000FF"},
       {false},
       "<font color=#0000FF></font>",
       "<font color=#FF0000><s>Red</s></font> &nbsp;<font color=#0000FF></font> &nbsp;"
       "<font color=#></font> &nbsp;",
       "<font color=#0000FF></font>"},
      {2,
       0,
       2,
       2,
       {},
       {},
       {},
       "<font color=#>[]</font>",
       "<font color=#></font> &nbsp;<font color=#></font> &nbsp;",
       "<font color=#></font>"},
      {0,
       0,
       0,
       -3,
       {"Red"},
       {"FF0000"},
       {true},
       "<font color=#FF0000>Red</font>",
       "",
       "<font color=#FF0000>Red</font>"},
  };
  for (const auto& c : cases) {
    games.clear();
    game_info& g = add_game(0, c.status, 4);
    g.curplr = c.curplr;
    g.winner = c.winner;
    g.plr_cnt = c.plr_cnt;
    g.teams = c.teams;
    g.colors = c.colors;
    g.plr_states = c.states;
    SCOPED_TRACE("curplr " + std::to_string(c.curplr) + " winner " + std::to_string(c.winner));
    EXPECT_EQ(log_page_all(1),
              all_top + row(1, 0, c.status == 2 ? "#221100" : "#662200", "g", "4", c.row_player) +
                  list_end);
    const std::string page = log_page_game(0, 0);
    EXPECT_NE(page.find("\xC8\xE3\xF0\xEE\xEA\xE8:</b>" + c.players + "<br>\n"), std::string::npos);
    EXPECT_NE(page.find(":</b> " + c.last_line + "<br>\n  <br>\n"), std::string::npos);
  }
}

// A damaged cond.txt can claim any player count; the page lists the game's 20 seats at most
// (the missing entries empty) instead of building a page of 2^31 entries under db_lock.
TEST_F(StatusPages, PlayerCountBeyondTheSeatsIsCut) {
  std::string seats = "<font color=#FF0000>Red</font> &nbsp;<font color=#0000FF>Blue</font> &nbsp;";
  for (int k = 2; k < 20; ++k) seats += "<font color=#></font> &nbsp;";
  for (int32_t plr_cnt : {20, 21, 2147483647}) {
    games.clear();
    add_game(0, 0, 4).plr_cnt = plr_cnt;
    const std::string page = log_page_game(0, 0);
    EXPECT_NE(page.find("\xC8\xE3\xF0\xEE\xEA\xE8:</b>" + seats + "<br>\n"), std::string::npos)
        << plr_cnt;
  }
}

}  // namespace
