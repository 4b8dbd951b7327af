#include "db/layout.h"

#include "db/game.h"
#include "lib/conv.h"

namespace {

constexpr std::string_view game_dir_prefix = "game_";
constexpr std::string_view opening_prefix = "set_";
constexpr std::string_view playing_prefix = "turn_";
constexpr std::string_view save_suffix = ".zts";
// A stored name's numbers are written by int_to_str; nine digits cover every turn and player.
constexpr size_t max_name_digits = 9;
// What a client may ask for: one digit more than a stored name has, which can only miss.
constexpr size_t max_requested_digits = 10;

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

std::optional<std::string_view> game_number_text(std::string_view name) {
  if (!name.starts_with(game_dir_prefix)) return std::nullopt;
  return name.substr(game_dir_prefix.size());
}

int32_t game_dir_number(std::string_view name) {
  const std::optional<std::string_view> number = game_number_text(name);
  return number ? str_to_int(*number) : -1;
}

std::string game_dir(std::string_view root, int32_t id) {
  return joined(root, game_dir_name(id));
}

std::string turns_dir(std::string_view root, int32_t id) {
  return joined(game_dir(root, id), turns_subdir);
}

std::string game_file(std::string_view root, int32_t id, std::string_view file) {
  return joined(game_dir(root, id), file);
}

std::string turn_file_name(int32_t turn, int32_t curplr, bool opening_phase) {
  return std::string(opening_phase ? opening_prefix : playing_prefix) + int_to_str(turn) + "_" +
         int_to_str(curplr) + std::string(save_suffix);
}

std::optional<turn_file_ref> parse_turn_file_name(std::string_view name) {
  turn_file_ref ref;
  ref.opening = is_opening_save_name(name);
  if (!ref.opening && !name.starts_with(playing_prefix)) return std::nullopt;
  if (!name.ends_with(save_suffix)) return std::nullopt;
  std::string_view numbers = name.substr((ref.opening ? opening_prefix : playing_prefix).size());
  numbers.remove_suffix(save_suffix.size());
  const size_t sep = numbers.find('_');
  if (sep == std::string_view::npos) return std::nullopt;
  const std::string_view turn = numbers.substr(0, sep), curplr = numbers.substr(sep + 1);
  if (!is_decimal(turn, max_name_digits) || !is_decimal(curplr, max_name_digits)) {
    return std::nullopt;
  }
  ref.turn = str_to_int(turn);
  ref.curplr = str_to_int(curplr);
  return ref;
}

bool is_opening_save_name(std::string_view name) {
  return name.starts_with(opening_prefix);
}

std::optional<std::string> requested_turn_file_name(std::string_view turn,
                                                    std::string_view player) {
  if (!is_decimal(turn, max_requested_digits) || !is_decimal(player, max_requested_digits)) {
    return std::nullopt;
  }
  std::string name(playing_prefix);
  name.append(turn).append("_").append(player).append(save_suffix);
  return name;
}

bool is_stored_turn_file(std::string_view name) {
  return name.ends_with(save_suffix) && !name.starts_with('.');
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

std::string target_state_dir(std::string_view root, std::string_view url) {
  return joined(joined(root, ".notify"), fnv1a_hex(url));
}

std::string announcement_seq_dir(std::string_view root) {
  return joined(joined(root, ".notify"), "seq");
}

std::string announced_file_name(int32_t id) {
  return game_dir_name(id);
}

int32_t announced_file_game(std::string_view name) {
  const int32_t id = game_dir_number(name);
  return id >= 0 && name == announced_file_name(id) ? id : -1;
}
