#include "server/config.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "lib/file_io.h"
#include "tests/support/temp_dir.h"

namespace {

using std::chrono::milliseconds;

TEST(Config, EveryKeyReadsOverItsDefault) {
  config_result defaults = parse_config("", "zts.conf");
  ASSERT_TRUE(defaults.ok) << defaults.error;
  EXPECT_TRUE(defaults.config.listen.empty());
  EXPECT_TRUE(config_changes(zts_config{}, defaults.config).empty());

  config_result r = parse_config(R"(# every key
listen = ["0.0.0.0:8080", "[::]:8080"]
trusted_proxies = ["127.0.0.1", "::1", "10.0.0.0/8"]
metrics_allow = ["192.168.1.0/24"]
public_url = "https://games.example.org/"
admin_socket = "/run/zts/admin.sock"
max_connections = 100
max_connections_per_addr = 8
first_byte_timeout = "1500ms"
send_timeout = "2m"
stop_grace = "0s"
web = false
[notify]
remind_after = "2h"
[[notify.target]]
url = "https://hooks.example.org/x"
format = "slack"
)",
                                 "zts.conf");
  ASSERT_TRUE(r.ok) << r.error;
  const zts_config& c = r.config;
  ASSERT_EQ(c.listen.size(), 2u);
  EXPECT_EQ(format_endpoint(c.listen[1]), "[::]:8080");
  ASSERT_EQ(c.trusted_proxies.size(), 3u);
  EXPECT_EQ(format_ip_net(c.trusted_proxies[2]), "10.0.0.0/8");
  ASSERT_EQ(c.metrics_allow.size(), 1u);
  EXPECT_EQ(c.public_url, "https://games.example.org");
  EXPECT_EQ(c.admin_socket, "/run/zts/admin.sock");
  EXPECT_EQ(c.max_connections, 100);
  EXPECT_EQ(c.max_connections_per_addr, 8);
  EXPECT_EQ(c.first_byte_timeout, milliseconds(1500));
  EXPECT_EQ(c.send_timeout, milliseconds(120'000));
  EXPECT_EQ(c.stop_grace, milliseconds(0));
  EXPECT_FALSE(c.web);
  EXPECT_NE(c.notify_table.find("remind_after"), std::string::npos);
  EXPECT_EQ(c.notifications.remind_after_s, 7200u);
  ASSERT_EQ(c.notifications.targets.size(), 1u);
  EXPECT_EQ(c.notifications.targets[0].format, notify_format::slack);
  EXPECT_EQ(c.notifications.public_url, "https://games.example.org");  // for the links

  std::vector<std::string> changes = config_changes(defaults.config, c);
  ASSERT_EQ(changes.size(), 12u);
  EXPECT_EQ(changes[0], "listen [default] -> [0.0.0.0:8080, [::]:8080]");
  EXPECT_EQ(changes[2], "metrics_allow [127.0.0.0/8, ::1] -> [192.168.1.0/24]");
  EXPECT_EQ(changes[7], "first_byte_timeout 60s -> 1500ms");
  EXPECT_EQ(changes[10], "web true -> false");
  EXPECT_EQ(changes[11], "[notify] changed");
  EXPECT_TRUE(config_needs_restart(defaults.config, c));
  zts_config live_only = defaults.config;
  live_only.max_connections = 1;
  live_only.trusted_proxies = c.trusted_proxies;
  EXPECT_FALSE(config_needs_restart(defaults.config, live_only));
}

// The [notify] table is compared as written, whatever its layout: key order, spacing, comments
// and the form of a table do not count; a value the parser reads the same way does.
TEST(Config, NotifyTableComparesByValueNotLayout) {
  auto notify_of = [](const std::string& text) {
    config_result r = parse_config(text, "zts.conf");
    EXPECT_TRUE(r.ok) << r.error;
    return r.config;
  };
  const zts_config a = notify_of(
      "[notify]\nremind_after = \"2h\"\nremind_max = 3\n[notify.templates]\nturn = \"{game}\"\n");
  const zts_config same = notify_of(
      "notify = { remind_max = 3, templates = { turn = \"{game}\" },   remind_after = \"2h\" }  # "
      "x\n");
  const zts_config longer = notify_of(
      "[notify]\nremind_after = \"120m\"\nremind_max = 3\n[notify.templates]\nturn = \"{game}\"\n"
      "[[notify.target]]\nurl = \"http://a/\"\nformat = \"json\"\n");
  EXPECT_TRUE(config_changes(a, same).empty());
  EXPECT_EQ(config_changes(a, longer), std::vector<std::string>{"[notify] changed"});
  EXPECT_EQ(config_changes(a, zts_config{}), std::vector<std::string>{"[notify] changed"});
}

TEST(Config, BadFilesAreRefusedWithFileLineAndKey) {
  struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"max_connections = 5\nlisten = [\"1.2.3.4\"", "a.conf:2: syntax error: "},
      {"max_connections = 5\nmax_connections = 6\n", "a.conf:2: syntax error: "},
      {"\n\nlisten_on = [\"0.0.0.0:80\"]\n", "a.conf:3: listen_on: unknown key"},
      {"[metrics]\nallow = []\n", "a.conf:1: metrics: unknown key"},
      {"[backup]\nkeep_daily = -1\n",
       "a.conf:1: backup: keep_daily: expected an integer from 0 to 100000"},
      {"[backup]\ndirectory = \"x\"\n", "a.conf:1: backup: directory: unknown key"},
      {"max_connections = \"512\"\n", "a.conf:1: max_connections: expected an integer, got string"},
      {"max_connections = 0\n", "a.conf:1: max_connections: expected an integer from 1 to 65536"},
      {"max_connections_per_addr = 70000\n", "a.conf:1: max_connections_per_addr: expected an"},
      {"send_timeout = 60\n", "a.conf:1: send_timeout: expected a duration such as \"60s\""},
      {"send_timeout = \"60 s\"\n", "a.conf:1: send_timeout: expected a duration"},
      {"first_byte_timeout = \"50ms\"\n", "a.conf:1: first_byte_timeout: expected a duration from"},
      {"stop_grace = \"2h\"\n", "a.conf:1: stop_grace: expected a duration from 0s to 1h, got 2h"},
      {"listen = [\n  \"0.0.0.0:80\",\n  \"localhost:80\",\n]\n",
       "a.conf:3: listen: \"localhost:80\" is not an address with a port"},
      {"listen = []\n", "a.conf:1: listen: expected at least one address"},
      {"listen = \"0.0.0.0:80\"\n", "a.conf:1: listen: expected an array of strings, got string"},
      {"listen = [\"[::]:80\", \"[::0]:80\"]\n", "a.conf:1: listen: \"[::0]:80\" is listed twice"},
      {"trusted_proxies = [\"10.0.0.0/33\"]\n",
       "a.conf:1: trusted_proxies: \"10.0.0.0/33\" is not"},
      {"metrics_allow = [1]\n",
       "a.conf:1: metrics_allow: expected an array of strings, got integer"},
      {"public_url = \"games.example.org\"\n", "a.conf:1: public_url: expected an http://"},
      {"public_url = \"https://a b\"\n", "a.conf:1: public_url: expected an http://"},
      {"admin_socket = \"\"\n", "a.conf:1: admin_socket: expected a path"},
      {"web = \"no\"\n", "a.conf:1: web: expected a boolean, got string"},
      {"notify = 1\n", "a.conf:1: notify: expected a table, got integer"},
      {"[notify]\n\nremind_max = -1\n", "a.conf:3: notify.remind_max: from 0 to 100"},
      {"[[notify.target]]\nurl = \"https://h/\"\nformat = \"x\"\n",
       "a.conf:3: notify.target[0].format: unknown format"},
  };
  for (const auto& c : cases) {
    config_result r = parse_config(c.text, "a.conf");
    EXPECT_FALSE(r.ok) << c.text;
    EXPECT_EQ(r.error.rfind(c.error, 0), 0u) << r.error;
  }

