#include "pages/status_pages.h"

#include <algorithm>
#include <array>
#include <functional>
#include <iterator>

#include "db/game.h"
#include "lib/asys.h"
#include "lib/conv.h"
#include "net/reply.h"
#include "save/zts_save.h"

namespace {

// Browsers ignore this editor hint; a URN keeps the page from naming any outside address.
constexpr std::string_view target_schema = "urn:zts:status-pages";

constexpr std::string_view separator =
    "   <tr bgcolor=#333300 height=1><td bgcolor=#000000 width=5></td><td colspan=5 "
    "width=100%></td><td bgcolor=#000000 width=5></td></tr>";

constexpr std::string_view list_body =
    " <body topmargin=0 leftmargin=0 bgcolor=#000000 text=#D4D6AC link=#ffdead vlink=#eee8aa>\n";

constexpr std::string_view details_body =
    " <body class=dxqmain topmargin=0 leftmargin=0 bgcolor=#000000 text=#D4D6AC link=#ffdead "
    "vlink=#eee8aa>\n";

constexpr std::string_view list_table =
    "  <table class=dxqmain width=100% border=0 cellpadding=0 cellspacing=0> \n";

constexpr std::string_view page_end = "  </table>\n </body>\n</html>\n";

// Captions of the sixteen rule flags, in the order of game_info::rules.
constexpr std::array<std::string_view, 16> rule_lines = {
    " \xCE\xF2\xEB\xE0\xE4\xEA\xE0<br>\n",                         // Отладка
    " \xD2\xEE\xEF\xEB\xE8\xE2\xEE<br>\n",                         // Топливо
    " \xCF\xE5\xF0. \xF2\xEE\xEF\xEB\xE8\xE2\xE0<br>\n",           // Пер. топлива
    " \xC2\xFB\xF1\xF2. \xF2\xEE\xEF\xEB\xE8\xE2\xEE<br>\n",       // Выст. топливо
    " \xCD\xE0\xF7. \xF0\xE0\xE4\xE0\xF0<br>\n",                   // Нач. радар
    " \xC1\xE5\xE7 \xE3\xE5\xEE\xEB\xEE\xE3\xE0<br>\n",            // Без геолога
    " \xC1\xE5\xE7 \xE1\xE0\xE7\xFB<br>\n",                        // Без базы
    " \xC1\xE5\xE7 \xE7\xE0\xEA. \xE1\xEE\xE5\xE2\xFB\xF5<br>\n",  // Без зак. боевых
    " \xC1\xE5\xE7 \xEF\xE0\xF0\xEE\xEB\xE5\xE9<br>\n",            // Без паролей
    " \xC4\xEE\xF0. \xF2\xEE\xEF\xEB\xE8\xE2\xEE<br>\n",           // Дор. топливо
    " \xD6\xE5\xED\xF2\xF0 4\xF5<br>\n",                           // Центр 4х
    " \xC2\xFB\xE3. \xE2\xFB\xF1\xF2\xF0\xE5\xEB\xFB<br>\n",       // Выг. выстрелы
    " \xC2\xFB\xE3. \xF1\xEA\xEE\xF0\xEE\xF1\xF2\xFC<br>\n",       // Выг. скорость
    " \xC2\xFB\xE3. -1 \xF1\xEA\xEE\xF0.<br>\n",                   // Выг. -1 скор.
    " \xC7\xE0\xE3\xF0. -1 \xF1\xEA\xEE\xF0.<br>\n",               // Загр. -1 скор.
    " \xC7\xE0\xE3\xF0. \xED\xE0 \xEF\xEB\xEE\xF9\xE0\xE4\xEA\xE0\xF5<br>\n"  // Загр. на площадках
};

// An entry of a per-player list, or "" when the record's index lies outside it (a game file
// edited by hand can leave the lists shorter than the player count).
std::string_view entry(const astr& list, int32_t k) {
  if (k < 0 || static_cast<size_t>(k) >= list.size()) return {};
  return list[static_cast<size_t>(k)];
}

// A player whose flag is missing is shown as still in the game rather than struck through.
bool player_in_game(const game_info& g, int32_t k) {
  if (k < 0 || static_cast<size_t>(k) >= g.plr_states.size()) return true;
  return g.plr_states[static_cast<size_t>(k)];
}

std::string display_name(const game_info& g) {
  return html_escape(replace_all(g.name, "_", " "));
}

// "<font color=#RRGGBB>team</font>", with the team in square brackets when `bracketed`.
std::string player_font(const game_info& g, int32_t k, bool bracketed) {
  std::string out = "<font color=#" + html_escape(entry(g.colors, k)) + ">";
  out += bracketed ? "[" + html_escape(entry(g.teams, k)) + "]" : html_escape(entry(g.teams, k));
  return out + "</font>";
}

std::string log_page_style() {
  return "  <style>\n"
         "   A:link { COLOR: navajowhite }\n"
         "   A:visited { COLOR: palegoldenrod }\n"
         "   A:hover { COLOR: gold }\n"
         "   TD.TNotSelected { BACKGROUND-COLOR: #ffffff; CURSOR: hand } \n"
         "   TD.TSelected { BACKGROUND-COLOR: #ffffff; CURSOR: hand }\n"
         "   .dxqmain { FONT-FAMILY: 'Arial Cyr', Arial; FONT-SIZE: 12px; FONT-STYLE: normal; "
         "FONT-VARIANT: normal; TEXT-ALIGN: justify; TEXT-DECORATION: none; }\n"
         "  </style>\n";
}

std::string log_page_head() {
  std::string out = "<html>\n <head>\n  <meta name=vs_targetSchema content=\"";
  out += target_schema;
  out += "\">\n";
  out += log_page_style();
  out +=
      "  <meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">\n"
      "  <meta http-equiv=\"Content-language\" content=\"ru\">\n"
      "  <meta http-equiv=\"X-UA-Compatible\" content=\"IE=EmulateIE7\">\n"
      "  <meta http-equiv=\"refresh\" content=\"60\">\n"
      "  <title>\xCF\xE0\xF0\xF2\xE8\xE8</title>\n"  // Партии
      " </head>\n";
  return out;
}

std::string row_color(const game_info& g) {
  std::string c = "#662200";
  if (g.status == status_opening || g.turn == 0) c = "#666600";
  if (g.status == status_finished) c = "#221100";
  if (g.status == status_archived) c = "#000011";
  return c;
}

std::string turn_text(const game_info& g) {
  std::string t = int_to_str(g.turn);
  if (g.turn == 0) t = "\xC2\xFB\xF1.";                                // Выс.
  if (g.status == status_opening && g.turn == 1) t = "\xCC\xEE\xF0.";  // Мор.
  return t;
}

std::string log_page_row(int32_t m, int32_t i, const game_info& g) {
  const std::string c = row_color(g);
  const bool ended = g.status >= status_finished;
  std::string out = "   <tr>\n";
  out += "    <td width=5 bgcolor=" + c + ">&nbsp;</td>\n";
  out += "    <td width=45% bgcolor=" + c +
         " align=left><a href=ztsv_log.php?mode=2&pm=" + int_to_str(m) + "&id=" + int_to_str(i) +
         ">" + display_name(g) + "</a></td><td width=2>&nbsp;</td>\n";
  out += "    <td width=10% bgcolor=" + c + " align=center>" + turn_text(g) +
         "</td><td width=2>&nbsp;</td>\n";
  out += "    <td width=45% bgcolor=" + c + " align=center>" +
         player_font(g, ended ? g.winner : g.curplr, ended) + "</td>\n";
  out += "    <td width=5 bgcolor=" + c + ">&nbsp;</td>\n";
  out += "   </tr>\n";
  out += std::string(separator) + "\n";
  return out;
}

std::string column_header() {
  return "   <tr>\n"
         "    <td width=5 bgcolor=#333300>&nbsp;</td>\n"
         "    <td width=45% bgcolor=#333300 align=left>\xC8\xEC\xFF</td>"  // Имя
         "<td width=2>&nbsp;</td>\n"
         "    <td width=10%  bgcolor=#333300 align=center>\xD5\xEE\xE4</td>"  // Ход
         "<td width=2>&nbsp;</td>\n"
         // Следующий
         "    <td width=45% bgcolor=#333300 align=center>"
         "\xD1\xEB\xE5\xE4\xF3\xFE\xF9\xE8\xE9</td>\n"
         "    <td width=5 bgcolor=#333300>&nbsp;</td>\n"
         "   </tr>\n";
}

std::string centered_block(std::string_view cell) {
  std::string out = "   <tr>\n    <td width=5>&nbsp;</td>\n    <td colspan=6 align=center>";
  out += cell;
  out += "</td><td width=1></td>\n    <td width=5>&nbsp;</td>\n   </tr>\n";
  return out;
}

// A list page: rows whose HTTP head is that of every page, in Windows-1251 without a charset.
list_shape list_page_shape(std::string head, size_t sections,
                           std::function<bool(size_t s, const game_info& g)> wanted, int32_t m) {
  list_shape shape;
  shape.sections = sections;
  shape.entry = [m, wanted = std::move(wanted)](size_t s, const game_info& g, std::string* out) {
    if (wanted(s, g)) *out += log_page_row(m, g.id, g);
  };
  shape.body_head = [head = std::move(head)] { return head; };
  shape.body_tail = page_end;
  shape.http_head = [](size_t size) { return reply_head("200 OK", html_type, size); };
  return shape;
}

constexpr int32_t grouped_order[] = {status_opening, status_playing, status_finished,
                                     status_archived};

std::string state_text(const game_info& g) {
  if (g.turn == 0) return "\xC2\xFB\xF1\xE0\xE4\xEA\xE0";                         // Высадка
  if (g.status == status_playing) return "\xC8\xE4\xB8\xF2";                      // Идёт
  if (g.status == status_opening) return "\xCC\xEE\xF0\xE0\xF2\xEE\xF0\xE8\xE9";  // Мораторий
  return "\xC7\xE0\xE2\xE5\xF0\xF8\xE5\xED\xE0";  // Завершена
}

// A game has at most max_players seats; a larger count can only come from a damaged game file,
// and walking it (up to 2^31 entries under db_lock) would stall the server building the page.
std::string players_line(const game_info& g) {
  std::string out = "  <b>\xC8\xE3\xF0\xEE\xEA\xE8:</b>";  // Игроки:
  const int32_t shown = std::min<int32_t>(g.plr_cnt, max_players);
  for (int32_t k = 0; k < shown; ++k) {
    const bool out_of_game = !player_in_game(g, k);
    out += "<font color=#" + html_escape(entry(g.colors, k)) + ">";
    if (out_of_game) out += "<s>";
    out += html_escape(entry(g.teams, k));
    if (out_of_game) out += "</s>";
    out += "</font> &nbsp;";
  }
  return out + "<br>\n";
}

}  // namespace

