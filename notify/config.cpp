#include "notify/config.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>

#include "lib/duration.h"
#include "notify/config_toml.h"
#include "notify/delivery.h"

namespace {

// A reminder count beyond this is certainly a typo.
constexpr int64_t max_remind_max = 100;
// Longer than any webhook outage worth waiting for; also keeps backoff arithmetic small.
constexpr uint32_t max_retry_for_s = 30 * 24 * 3600;
constexpr uint32_t max_duration_s = 10u * 366 * 24 * 3600;
// A target's label is a short name for log lines, not a description.
constexpr size_t max_label_bytes = 64;

constexpr std::array<std::string_view, 10> placeholders = {
    "{game}", "{id}",    "{turn}",   "{team}",   "{winner}",
    "{out}",  "{hours}", "{waited}", "{median}", "{link}"};

struct parse_ctx {
  notify_config_result* result;

  bool fail(const toml::node& node, const std::string& key, const std::string& what) {
    result->line = static_cast<int64_t>(node.source().begin.line);
    result->key = key;
    result->what = what;
    return false;
  }
};

bool read_duration(parse_ctx& ctx, const toml::node& node, const std::string& key, uint32_t* out) {
  const auto* text = node.as_string();
  if (!text) return ctx.fail(node, key, "expected a duration such as \"24h\"");
  std::chrono::milliseconds d{};
  // The notifications count in whole seconds, up to ten years.
  if (!parse_duration(text->get(), &d) || d.count() % 1000 != 0 ||
      d.count() / 1000 > max_duration_s) {
    return ctx.fail(node, key, "not a duration (\"90s\", \"15m\", \"24h\", \"2d\", \"1h30m\")");
  }
  *out = static_cast<uint32_t>(d.count() / 1000);
  return true;
}

bool read_string(parse_ctx& ctx, const toml::node& node, const std::string& key, std::string* out) {
  const auto* text = node.as_string();
  if (!text) return ctx.fail(node, key, "expected a string");
  *out = text->get();
  return true;
}

// A template may only name the placeholders the renderer fills; an unknown one would reach
// players as literal braces.
bool check_template(parse_ctx& ctx, const toml::node& node, const std::string& key,
                    std::string_view text) {
  for (size_t open = text.find('{'); open != std::string_view::npos;
       open = text.find('{', open + 1)) {
    size_t close = text.find('}', open);
    std::string_view name =
        text.substr(open, close == std::string_view::npos ? 1 : close - open + 1);
    bool known = false;
    for (std::string_view p : placeholders) known = known || p == name;
    if (!known) {
      return ctx.fail(node, key,
                      "unknown placeholder " + std::string(name) +
                          " (known: {game} {id} {turn} {team} {winner} {out} {hours} {waited} "
                          "{median} {link})");
    }
  }
  return true;
}

bool read_templates(parse_ctx& ctx, const toml::node& node, notify_templates* out) {
  const auto* table = node.as_table();
  if (!table) return ctx.fail(node, "notify.templates", "expected a table");
  const std::array<std::pair<std::string_view, std::string*>, 8> fields = {{
      {"new_game", &out->new_game},
      {"turn", &out->turn},
      {"player_out", &out->player_out},
      {"finished", &out->finished},
      {"finished_idle", &out->finished_idle},
      {"archived", &out->archived},
      {"reminder", &out->reminder},
      {"test", &out->test},
  }};
  for (const auto& [k, v] : *table) {
    const std::string key = "notify.templates." + std::string(k.str());
    std::string* field = nullptr;
    for (const auto& [name, f] : fields) {
      if (name == k.str()) field = f;
    }
    if (!field) return ctx.fail(v, key, "unknown template");
    if (!read_string(ctx, v, key, field) || !check_template(ctx, v, key, *field)) return false;
  }
  return true;
}

bool read_target(parse_ctx& ctx, const toml::node& node, const std::string& prefix,
                 notify_target* out) {
  const auto* table = node.as_table();
  if (!table) return ctx.fail(node, prefix, "expected a table ([[notify.target]])");
  bool has_url = false;
  bool has_format = false;
  for (const auto& [k, v] : *table) {
    const std::string key = prefix + "." + std::string(k.str());
    if (k.str() == "url") {
      if (!read_string(ctx, v, key, &out->url)) return false;
      std::string why;
      if (!check_target_url(out->url, &why)) return ctx.fail(v, key, why);
      has_url = true;
    } else if (k.str() == "format") {
      std::string name;
      if (!read_string(ctx, v, key, &name)) return false;
      bool known = false;
      for (notify_format f : {notify_format::discord, notify_format::slack, notify_format::ntfy,
                              notify_format::json}) {
        if (name == format_name(f)) {
          out->format = f;
          known = true;
        }
      }
      if (!known) {
        return ctx.fail(v, key, "unknown format \"" + name + "\" (discord, slack, ntfy or json)");
      }
      has_format = true;
    } else if (k.str() == "games") {
      const auto* list = v.as_array();
      if (!list) return ctx.fail(v, key, "expected a list of game ids");
      for (const toml::node& id : *list) {
        const auto* n = id.as_integer();
        if (!n || n->get() < 0 || n->get() > INT32_MAX) {
          return ctx.fail(id, key, "expected a game id (a whole number from 0)");
        }
        out->game_ids.push_back(static_cast<int32_t>(n->get()));
      }
    } else if (k.str() == "name") {
      if (!read_string(ctx, v, key, &out->name_pattern)) return false;
      if (out->name_pattern.empty()) return ctx.fail(v, key, "empty pattern");
    } else if (k.str() == "label") {
      if (!read_string(ctx, v, key, &out->label)) return false;
      // It goes into log lines and metric labels as it is.
      bool printable = std::none_of(out->label.begin(), out->label.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
      });
      if (out->label.empty() || out->label.size() > max_label_bytes || !printable) {
        return ctx.fail(v, key, "1 to 64 bytes, no control characters");
      }
    } else {
      return ctx.fail(v, key, "unknown key");
    }
  }
  if (!has_url) return ctx.fail(node, prefix + ".url", "missing");
  if (!has_format) return ctx.fail(node, prefix + ".format", "missing");
  return true;
}

}  // namespace

