#include "backup/backups.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "backup/backups_toml.h"
#include "lib/file_io.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view removing_prefix = ".removing-";

bool read_count(const toml::node& node, const std::string& key, int* out, std::string* error) {
  const auto value = node.value<int64_t>();
  if (!node.is_integer() || !value || *value < 0 || *value > max_keep) {
    *error = key + ": expected an integer from 0 to " + std::to_string(max_keep);
    return false;
  }
  *out = static_cast<int>(*value);
  return true;
}

// Disk used below `path` (st_blocks), and the part of it that no other name links to.
void measure_tree(const std::string& path, int64_t* bytes, int64_t* own) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    struct stat st;
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    const int64_t used = static_cast<int64_t>(st.st_blocks) * 512;
    *bytes += used;
    if (S_ISDIR(st.st_mode) || st.st_nlink == 1) *own += used;
  }
}

int32_t count_games(const std::string& snapshot) {
  int32_t games = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(snapshot + "/game_server", ec)) {
    if (e.path().filename().string().starts_with("game_") && e.is_directory(ec)) ++games;
  }
  return games;
}

std::string megabytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

}  // namespace

bool parse_backup_config(const toml::table& table, backup_config* out, std::string* error) {
  for (const auto& [key_node, node] : table) {
    const std::string key(key_node.str());
    bool ok = true;
    if (key == "dir") {
      const auto text = node.value<std::string>();
      ok = node.is_string() && text && !text->empty();
      if (ok) out->dir = *text;
      if (!ok) *error = "dir: expected a directory name";
    } else if (key == "keep_hourly") {
      ok = read_count(node, key, &out->rule.keep_hourly, error);
    } else if (key == "keep_daily") {
      ok = read_count(node, key, &out->rule.keep_daily, error);
    } else if (key == "keep_weekly") {
      ok = read_count(node, key, &out->rule.keep_weekly, error);
    } else {
      *error = key + ": unknown key";
      ok = false;
    }
    if (!ok) return false;
  }
  return true;
}

bool read_backup_config(const std::string& path, backup_config* out, std::string* error) {
  toml::table root;
  try {
    root = toml::parse_file(path);
  } catch (const toml::parse_error& e) {
    *error = path + ": " + std::string(e.description());
    return false;
  }
  const toml::node* table = root.get("backup");
  if (!table) return true;
  if (!table->is_table()) {
    *error = path + ": backup: expected a table";
    return false;
  }
  if (parse_backup_config(*table->as_table(), out, error)) return true;
  *error = path + ": backup." + *error;
  return false;
}

std::vector<snapshot_entry> list_snapshots(const std::string& dir, bool measure,
                                           std::vector<std::string>* unfinished) {
  std::vector<snapshot_entry> list;
  if (!dir_exists(dir)) return list;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) throw io_error("cannot read " + dir + ": " + ec.message());
  for (const auto& e : it) {
    const std::string name = e.path().filename().string();
    snapshot_entry s;
    if (parse_snapshot_name(name, &s.time) && e.is_directory(ec)) {
      s.name = name;
      if (measure) {
        s.games = count_games(e.path().string());
        measure_tree(e.path().string(), &s.bytes, &s.own_bytes);
      }
      list.push_back(s);
    } else if (unfinished && name.starts_with('.') && name.find(".snapshot.") != name.npos) {
      unfinished->push_back(name);
    }
  }
  std::sort(list.begin(), list.end(),
            [](const snapshot_entry& a, const snapshot_entry& b) { return a.time < b.time; });
  return list;
}

std::string format_snapshot_list(const std::string& dir, const std::vector<snapshot_entry>& list,
                                 const std::vector<std::string>& unfinished) {
  std::ostringstream out;
  for (const snapshot_entry& s : list) {
    out << s.name << "  " << s.games << " games  " << megabytes(s.bytes) << " ("
        << megabytes(s.own_bytes) << " its own)\n";
  }
  for (const std::string& name : unfinished) out << name << "  being written, or interrupted\n";
  out << list.size() << " snapshots in " << dir << "\n";
  return out.str();
}

std::string prune_snapshots(const std::string& dir, const retention_rule& rule, bool dry_run) {
  const std::vector<snapshot_entry> list = list_snapshots(dir, false);
  std::vector<int64_t> times;
  for (const snapshot_entry& s : list) times.push_back(s.time);
  const std::vector<bool> keep = snapshots_to_keep(times, rule);
  std::ostringstream out;
  size_t removed = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    if (keep[i]) {
      out << "kept " << list[i].name << "\n";
      continue;
    }
    out << (dry_run ? "would remove " : "removed ") << list[i].name << "\n";
    ++removed;
    if (dry_run) continue;
    rename_path(dir + "/" + list[i].name, dir + "/" + std::string(removing_prefix) + list[i].name);
  }
  if (!dry_run) {
    // Also what an interrupted prune left: renamed, so never taken for a whole snapshot.
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
      if (!e.path().filename().string().starts_with(removing_prefix)) continue;
      fs::remove_all(e.path(), ec);
      if (ec) throw io_error("cannot remove " + e.path().string() + ": " + ec.message());
    }
    if (removed > 0) sync_dir(dir);
  }
  out << (dry_run ? "would remove " : "removed ") << removed << " of " << list.size()
      << " snapshots in " << dir << "\n";
  return out.str();
}
