#include "db/game_files.h"

#include <algorithm>

#include "db/layout.h"
#include "lib/conv.h"
#include "lib/file_io.h"

namespace {

// A rules line with more flags than this is ignored as a whole.
constexpr size_t rule_count = std::tuple_size_v<decltype(game_info::rules)>;

// What the writer puts for the bytes a line cannot carry: a line break would end the line,
// a "|" in a list entry would split it.
constexpr char line_break_stand_in = ' ';
constexpr char bar_stand_in = '\xA6';  // broken bar in Windows-1251

char storable_byte(char c, bool in_list) {
  if (c == '\n' || c == '\r') return line_break_stand_in;
  if (c == '|' && in_list) return bar_stand_in;
  return c;
}

void append_storable(std::string* out, std::string_view text, bool in_list) {
  size_t first = text.find_first_of(in_list ? "\r\n|" : "\r\n");
  out->append(text.substr(0, first));  // the whole text, as nearly always
  if (first == std::string_view::npos) return;
  for (char c : text.substr(first)) out->push_back(storable_byte(c, in_list));
}

// A name without the line ends at its end: name.txt is read without its final one.
std::string_view storable_name(std::string_view name) {
  while (name.ends_with('\n') || name.ends_with('\r')) name.remove_suffix(1);
  return name;
}

void make_storable(std::string* text, bool in_list) {
  for (char& c : *text) c = storable_byte(c, in_list);
}

void add_line(std::string* out, std::string_view key, std::string_view value) {
  out->append(key);
  out->push_back(':');
  out->append(value);
  out->push_back('\n');
}

void add_text_line(std::string* out, std::string_view key, std::string_view text) {
  out->append(key);
  out->push_back(':');
  append_storable(out, text, false);
  out->push_back('\n');
}

void add_list_line(std::string* out, std::string_view key, const astr& list) {
  out->append(key);
  out->push_back(':');
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out->push_back('|');
    append_storable(out, list[i], true);
  }
  out->push_back('\n');
}

void add_section(std::string* out, std::string_view tag, std::string_view text) {
  out->append(tag);
  out->push_back(' ');
  out->append(int_to_str(static_cast<int32_t>(text.size())));
  out->push_back('\n');
  out->append(text);
  out->push_back('\n');
}

}  // namespace

std::string format_conditions(const game_info& record) {
  std::string out;
  add_text_line(&out, "map", record.map);
  add_line(&out, "plr_cnt", int_to_str(record.plr_cnt));
  add_list_line(&out, "teams", record.teams);
  add_list_line(&out, "colors", record.colors);
  add_line(&out, "money", int_to_str(record.money));
  add_line(&out, "resource", int_to_str(record.resource));
  add_line(&out, "moratorium", int_to_str(record.moratorium));
  add_text_line(&out, "uniset", record.uniset);
  add_line(&out, "rules", join_flags(record.rules));
  return out;
}

std::string format_state(const game_info& record) {
  std::string out;
  add_line(&out, "turn", int_to_str(record.turn));
  add_line(&out, "curplr", int_to_str(record.curplr));
  add_line(&out, "status", int_to_str(record.status));
  add_text_line(&out, "lastfile", record.lastfile);
  add_line(&out, "winner", int_to_str(record.winner));
  add_line(&out, "plr_states", join_flags(record.plr_states));
  return out;
}

std::string format_admin_notes(const game_info& record) {
  std::string out;
  if (record.archived_from >= 0) add_line(&out, "archived_from", int_to_str(record.archived_from));
  if (record.unarchived_at != 0) add_line(&out, "unarchived", int_to_str(record.unarchived_at));
  return out;
}

std::string game_block(const game_info& record) {
  std::string out = "x9\n";
  add_section(&out, "x1", record.name);
  add_section(&out, "x2", record.descr);
  add_section(&out, "x3", format_conditions(record));
  add_section(&out, "x4", format_state(record));
  return out;
}

std::string join_flags(std::span<const uint8_t> values) {
  std::string out;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out.push_back('|');
    out.append(int_to_str(values[i]));
  }
  return out;
}

std::string join_flags(const aoboolean& values) {
  std::string out;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out.push_back('|');
    out.push_back(values[i] ? '1' : '0');
  }
  return out;
}

std::string join_strings(const astr& list) {
  std::string out;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out.push_back('|');
    out.append(list[i]);
  }
  return out;
}

void make_texts_storable(game_info* record) {
  record->name.resize(storable_name(record->name).size());
  make_storable(&record->map, false);
  make_storable(&record->uniset, false);
  make_storable(&record->lastfile, false);
  for (std::string& team : record->teams) make_storable(&team, true);
  for (std::string& color : record->colors) make_storable(&color, true);
}

void take_settings(const gametyp& save, game_info* record) {
  record->map = save.map;
  record->plr_cnt = save.plr_cnt;
  record->money = save.money;
  record->resource = save.resource;
  record->moratorium = save.moratorium;
  record->uniset = save.uniset;
  for (size_t i = 0; i < record->rules.size(); ++i) record->rules[i] = save.rule_bytes[i] ? 1 : 0;
}

