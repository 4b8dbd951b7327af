#include "server/config.h"

#include <algorithm>
#include <sstream>

#include <toml++/toml.h>

#include "backup/backups_toml.h"
#include "lib/duration.h"
#include "lib/file_io.h"
#include "lib/mutex.h"
#include "notify/config_toml.h"

namespace {

using std::chrono::milliseconds;

// Bounds of the values an operator may set, wide enough for any real machine and narrow enough
// that a slip of the finger ("5000000") is caught at load rather than felt under load.
constexpr int64_t max_connection_cap = 65536;
constexpr milliseconds shortest_timeout{100};
constexpr milliseconds longest_timeout{3600 * 1000};
// A unix socket path must fit sockaddr_un.sun_path with its terminating zero.
constexpr size_t max_socket_path = 107;
constexpr size_t max_url_length = 1024;

// A refusal on its way out: where and what.
struct config_error {
  int64_t line;
  std::string key;
  std::string what;
};

int64_t line_of(const toml::node& node) {
  return static_cast<int64_t>(node.source().begin.line);
}

std::string type_name(const toml::node& node) {
  std::ostringstream out;
  out << node.type();
  return out.str();
}

config_error wrong_type(const toml::node& node, const std::string& key, const char* expected) {
  return {line_of(node), key, std::string("expected ") + expected + ", got " + type_name(node)};
}

bool read_int(const toml::node& node, const std::string& key, int64_t low, int64_t high, int* out,
              std::vector<config_error>* errors) {
  const auto* value = node.as_integer();
  if (value == nullptr) {
    errors->push_back(wrong_type(node, key, "an integer"));
    return false;
  }
  if (value->get() < low || value->get() > high) {
    errors->push_back({line_of(node), key,
                       "expected an integer from " + std::to_string(low) + " to " +
                           std::to_string(high) + ", got " + std::to_string(value->get())});
    return false;
  }
  *out = static_cast<int>(value->get());
  return true;
}

void read_duration(const toml::node& node, const std::string& key, milliseconds low,
                   milliseconds high, milliseconds* out, std::vector<config_error>* errors) {
  const auto* text = node.as_string();
  milliseconds d{};
  if (text == nullptr || !parse_duration(text->get(), &d)) {
    errors->push_back({line_of(node), key,
                       "expected a duration such as \"60s\", \"500ms\", \"2m\" or \"1h\", got " +
                           (text ? "\"" + text->get() + "\"" : type_name(node))});
    return;
  }
  if (d < low || d > high) {
    errors->push_back({line_of(node), key,
                       "expected a duration from " + format_duration(low) + " to " +
                           format_duration(high) + ", got " + text->get()});
    return;
  }
  *out = d;
}

// An array of strings, each read by `parse`. `what` names one element for the message.
template <class T, class Parse>
void read_list(const toml::node& node, const std::string& key, const char* what, Parse parse,
               std::vector<T>* out, std::vector<config_error>* errors) {
  const auto* array = node.as_array();
  if (array == nullptr) {
    errors->push_back(wrong_type(node, key, "an array of strings"));
    return;
  }
  std::vector<T> items;
  for (const toml::node& element : *array) {
    const auto* text = element.as_string();
    T item{};
    if (text == nullptr) {
      errors->push_back(wrong_type(element, key, "an array of strings"));
      return;
    }
    if (!parse(text->get(), &item)) {
      errors->push_back(
          {line_of(element), key, "\"" + text->get() + "\" is not " + std::string(what)});
      return;
    }
    for (const T& seen : items) {
      if (seen == item) {
        errors->push_back({line_of(element), key, "\"" + text->get() + "\" is listed twice"});
        return;
      }
    }
    items.push_back(item);
  }
  *out = std::move(items);
}

bool is_url_char(char c) {
  return c > ' ' && c < 127 && c != '"' && c != '<' && c != '>' && c != '\\' && c != '`';
}

void read_public_url(const toml::node& node, const std::string& key, std::string* out,
                     std::vector<config_error>* errors) {
  const auto* text = node.as_string();
  if (text == nullptr) {
    errors->push_back(wrong_type(node, key, "a string"));
    return;
  }
  std::string url = text->get();
  while (!url.empty() && url.back() == '/') url.pop_back();
  size_t scheme = url.rfind("https://", 0) == 0 ? 8 : url.rfind("http://", 0) == 0 ? 7 : 0;
  bool printable = std::all_of(url.begin(), url.end(), is_url_char);
  if (scheme == 0 || url.size() <= scheme || url.size() > max_url_length || !printable ||
      url[scheme] == '/') {
    errors->push_back({line_of(node), key,
                       "expected an http:// or https:// URL such as "
                       "\"https://games.example.org\", got \"" +
                           text->get() + "\""});
    return;
  }
  *out = url;
}

void read_socket_path(const toml::node& node, const std::string& key, std::string* out,
                      std::vector<config_error>* errors) {
  const auto* text = node.as_string();
  if (text == nullptr) {
    errors->push_back(wrong_type(node, key, "a string"));
    return;
  }
  const std::string& path = text->get();
  if (path.empty() || path.size() > max_socket_path || path.find('\0') != std::string::npos) {
    errors->push_back({line_of(node), key,
                       "expected a path of 1 to " + std::to_string(max_socket_path) + " bytes"});
    return;
  }
  *out = path;
}

// Every table below `node` written as a plain table, so that the printed text depends on the
// values only, not on whether the file wrote a table inline.
void make_plain(toml::node& node) {
  if (toml::table* table = node.as_table()) {
    table->is_inline(false);
    for (auto&& [key, child] : *table) make_plain(child);
  } else if (toml::array* array = node.as_array()) {
    for (toml::node& child : *array) make_plain(child);
  }
}

// The table as TOML text in one canonical form (keys sorted, no comments, plain tables).
std::string canonical_text(const toml::table& table) {
  toml::table copy = table;
  make_plain(copy);
  std::ostringstream out;
  out << copy;
  return out.str();
}

void read_notify(const toml::table& table, notify_config* out, std::vector<config_error>* errors) {
  notify_config_result read = parse_notify_config(table);
  if (!read.ok) {
    errors->push_back({read.line, read.key, read.what});
    return;
  }
  *out = std::move(read.config);
}

// Reads one top-level key into *config.
void read_key(const std::string& key, const toml::node& node, zts_config* config,
              std::vector<config_error>* errors) {
  if (key == "listen") {
    read_list(node, key, "an address with a port such as \"0.0.0.0:80\" or \"[::]:80\"",
              parse_endpoint, &config->listen, errors);
    if (errors->empty() && config->listen.empty()) {
      errors->push_back({line_of(node), key, "expected at least one address"});
    }
  } else if (key == "trusted_proxies") {
    read_list(node, key, "an address or range such as \"10.0.0.0/8\"", parse_ip_net,
              &config->trusted_proxies, errors);
  } else if (key == "metrics_allow") {
    read_list(node, key, "an address or range such as \"127.0.0.0/8\"", parse_ip_net,
              &config->metrics_allow, errors);
  } else if (key == "public_url") {
    read_public_url(node, key, &config->public_url, errors);
  } else if (key == "admin_socket") {
    read_socket_path(node, key, &config->admin_socket, errors);
  } else if (key == "max_connections") {
    read_int(node, key, 1, max_connection_cap, &config->max_connections, errors);
  } else if (key == "max_connections_per_addr") {
    read_int(node, key, 1, max_connection_cap, &config->max_connections_per_addr, errors);
  } else if (key == "first_byte_timeout") {
    read_duration(node, key, shortest_timeout, longest_timeout, &config->first_byte_timeout,
                  errors);
  } else if (key == "send_timeout") {
    read_duration(node, key, shortest_timeout, longest_timeout, &config->send_timeout, errors);
  } else if (key == "stop_grace") {
    read_duration(node, key, milliseconds(0), longest_timeout, &config->stop_grace, errors);
  } else if (key == "web") {
    if (const auto* value = node.as_boolean()) {
      config->web = value->get();
    } else {
      errors->push_back(wrong_type(node, key, "a boolean"));
    }
  } else if (key == "notify") {
    if (const auto* table = node.as_table()) {
      config->notify_table = canonical_text(*table);
      read_notify(*table, &config->notifications, errors);
    } else {
      errors->push_back(wrong_type(node, key, "a table"));
    }
  } else if (key == "backup") {
    // Read by zts_admin (the scheduled back-ups), checked here so that a mistake shows at once.
    backup_config backup;
    std::string error;
    if (!node.as_table()) {
      errors->push_back(wrong_type(node, key, "a table"));
    } else if (!parse_backup_config(*node.as_table(), &backup, &error)) {
      errors->push_back({line_of(node), key, error});
    }
  } else {
    errors->push_back({line_of(node), key, "unknown key"});
  }
}

std::string join(const std::vector<std::string>& items) {
  std::string text = "[";
  for (size_t i = 0; i < items.size(); ++i) text += (i ? ", " : "") + items[i];
  return text + "]";
}

std::string listen_text(const std::vector<ip_endpoint>& listen) {
  if (listen.empty()) return "[default]";
  std::vector<std::string> items;
  for (const auto& ep : listen) items.push_back(format_endpoint(ep));
  return join(items);
}

std::string nets_text(const std::vector<ip_net>& nets) {
  std::vector<std::string> items;
  for (const auto& net : nets) items.push_back(format_ip_net(net));
  return join(items);
}

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// The configuration in force. Never destroyed: a worker cut off by a stop may still take it at
// exit.
struct config_holder {
  annotated_mutex mutex;
  // Readers copy the pointer and keep the configuration they got.
  std::shared_ptr<const zts_config> current GUARDED_BY(mutex) =
      std::make_shared<const zts_config>();
};

config_holder& holder() {
  static config_holder* h = new config_holder;
  return *h;
}

// Puts `next` in force and returns the configuration it replaces.
std::shared_ptr<const zts_config> swap_config(std::shared_ptr<const zts_config> next) {
  config_holder& h = holder();
  mutex_lock lock(h.mutex);
  h.current.swap(next);
  return next;
}

}  // namespace

