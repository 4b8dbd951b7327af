#include "db/aside.h"

#include <sys/stat.h>

#include "db/game_files.h"
#include "db/layout.h"
#include "lib/file_io.h"
#include "lib/parser.h"

namespace {

const std::string end_state = std::string("/") + end_state_file;
const std::string end_cond = std::string("/") + end_cond_file;
const std::string end_save = std::string("/") + end_save_file;

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Renames `from` over `to`. When both are already the same file rename(2) does nothing, so the
// spare name is removed as well.
void put_back(const std::string& from, const std::string& to) {
  if (!file_exists(from)) return;
  rename_path(from, to);
  remove_file_quiet(from);
}

// aside/.end_x.before: where an earlier final move's end_x waits while a new one is made.
std::string before(const std::string& aside, const std::string& end_file) {
  return aside + "/." + end_file.substr(1) + ".before";
}

void drop_earlier(const std::string& aside) {
  remove_file_quiet(before(aside, end_state));
  remove_file_quiet(before(aside, end_cond));
  remove_file_quiet(before(aside, end_save));
}

// Links the end_* files there are to their .before names, end_state.txt's last.
void keep_earlier(const std::string& aside) {
  if (!file_exists(aside + end_state)) {
    drop_earlier(aside);
    return;
  }
  for (const std::string& end_file : {end_cond, end_save}) {
    if (file_exists(aside + end_file)) {
      link_file_atomic(aside + end_file, before(aside, end_file));
    } else {
      remove_file_quiet(before(aside, end_file));
    }
  }
  link_file_atomic(aside + end_state, before(aside, end_state));
}

// Puts the earlier final move's files back, or removes the end_* files when there was none.
void restore_earlier(const std::string& aside) {
  remove_file_quiet(aside + end_state);
  const bool earlier = file_exists(before(aside, end_state));
  for (const std::string& end_file : {end_cond, end_save}) {
    if (earlier && file_exists(before(aside, end_file))) {
      put_back(before(aside, end_file), aside + end_file);
    } else {
      remove_file_quiet(aside + end_file);
    }
  }
  if (earlier) put_back(before(aside, end_state), aside + end_state);
}

}  // namespace

std::string aside_dir(const std::string& game_dir) {
  return game_dir + "/" + aside_subdir;
}

void keep_before_final_move(const std::string& game_dir, const std::string& lastfile) {
  const std::string aside = aside_dir(game_dir);
  const bool made = !dir_exists(aside);
  make_dirs(aside);
  keep_earlier(aside);
  try {
    const std::string turn_file = game_dir + "/" + turns_subdir + "/" + lastfile;
    if (file_exists(turn_file)) {
      link_file_atomic(turn_file, aside + end_save);
    } else {
      remove_file_quiet(aside + end_save);
    }
    link_file_atomic(game_dir + "/" + cond_file, aside + end_cond);
    link_file_atomic(game_dir + "/" + state_file, aside + end_state);
    sync_dir(aside);
    if (made) sync_dir(game_dir);
  } catch (...) {
    restore_earlier(aside);
    throw;
  }
}

void settle_final_move_aside(const std::string& game_dir) {
  drop_earlier(aside_dir(game_dir));
}

void undo_final_move_aside(const std::string& game_dir) {
  restore_earlier(aside_dir(game_dir));
}

bool final_move_pending(const std::string& game_dir) {
  return same_file(game_dir + "/" + state_file, aside_dir(game_dir) + end_state);
}

bool final_move_kept(const std::string& game_dir) {
  return file_exists(aside_dir(game_dir) + end_state) && !final_move_pending(game_dir);
}

bool repair_final_move(const std::string& game_dir) {
  const std::string aside = aside_dir(game_dir);
  if (!final_move_pending(game_dir)) {
    if (!file_exists(before(aside, end_state))) return false;
    // A keep or an undo cut short still has end_state.txt as it was, or none; a settle cut short
    // has the new move's, which state.txt has left.
    if (!file_exists(aside + end_state) || same_file(aside + end_state, before(aside, end_state))) {
      restore_earlier(aside);
    } else {
      drop_earlier(aside);
    }
    sync_dir(aside);
    return false;
  }
  const std::string lastfile = lastfile_of(read_file(aside + end_state));
  put_back(aside + end_cond, game_dir + "/" + cond_file);
  if (!lastfile.empty()) put_back(aside + end_save, game_dir + "/" + turns_subdir + "/" + lastfile);
  sync_dir(game_dir + "/" + turns_subdir);
  sync_dir(game_dir);
  // Last: until it goes, a crash here repeats the repair, which finds the work done. The
  // earlier final move's files, if any, come back in the same step.
  restore_earlier(aside);
  sync_dir(aside);
  return true;
}

std::string pending_final_save(const std::string& game_dir) {
  const std::string saved = aside_dir(game_dir) + end_save;
  return final_move_pending(game_dir) && file_exists(saved) ? saved : "";
}

std::string kept_final_save(const std::string& game_dir) {
  const std::string saved = aside_dir(game_dir) + end_save;
  return file_exists(saved) && final_move_kept(game_dir) ? saved : "";
}

std::string next_undone_name(const std::string& game_dir, const std::string& file) {
  for (int n = 1;; ++n) {
    std::string name = "undone_" + std::to_string(n) + "_" + file;
    if (!file_exists(aside_dir(game_dir) + "/" + name)) return name;
  }
}

std::string lastfile_of(const std::string& state_text) {
  std::string lastfile;
  for (const parserectyp& e : parse_text(state_text, game_file_options)) {
    if (e.key == "lastfile") lastfile = e.value;
  }
  return lastfile;
}