const char* format_name(notify_format format) {
  switch (format) {
    case notify_format::discord:
      return "discord";
    case notify_format::slack:
      return "slack";
    case notify_format::ntfy:
      return "ntfy";
    case notify_format::json:
      break;
  }
  return "json";
}

notify_templates default_templates() {
  notify_templates t;
  // Names come first after a colon, so the texts read whatever the names' number and gender.
  t.new_game = "Новая партия «{game}». Первый ход: {team}. {link}";
  t.turn = "«{game}», ход {turn}. Ходит: {team}. {link}";
  t.player_out = "«{game}». Вне игры: {out}. Ход {turn}. Ходит: {team}. {link}";
  t.finished = "«{game}» завершена. Победа: {winner}. {link}";
  t.finished_idle = "«{game}» завершена: давно не было ходов. {link}";
  t.archived = "«{game}» отправлена в архив: давно не было ходов. {link}";
  t.reminder = "Напоминание: «{game}», ход {turn} ждёт уже {waited}. Ходит: {team}. {link}";
  t.test = "Проверка уведомлений сервера. {link}";
  return t;
}

namespace {

bool read_notify(parse_ctx& ctx, const toml::table& table, notify_config* out) {
  for (const auto& [k, v] : table) {
    const std::string key = "notify." + std::string(k.str());
    if (k.str() == "remind_after") {
      if (!read_duration(ctx, v, key, &out->remind_after_s)) return false;
    } else if (k.str() == "remind_every") {
      if (!read_duration(ctx, v, key, &out->remind_every_s)) return false;
      if (out->remind_every_s == 0) return ctx.fail(v, key, "at least 1s");
    } else if (k.str() == "remind_max") {
      const auto* n = v.as_integer();
      if (!n) return ctx.fail(v, key, "expected a whole number");
      if (n->get() < 0 || n->get() > max_remind_max) return ctx.fail(v, key, "from 0 to 100");
      out->remind_max = static_cast<int32_t>(n->get());
    } else if (k.str() == "retry_for") {
      if (!read_duration(ctx, v, key, &out->retry_for_s)) return false;
      if (out->retry_for_s > max_retry_for_s) return ctx.fail(v, key, "at most 30d");
    } else if (k.str() == "ca_file") {
      if (!read_string(ctx, v, key, &out->ca_file)) return false;
    } else if (k.str() == "templates") {
      if (!read_templates(ctx, v, &out->templates)) return false;
    } else if (k.str() == "target") {
      const auto* list = v.as_array();
      if (!list) return ctx.fail(v, key, "expected [[notify.target]] tables");
      for (const toml::node& t : *list) {
        notify_target target;
        const std::string prefix = "notify.target[" + std::to_string(out->targets.size()) + "]";
        if (!read_target(ctx, t, prefix, &target)) return false;
        // Targets are told apart by URL (their announced states are kept by it).
        for (size_t i = 0; i < out->targets.size(); ++i) {
          if (out->targets[i].url == target.url) {
            const toml::node* url = t.as_table()->get("url");
            return ctx.fail(*url, prefix + ".url",
                            "the same URL as notify.target[" + std::to_string(i) + "]");
          }
        }
        out->targets.push_back(std::move(target));
      }
    } else {
      return ctx.fail(v, key, "unknown key");
    }
  }
  return true;
}

}  // namespace

notify_config_result parse_notify_config(const toml::table& table) {
  notify_config_result result;
  parse_ctx ctx{&result};
  result.ok = read_notify(ctx, table, &result.config);
  if (!result.ok) result.config = notify_config{};
  return result;
}