void take_players(const gametyp& save, game_info* record) {
  const auto count = static_cast<size_t>(std::max(record->plr_cnt, 0));
  record->teams.resize(count);
  record->colors.resize(count);
  record->plr_states.resize(count);
  for (size_t i = 0; i < count; ++i) {
    record->teams[i] = save.plrs[i].team_name;
    record->colors[i] = color_text(save.plrs[i]);
    record->plr_states[i] = !save.plrs[i].out_flag;
  }
}

astr split_list(std::string_view text) {
  return split_entries(trim(text));
}

astr split_entries(std::string_view text) {
  astr list;
  if (text.empty()) return list;
  size_t start = 0;
  for (;;) {
    size_t bar = text.find('|', start);
    if (bar == std::string_view::npos) {
      list.emplace_back(text.substr(start));
      return list;
    }
    list.emplace_back(text.substr(start, bar - start));
    start = bar + 1;
  }
}

namespace {

// A file that already holds exactly `bytes` is left alone: everything on disk was synced before
// it became visible, so rewriting it would only add two syncs to every move (name.txt and
// descr.txt never change after creation, cond.txt seldom does). The game's lock serialises
// every writer and reader of these files, so they are rewritten keeping a spare.
void write_if_changed(const std::string& path, std::string_view bytes) {
  try {
    if (file_holds(path, bytes)) return;
  } catch (const io_error&) {
    // Unreadable: rewriting it is the cure.
  }
  replace_keeping_spare(path, bytes);
}

}  // namespace

void save_game_files(std::string_view root, const game_info& record) {
  make_dirs(game_dir(root, record.id));
  write_if_changed(game_file(root, record.id, name_file), storable_name(record.name));
  write_if_changed(game_file(root, record.id, descr_file), record.descr);
  write_if_changed(game_file(root, record.id, cond_file), format_conditions(record));
  write_if_changed(game_file(root, record.id, state_file), format_state(record));
}

namespace {

// The value of a key the server writes as a number or a list of numbers, read as the key/value
// format reads values: leading blanks and TABs dropped, cut where a ";" or "//" comment starts.
// Such a value never holds either, so a hand edit's comment cannot become part of it.
std::string_view number_text(const parserectyp& entry) {
  std::string_view text = entry.value;
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  text.remove_prefix(first);
  return text.substr(0, std::min(text.find(';'), text.find("//")));
}

// The integer reading of number_text: 0 unless it starts with a sign or a digit.
int32_t number_of(const parserectyp& entry) {
  std::string_view text = number_text(entry);
  if (text.empty()) return 0;
  const char c = text[0];
  return c == '+' || c == '-' || (c >= '0' && c <= '9') ? str_to_int(text) : 0;
}

}  // namespace

void apply_conditions(const preca& entries, game_info* record) {
  bool empty_teams = false;
  bool empty_colors = false;
  for (const parserectyp& e : entries) {
    if (e.key == "map") {
      record->map = e.value;
    } else if (e.key == "plr_cnt") {
      record->plr_cnt = number_of(e);
    } else if (e.key == "money") {
      record->money = number_of(e);
    } else if (e.key == "resource") {
      record->resource = number_of(e);
    } else if (e.key == "moratorium") {
      record->moratorium = number_of(e);
    } else if (e.key == "uniset") {
      record->uniset = e.value;
    } else if (e.key == "teams") {
      record->teams = split_entries(e.value);
      empty_teams = e.value.empty();
    } else if (e.key == "colors") {
      record->colors = split_entries(e.value);
      empty_colors = e.value.empty();
    } else if (e.key == "rules") {
      astr flags = split_list(number_text(e));
      if (flags.size() > rule_count) continue;
      record->rules.fill(0);
      for (size_t j = 0; j < flags.size(); ++j) record->rules[j] = flags[j] == "1" ? 1 : 0;
    }
  }
  // "teams:" is both no team and one team without a name; plr_cnt says which was written.
  if (record->plr_cnt == 1) {
    if (empty_teams) record->teams = {""};
    if (empty_colors) record->colors = {""};
  }
}

void apply_state(const preca& entries, game_info* record) {
  for (const parserectyp& e : entries) {
    if (e.key == "turn") {
      record->turn = number_of(e);
    } else if (e.key == "curplr") {
      record->curplr = number_of(e);
    } else if (e.key == "status") {
      record->status = number_of(e);
    } else if (e.key == "lastfile") {
      record->lastfile = e.value;
    } else if (e.key == "winner") {
      record->winner = number_of(e);
    } else if (e.key == "plr_states") {
      astr flags = split_list(number_text(e));
      record->plr_states.assign(flags.size(), false);
      for (size_t j = 0; j < flags.size(); ++j) record->plr_states[j] = flags[j] == "1";
    }
  }
}

void apply_admin_notes(const preca& entries, game_info* record) {
  for (const parserectyp& e : entries) {
    if (e.key == "archived_from") {
      record->archived_from = number_of(e);
    } else if (e.key == "unarchived") {
      record->unarchived_at = number_of(e);
    }
  }
}