  temp_dir dir;
  config_result missing = load_config(dir.file("none.conf"));
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find(dir.file("none.conf")), std::string::npos) << missing.error;
  write_file_atomic(dir.file("ok.conf"), "stop_grace = \"5s\"\n");
  config_result ok = load_config(dir.file("ok.conf"));
  ASSERT_TRUE(ok.ok) << ok.error;
  EXPECT_EQ(ok.config.stop_grace, milliseconds(5000));
}

// The shipped reference file: as shipped it is the defaults; with every key uncommented it is
// still a file the server takes, and the keys it leaves at their default really are.
TEST(Config, ShippedReferenceFileReadsBothWays) {
  const std::string shipped = read_file(std::string(ZTS_SOURCE_DIR) + "/deploy/zts.conf");
  config_result as_is = parse_config(shipped, "zts.conf");
  ASSERT_TRUE(as_is.ok) << as_is.error;
  EXPECT_TRUE(config_changes(zts_config{}, as_is.config).empty());

  std::string uncommented;
  size_t keys = 0;
  for (size_t at = 0; at < shipped.size();) {
    size_t end = shipped.find('\n', at);
    std::string line = shipped.substr(at, end - at);
    at = end == std::string::npos ? shipped.size() : end + 1;
    if (line.size() > 1 && line[0] == '#' && (std::isalpha(line[1]) || line[1] == '[')) {
      line.erase(0, 1);
      ++keys;
    }
    uncommented += line + "\n";
  }
  // eleven keys, [notify] with its keys and an example target, [backup] with its four
  EXPECT_EQ(keys, 30u);
  config_result all = parse_config(uncommented, "zts.conf");
  ASSERT_TRUE(all.ok) << all.error;
  // Only the keys whose shipped line is an example rather than the default differ.
  std::vector<std::string> changed;
  for (const std::string& change : config_changes(zts_config{}, all.config)) {
    changed.push_back(change.substr(0, change.find(' ')));
  }
  EXPECT_EQ(changed,
            (std::vector<std::string>{"listen", "trusted_proxies", "public_url", "[notify]"}));
}

}  // namespace