std::vector<ip_net> zts_config::default_metrics_allow() {
  std::vector<ip_net> nets(2);
  parse_ip_net("127.0.0.0/8", &nets[0]);
  parse_ip_net("::1", &nets[1]);
  return nets;
}

config_result parse_config(std::string_view text, const std::string& path) {
  config_result result;
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& e) {
    result.error = path + ":" + std::to_string(e.source().begin.line) +
                   ": syntax error: " + std::string(e.description());
    return result;
  } catch (const std::exception& e) {
    result.error = path + ": " + e.what();
    return result;
  }
  std::vector<config_error> errors;
  for (auto&& [key, node] : root) {
    read_key(std::string(key.str()), node, &result.config, &errors);
    if (!errors.empty()) break;
  }
  if (!errors.empty()) {
    const config_error& e = errors.front();
    result.error = path + ":" + std::to_string(e.line) + ": " + e.key + ": " + e.what;
    return result;
  }
  // Links in notifications start at the public URL, wherever the file sets it.
  result.config.notifications.public_url = result.config.public_url;
  result.ok = true;
  return result;
}

config_result load_config(const std::string& path) {
  std::string text;
  try {
    text = read_file(path);
  } catch (const std::exception& e) {
    config_result result;
    result.error = e.what();
    return result;
  }
  return parse_config(text, path);
}