list_shape log_page_games_shape(int32_t m) {
  std::string head = log_page_head();
  head += list_body;
  head += list_table;
  head += centered_block("\xCF\xE0\xF0\xF2\xE8\xE8");  // Партии
  head += centered_block("<a href=\"ztsv_log.php?mode=" + int_to_str(m) +
                         "\">\xCE\xE1\xED\xEE\xE2\xE8\xF2\xFC</a>");  // Обновить
  head += std::string(separator) + "\t\t\n";
  head += column_header();
  head += std::string(separator) + "\t\t\t\n";
  return list_page_shape(
      std::move(head), std::size(grouped_order),
      [](size_t s, const game_info& g) { return g.status == grouped_order[s]; }, m);
}

list_shape log_page_all_shape(int32_t m) {
  std::string head = log_page_head();
  head += list_body;
  head += list_table;
  head += centered_block("\xC2\xF1\xE5 \xEF\xE0\xF0\xF2\xE8\xE8");  // Все партии
  head += std::string(separator) + "\n";
  head += column_header();
  head += std::string(separator) + "\n";
  return list_page_shape(
      std::move(head), 1, [](size_t, const game_info&) { return true; }, m);
}

std::string log_page_games(int32_t m) {
  return whole_list_body(log_page_games_shape(m));
}

