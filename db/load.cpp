#include "db/load.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <memory>

#include "db/aside.h"
#include "db/game_files.h"
#include "db/generation.h"
#include "db/layout.h"
#include "db/repair.h"
#include "db/turn_times.h"
#include "lib/conv.h"
#include "lib/file_io.h"
#include "lib/log.h"

namespace {

struct dir_closer {
  void operator()(DIR* d) const { ::closedir(d); }
};

// A plain directory or file is kept on its type alone, so that the scan of 10,000 games stats
// nothing. Links and unknown types are stat'ed, so that a dangling link is left out.
bool kept(const dirent& entry, const std::string& path) {
  if (entry.d_type == DT_DIR || entry.d_type == DT_REG) return true;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// name.txt and descr.txt, whole: they hold the text exactly as uploaded, line breaks and all.
// A file we cannot read leaves the text empty and is logged.
std::string read_text_file(const std::string& root, int32_t id, const char* file) {
  try {
    return read_file(game_file(root, id, file));
  } catch (const io_error& e) {
    write_log("ERR",
              "Error loading game_" + int_to_str(id) + ", file " + file + " (" + e.what() + ")");
    return {};
  }
}

// The server writes name.txt without a line end; an editor adds one, which would make the name
// another ("plr_plr" a normal game) and show in every list.
std::string without_final_line_end(std::string text) {
  if (text.ends_with("\r\n")) {
    text.resize(text.size() - 2);
  } else if (text.ends_with('\n')) {
    text.pop_back();
  }
  return text;
}

// A removed game keeps its id: the list reaches past the highest id in the trash, so that no new
// game takes it and the removed one can always come back under its own id.
void reserve_trashed_ids(const std::string& root) REQUIRES(db_lock) {
  for (const std::string& name : list_dir(trash_root(root) + "/game_*")) {
    int32_t id = game_dir_number(name);
    if (id < 0 || id > max_game_id) continue;
    if (static_cast<size_t>(id) >= games.size()) games.resize(static_cast<size_t>(id) + 1);
  }
}

}  // namespace

astr list_dir(const std::string& mask) {
  size_t slash = mask.rfind('/');
  std::string dir = slash == std::string::npos ? "." : mask.substr(0, slash);
  std::string pattern = slash == std::string::npos ? mask : mask.substr(slash + 1);
  astr names;
  std::unique_ptr<DIR, dir_closer> handle(::opendir(dir.c_str()));
  if (!handle) return names;
  while (const dirent* entry = ::readdir(handle.get())) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (::fnmatch(pattern.c_str(), entry->d_name, FNM_PERIOD) != 0) continue;
    if (!kept(*entry, dir + "/" + entry->d_name)) continue;
    names.emplace_back(name);
  }
  return names;
}

void load_games(const std::string& root) {
  write_log("UPD", "Loading game info...");
  astr names = list_dir(root + "/game_*");
  games.clear();
  bump_games_generation();
  forget_all_turn_times();
  for (const std::string& name : names) {
    int32_t id = game_dir_number(name);
    if (id < 0) continue;
    if (id > max_game_id) {
      write_log("ERR", "Skipping " + name + ": game ids end at " + int_to_str(max_game_id));
      continue;
    }
    try {
      if (repair_final_move(game_dir(root, id))) {
        write_log("UPD", game_dir_name(id) + ": put back the files of a final move that " +
                             "did not complete");
      }
      const text_damage damage = load_game(root, id);
      if (damage.any() && !repair_game(root, damage, games[id].get())) {
        write_log("ERR", game_dir_name(id) + " held: " + games[id]->damage);
      }
    } catch (const io_error& e) {
      write_log("ERR", "Error loading game_" + int_to_str(id) + " (" + e.what() + ")");
      // Half read, it must not be written back: held like a damaged one.
      if (static_cast<size_t>(id) < games.size() && games[id]) games[id]->damage = e.what();
    }
  }
  reserve_trashed_ids(root);
  write_log("UPD", "Game info loaded");
}

text_damage read_game_record(const std::string& root, int32_t id, game_info* record) {
  record->id = id;
  record->damage.clear();
  // Built from the number, not the scanned name: game_07 reads game_7.
  if (!file_exists(game_file(root, id, cond_file))) return {};
  record->name = without_final_line_end(read_text_file(root, id, name_file));
  record->descr = read_text_file(root, id, descr_file);
  const preca cond = parse_file(game_file(root, id, cond_file), game_file_options);
  const std::string state_path = game_file(root, id, state_file);
  const preca state = parse_file(state_path, game_file_options);
  apply_conditions(cond, record);
  apply_state(state, record);
  if (file_exists(game_file(root, id, admin_file))) {
    apply_admin_notes(parse_file(game_file(root, id, admin_file), game_file_options), record);
  }
  // A whole state.txt is never empty: only then is it worth a look whether it is there.
  const text_damage damage =
      find_text_damage(cond, state, !state.empty() || file_exists(state_path));
  record->damage = damage.describe(game_dir(root, id));
  return damage;
}

text_damage load_game(const std::string& root, int32_t id) {
  size_t slot = static_cast<size_t>(id);
  // Under the same hold of db_lock as the change itself, so the order does not matter.
  bump_game_generation(slot);
  if (slot >= games.size()) games.resize(slot + 1);
  if (!games[slot]) new_game_info(id);
  return read_game_record(root, id, games[slot].get());
}
