#include "db/layout.h"

#include "db/game.h"
#include "lib/conv.h"

namespace {

constexpr std::string_view game_dir_prefix = "game_";

std::string joined(std::string_view dir, std::string_view name) {
  std::string path(dir);
  path += '/';
  path += name;
  return path;
}

}  // namespace

std::string game_dir_name(int32_t id) {
  return std::string(game_dir_prefix) + int_to_str(id);
}

int32_t game_dir_number(std::string_view name) {
  if (!name.starts_with(game_dir_prefix)) return -1;
  return str_to_int(name.substr(game_dir_prefix.size()));
}

std::string game_dir(std::string_view root, int32_t id) {
  return joined(root, game_dir_name(id));
}

std::string turns_dir(std::string_view root, int32_t id) {
  return game_dir(root, id) + "/turns";
}

std::string game_file(std::string_view root, int32_t id, std::string_view file) {
  return joined(game_dir(root, id), file);
}

std::string turn_file_name(int32_t turn, int32_t curplr, bool opening_phase) {
  return std::string(opening_phase ? "set_" : "turn_") + int_to_str(turn) + "_" +
         int_to_str(curplr) + ".zts";
}

std::string turn_file_path(std::string_view root, int32_t id, std::string_view name) {
  return joined(turns_dir(root, id), name);
}

std::string newest_save_path(std::string_view root, const game_info& record) {
  return turn_file_path(root, record.id, record.lastfile);
}

std::string staging_root(std::string_view root) {
  return joined(root, ".new");
}

std::string staged_game_dir(std::string_view root, int32_t id) {
  return joined(staging_root(root), game_dir_name(id));
}

std::string swap_game_dir(std::string_view root, int32_t id) {
  return joined(joined(root, ".swap"), game_dir_name(id));
}

std::string trash_root(std::string_view root) {
  return joined(root, ".trash");
}

std::string trashed_game_dir(std::string_view root, int32_t id) {
  return joined(trash_root(root), game_dir_name(id));
}
