#include "notify/state_store.h"

#include <dirent.h>

#include <memory>
#include <sstream>

#include "db/layout.h"
#include "lib/conv.h"
#include "lib/file_io.h"

std::string format_state(const announced_state& s) {
  return std::to_string(s.status) + " " + std::to_string(s.turn) + " " + std::to_string(s.curplr) +
         " " + std::to_string(s.winner) + " " + (s.in_game.empty() ? "-" : s.in_game) + " " +
         std::to_string(s.since) + " " + std::to_string(s.reminders);
}

bool parse_state(std::string_view text, announced_state* out) {
  std::istringstream in{std::string(text)};
  announced_state s;
  int64_t since = -1;
  if (!(in >> s.status >> s.turn >> s.curplr >> s.winner >> s.in_game >> since >> s.reminders)) {
    return false;
  }
  std::string rest;
  if (in >> rest) return false;
  if (s.in_game == "-") s.in_game.clear();
  if (s.in_game.find_first_not_of("01") != std::string::npos) return false;
  if (since < 0 || since > UINT32_MAX || s.reminders < 0) return false;
  s.since = static_cast<uint32_t>(since);
  *out = s;
  return true;
}

bool load_target_state(const std::string& dir, std::map<int32_t, announced_state>* out) {
  out->clear();
  const std::string baseline_path = dir + "/" + notify_baseline_file;
  if (!file_exists(baseline_path)) return false;
  std::istringstream baseline(read_file(baseline_path));
  for (std::string line; std::getline(baseline, line);) {
    size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    int32_t id = str_to_int(line.substr(0, blank));
    announced_state s;
    if (id >= 0 && parse_state(std::string_view(line).substr(blank + 1), &s)) (*out)[id] = s;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), ::closedir);
  if (!handle) throw io_error(errno_message("Cannot read", dir));
  while (const dirent* entry = ::readdir(handle.get())) {
    const std::string_view name = entry->d_name;
    const int32_t id = announced_file_game(name);
    if (id < 0) continue;
    announced_state s;
    if (parse_state(read_file(dir + "/" + std::string(name)), &s)) (*out)[id] = s;
  }
  return true;
}

void write_baseline(const std::string& dir, const std::map<int32_t, announced_state>& states) {
  make_dirs(dir);
  std::string text;
  for (const auto& [id, s] : states) text += std::to_string(id) + " " + format_state(s) + "\n";
  write_file_atomic(dir + "/" + notify_baseline_file, text);
}

void write_announced(const std::string& dir, int32_t game_id, const announced_state& state) {
  write_file_atomic(dir + "/" + announced_file_name(game_id), format_state(state) + "\n");
}

uint32_t announcement_number(announcement_book& book, int32_t game_id,
                             const announced_state& state) {
  const std::string dir = announcement_seq_dir(book.root);
  const std::string path = dir + "/" + announced_file_name(game_id);
  auto it = book.known.find(game_id);
  if (it == book.known.end()) {
    std::pair<uint32_t, announced_state> stored{0, {}};
    if (file_exists(path)) {
      // An unreadable file counts from 1 again: the id's state part still tells most apart.
      std::istringstream in(read_file(path));
      int64_t n = 0;
      std::string rest;
      if (in >> n && std::getline(in, rest) && n > 0 && n <= UINT32_MAX &&
          parse_state(rest, &stored.second)) {
        stored.first = static_cast<uint32_t>(n);
      }
    }
    it = book.known.emplace(game_id, stored).first;
  }
  auto& [number, announced] = it->second;
  if (number != 0 && announced.same_state(state)) return number;
  ++number;
  announced = state;
  make_dirs(dir);
  write_file_atomic(path, std::to_string(number) + " " + format_state(state) + "\n");
  return number;
}
