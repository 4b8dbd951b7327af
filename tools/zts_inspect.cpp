// zts_inspect: shows what the server reads from save files, and why it refuses one.
//
//   zts_inspect FILE.zts...
//
// Prints one JSON object per file, one per line, in the order given: file, version, name,
// descr, map, uniset, server_id, turn, curplr, plr_cnt, save_time, money, resource, moratorium,
// rules (16 booleans), players ({team_name, out_flag, color} for each player the save counts, at
// most 20), and error (null, or the reader's refusal message). A refused save still shows the
// fields read before the refusal. Texts are converted from Windows-1251 to UTF-8.
// Exit status 0 when every file was read, 1 otherwise (also for a file that cannot be opened).
// Nothing is written.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include "lib/cp1251.h"
#include "lib/file_io.h"
#include "lib/json.h"
#include "save/zts_save.h"
#include "tools/tool_cli.h"

namespace {

constexpr const char* usage_text =
    "Usage: zts_inspect FILE.zts...\n"
    "  or:  zts_inspect --version | --help\n"
    "\n"
    "Shows what the turn server reads from save files, and why it refuses one: one JSON object\n"
    "per file, one per line, in the order given (file, version, name, descr, map, uniset,\n"
    "server_id, turn, curplr, plr_cnt, save_time, money, resource, moratorium, rules, players)\n"
    "and \"error\": null, or the refusal the client saw. A refused save still shows the fields\n"
    "read before the refusal. Texts are converted from Windows-1251 to UTF-8. Writes nothing.\n"
    "\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  every file was read\n"
    "  1  a file could not be opened or read, or no file was named\n";

std::string json_bool(bool b) {
  return b ? "true" : "false";
}

std::string player_json(const plrtyp& p) {
  return "{\"team_name\":" + json_game_text(p.team_name) +
         ",\"out_flag\":" + json_bool(p.out_flag) + ",\"color\":\"" + color_text(p) + "\"}";
}

// `file_name` is shown as given (it may not be Windows-1251; it is escaped, not converted).
std::string game_json(const std::string& file_name, const gametyp& g, bool ok,
                      const std::string& message) {
  std::string j = "{\"file\":" + json_string(file_name);
  j += ",\"version\":" + std::to_string(g.version);
  j += ",\"name\":" + json_game_text(g.name);
  j += ",\"descr\":" + json_game_text(g.descr);
  j += ",\"map\":" + json_game_text(g.map);
  j += ",\"uniset\":" + json_game_text(g.uniset);
  j += ",\"server_id\":" + json_game_text(g.server_id);
  j += ",\"turn\":" + std::to_string(g.turn);
  j += ",\"curplr\":" + std::to_string(g.curplr);
  j += ",\"plr_cnt\":" + std::to_string(g.plr_cnt);
  j += ",\"save_time\":" + std::to_string(g.save_time);
  j += ",\"money\":" + std::to_string(g.money);
  j += ",\"resource\":" + std::to_string(g.resource);
  j += ",\"moratorium\":" + std::to_string(g.moratorium);
  j += ",\"rules\":[";
  for (size_t i = 0; i < g.rule_bytes.size(); ++i) j += (i ? "," : "") + json_bool(g.rule_bytes[i]);
  j += "],\"players\":[";
  // A refused save may carry any count; the record holds at most max_players.
  const int32_t shown = std::clamp(g.plr_cnt, 0, max_players);
  for (int32_t i = 0; i < shown; ++i) j += (i ? "," : "") + player_json(g.plrs[i]);
  j += "],\"error\":" + (ok ? std::string("null") : json_string(message));
  return j + "}";
}

}  // namespace

int main(int argc, char** argv) {
  if (answer_help_or_version(argc, argv, "zts_inspect", usage_text)) return 0;
  if (argc < 2) {
    std::fputs(usage_text, stderr);
    return 1;
  }
  bool all_read = true;
  for (int i = 1; i < argc; ++i) {
    gametyp game;
    std::string message;
    bool ok = false;
    try {
      ok = load_game_save(&game, read_file(argv[i]), &message);
    } catch (const std::exception& e) {
      message = e.what();
    }
    all_read = all_read && ok;
    std::string line = game_json(argv[i], game, ok, message) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  return std::fflush(stdout) == 0 && all_read ? 0 : 1;
}