std::string log_page_all(int32_t m) {
  return whole_list_body(log_page_all_shape(m));
}

std::string log_page_game(int32_t pm, int32_t id) {
  if (id < 0 || static_cast<size_t>(id) >= games.size() || !games[static_cast<size_t>(id)]) {
    return {};
  }
  const game_info& g = *games[static_cast<size_t>(id)];
  const bool ended = g.status != status_playing && g.status != status_opening;
  std::string out = log_page_head();
  out += details_body;
  out += "  <a href=\"ztsv_log.php?mode=" + int_to_str(pm) +
         "\">\xCD\xE0\xE7\xE0\xE4</a><br>\n";                               // Назад
  out += "  <b>\xC8\xEC\xFF:</b> " + display_name(g) + "<br>\n";            // Имя:
  out += "  <b>\xD1\xEE\xF1\xF2\xEE\xFF\xED\xE8\xE5:</b> " + state_text(g)  // Состояние:
         + "<br>\n";
  out += "  <b>\xCA\xE0\xF0\xF2\xE0:</b> " + html_escape(g.map) + "<br>\n";     // Карта:
  out += "  <b>\xCD\xE0\xE1\xEE\xF0:</b> " + html_escape(g.uniset) + "<br>\n";  // Набор:
  // Нач. Золота:
  out += "  <b>\xCD\xE0\xF7. \xC7\xEE\xEB\xEE\xF2\xE0:</b> " + int_to_str(g.money) + "<br>\n";
  // Ресурсы:
  out += "  <b>\xD0\xE5\xF1\xF3\xF0\xF1\xFB:</b> " + int_to_str(g.resource) + "<br>\n";
  // Мораторий:
  out += "  <b>\xCC\xEE\xF0\xE0\xF2\xEE\xF0\xE8\xE9:</b> " + int_to_str(g.moratorium) + "<br>\n";
  // Последний ход: ... дней назад
  out += "  <b>\xCF\xEE\xF1\xEB\xE5\xE4\xED\xE8\xE9 \xF5\xEE\xE4:</b> " +
         real_to_str(-99, g.last_turn_age / 86400.0) +
         " \xE4\xED\xE5\xE9 \xED\xE0\xE7\xE0\xE4<br>\n";
  out += players_line(g);
  if (ended) {
    out += "  <b>\xCF\xEE\xE1\xE5\xE4\xE8\xEB:</b> " +
           player_font(g, g.winner, false) +  // Победил:
           "<br>\n";
  } else {
    out += "  <b>\xD5\xEE\xE4\xE8\xF2:</b> " + player_font(g, g.curplr, false) +  // Ходит:
           "<br>\n";
  }
  out += "  <br>\n";
  out += "  <b>\xCF\xF0\xE0\xE2\xE8\xEB\xE0:</b><br>\n";  // Правила:
  for (size_t r = 0; r < rule_lines.size(); ++r) {
    out += g.rules[r] != 0 ? "+" : "-";
    out += rule_lines[r];
  }
  out += "  <br>\n";
  out += "  <b>\xCE\xEF\xE8\xF1\xE0\xED\xE8\xE5:</b><br>\n";  // Описание:
  out += html_escape(g.descr) + "<br>\n";
  out += " </body>\n</html>\n";
  return out;
}

std::string log_page_none() {
  std::string out = log_page_head();
  out += list_body;
  out += "  <table class=dxqmain width=100% height=100% border=0 cellpadding=0 cellspacing=0> \n";
  out += "   <tr valign=center>\n";
  out +=
      "    <td align=center>\xC1\xEE\xE1\xE8\xEA \xF1\xE4\xEE\xF5<br>11754</td>\n";  // Бобик сдох
  out += "   </tr>\t\n";
  out += page_end;
  return out;
}
