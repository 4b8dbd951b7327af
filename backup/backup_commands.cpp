#include "backup/backup_commands.h"

#include "backup/backups.h"
#include "lib/file_io.h"

namespace {

std::string default_config_path() {
  for (const char* path : {"zts.conf", "/etc/zts/zts.conf"}) {
    if (file_exists(path)) return path;
  }
  return "";
}

}  // namespace

bool is_backup_command(const std::string& operation) {
  return operation == "backups" || operation == "prune";
}

int run_backup_command(const std::vector<std::string>& words, std::ostream& out,
                       std::ostream& err) {
  const std::string& op = words[0];
  std::string config_path = default_config_path();
  bool where = false, dry_run = false;
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i] == "--config" && i + 1 < words.size()) {
      config_path = words[++i];
    } else if (op == "backups" && words[i] == "--where") {
      where = true;
    } else if (op == "prune" && words[i] == "--dry-run") {
      dry_run = true;
    } else {
      err << "usage: zts_admin backups [--config FILE] [--where]\n"
             "       zts_admin prune [--config FILE] [--dry-run]\n";
      return 2;
    }
  }
  backup_config config;
  std::string why;
  if (!config_path.empty() && !read_backup_config(config_path, &config, &why)) {
    err << "zts_admin: " << why << "\n";
    return 1;
  }
  try {
    if (where) {
      out << config.dir << "\n";
    } else if (op == "backups") {
      std::vector<std::string> unfinished;
      const auto list = list_snapshots(config.dir, true, &unfinished);
      out << format_snapshot_list(config.dir, list, unfinished);
    } else {
      out << prune_snapshots(config.dir, config.rule, dry_run);
    }
  } catch (const std::exception& e) {
    err << "zts_admin: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