std::vector<std::string> config_changes(const zts_config& a, const zts_config& b) {
  std::vector<std::string> changes;
  auto note = [&](const char* key, const std::string& before, const std::string& after) {
    if (before != after) changes.push_back(std::string(key) + " " + before + " -> " + after);
  };
  note("listen", listen_text(a.listen), listen_text(b.listen));
  note("trusted_proxies", nets_text(a.trusted_proxies), nets_text(b.trusted_proxies));
  note("metrics_allow", nets_text(a.metrics_allow), nets_text(b.metrics_allow));
  note("public_url", quoted(a.public_url), quoted(b.public_url));
  note("admin_socket", quoted(a.admin_socket), quoted(b.admin_socket));
  note("max_connections", std::to_string(a.max_connections), std::to_string(b.max_connections));
  note("max_connections_per_addr", std::to_string(a.max_connections_per_addr),
       std::to_string(b.max_connections_per_addr));
  note("first_byte_timeout", format_duration(a.first_byte_timeout),
       format_duration(b.first_byte_timeout));
  note("send_timeout", format_duration(a.send_timeout), format_duration(b.send_timeout));
  note("stop_grace", format_duration(a.stop_grace), format_duration(b.stop_grace));
  note("web", a.web ? "true" : "false", b.web ? "true" : "false");
  if (a.notify_table != b.notify_table) changes.push_back("[notify] changed");
  return changes;
}

bool config_needs_restart(const zts_config& before, const zts_config& after) {
  return before.listen != after.listen || before.admin_socket != after.admin_socket;
}

std::shared_ptr<const zts_config> current_config() {
  config_holder& h = holder();
  mutex_lock lock(h.mutex);
  return h.current;
}

void set_current_config(zts_config config) {
  swap_config(std::make_shared<const zts_config>(std::move(config)));
}

std::shared_ptr<const notify_config> notify_settings(std::shared_ptr<const zts_config> config) {
  const notify_config* settings = &config->notifications;
  return std::shared_ptr<const notify_config>(std::move(config), settings);
}

scoped_config::scoped_config(zts_config config)
    : previous(swap_config(std::make_shared<const zts_config>(std::move(config)))) {}

scoped_config::~scoped_config() {
  swap_config(std::move(previous));
}
