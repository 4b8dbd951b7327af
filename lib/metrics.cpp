#include "lib/metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

namespace {

#ifdef ZTS_METRICS_OFF
constexpr bool metrics_on = false;
#else
constexpr bool metrics_on = true;
#endif

using prometheus::Counter;
using prometheus::Family;
using prometheus::Gauge;
using prometheus::Histogram;

template <typename E>
constexpr size_t count_of() {
  return static_cast<size_t>(E::count_);
}

template <typename E>
constexpr size_t index_of(E e) {
  return static_cast<size_t>(e);
}

constexpr const char* route_names[] = {"game",    "status",  "raw_log",   "api",       "web",
                                       "metrics", "healthz", "not_found", "unreadable"};
constexpr const char* outcome_names[] = {"ok",        "refused",      "crashed",
                                         "not_found", "not_modified", "dropped"};
constexpr const char* refusal_names[] = {"unreadable_save",
                                         "game_id_taken",
                                         "invalid_game_id",
                                         "game_id_out_of_range",
                                         "unregistered_game",
                                         "game_closed",
                                         "game_not_closed",
                                         "wrong_turn",
                                         "wrong_player",
                                         "missing_parameter",
                                         "turn_not_saved",
                                         "unknown_op",
                                         "crash",
                                         "other"};
constexpr const char* rule_names[] = {
    "quick_archive_idle", "quick_archive_small", "archive_unstarted", "archive_small_closed",
    "finish_idle",        "archive_small_idle",  "revive_archived"};
constexpr const char* cap_names[] = {"total", "per_address"};
constexpr const char* admin_op_names[] = {"games",     "game",   "revert",  "archive",
                                          "unarchive", "remove", "restore", "snapshot",
                                          "refresh",   "repair", "other"};
constexpr const char* waiter_names[] = {"request", "api", "refresh"};
constexpr const char* status_names[] = {"in_play", "opening", "finished", "archived"};

static_assert(std::size(route_names) == count_of<route_kind>());
static_assert(std::size(outcome_names) == count_of<outcome_kind>());
static_assert(std::size(refusal_names) == count_of<refusal_kind>());
static_assert(std::size(rule_names) == count_of<refresh_rule_kind>());
static_assert(std::size(cap_names) == count_of<cap_kind>());
static_assert(std::size(admin_op_names) == count_of<admin_op_kind>());
static_assert(std::size(waiter_names) == count_of<lock_waiter>());

// The op codes of the game protocol; "other" and "none" follow them.
constexpr int32_t known_ops[] = {8, 11, 12, 27, 28, 29, 666, 777};
constexpr const char* op_names[] = {"8",  "11",  "12",  "27",    "28",
                                    "29", "666", "777", "other", "none"};
constexpr size_t op_count = std::size(op_names);

size_t op_index(std::string_view op) {
  for (size_t i = 0; i < op_count; ++i) {
    if (op == op_names[i]) return i;
  }
  return op_count - 2;  // "other"
}

const std::vector<double> request_buckets = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                             0.01,   0.025,   0.05,   0.1,   0.25,   0.5,
                                             1,      2.5,     5,      10};
const std::vector<double> lock_buckets = {0.00001, 0.0001, 0.0005, 0.001, 0.005, 0.01,
                                          0.05,    0.1,    0.5,    1,     5};
// A minute to a month: quick games move in minutes, long ones in days.
const std::vector<double> turn_time_buckets = {60,       300,    900,     1800,   3600,
                                               3 * 3600, 21600,  43200,   86400,  172800,
                                               259200,   604800, 1209600, 2592000};
const std::vector<double> refresh_buckets = {0.001, 0.01, 0.1, 0.5, 1, 2.5, 5, 10, 30, 60};

template <typename E, typename T, typename... Args>
std::array<T*, count_of<E>()> one_per_label(Family<T>& family, const char* label,
                                            const char* const (&names)[count_of<E>()],
                                            const Args&... args) {
  std::array<T*, count_of<E>()> out{};
  for (size_t i = 0; i < out.size(); ++i) out[i] = &family.Add({{label, names[i]}}, args...);
  return out;
}

// Every family and every series with a fixed label set is made here once; the request series
// (route x op x outcome, mostly never used) are made on first use.
struct registry_set {
  prometheus::Registry registry;

  Family<Counter>& requests = prometheus::BuildCounter()
                                  .Name("zts_requests_total")
                                  .Help("Requests served, by route, op code and outcome")
                                  .Register(registry);
  std::array<std::atomic<Counter*>, count_of<route_kind>() * op_count * count_of<outcome_kind>()>
      request_series{};
  std::mutex request_series_mutex;  // serialises making a new request series

  Family<Counter>& refusals_family = prometheus::BuildCounter()
                                         .Name("zts_refusals_total")
                                         .Help("Game protocol refusals and failures, by kind")
                                         .Register(registry);
  std::array<Counter*, count_of<refusal_kind>()> refusals =
      one_per_label<refusal_kind>(refusals_family, "kind", refusal_names);

  Family<Histogram>& duration_family =
      prometheus::BuildHistogram()
          .Name("zts_request_duration_seconds")
          .Help("Time from a request read in full to its reply sent, by route")
          .Register(registry);
  std::array<Histogram*, count_of<route_kind>()> durations =
      one_per_label<route_kind>(duration_family, "route", route_names, request_buckets);

  Family<Histogram>& lock_family = prometheus::BuildHistogram()
                                       .Name("zts_lock_wait_seconds")
                                       .Help("Time spent waiting for the game lock, by waiter")
                                       .Register(registry);
  std::array<Histogram*, count_of<lock_waiter>()> lock_waits =
      one_per_label<lock_waiter>(lock_family, "waiter", waiter_names, lock_buckets);

  Gauge& connections_active = prometheus::BuildGauge()
                                  .Name("zts_connections_active")
                                  .Help("Connections admitted and not yet finished")
                                  .Register(registry)
                                  .Add({});
  Family<Counter>& refused_family = prometheus::BuildCounter()
                                        .Name("zts_connections_refused_total")
                                        .Help("Connections closed at once by a cap, by cap")
                                        .Register(registry);
  std::array<Counter*, count_of<cap_kind>()> refused =
      one_per_label<cap_kind>(refused_family, "cap", cap_names);

  Counter& bytes_in = prometheus::BuildCounter()
                          .Name("zts_bytes_received_total")
                          .Help("Bytes read from clients")
                          .Register(registry)
                          .Add({});
  Counter& bytes_out = prometheus::BuildCounter()
                           .Name("zts_bytes_sent_total")
                           .Help("Reply bytes sent to clients")
                           .Register(registry)
                           .Add({});

  Counter& moves = prometheus::BuildCounter()
                       .Name("zts_moves_total")
                       .Help("Turns accepted")
                       .Register(registry)
                       .Add({});
  Counter& created = prometheus::BuildCounter()
                         .Name("zts_games_created_total")
                         .Help("Games created")
                         .Register(registry)
                         .Add({});

  Histogram& turn_times = prometheus::BuildHistogram()
                              .Name("zts_turn_time_seconds")
                              .Help(
                                  "Players' time on a turn, from the save handing it to them to "
                                  "their own, as stored by the server")
                              .Register(registry)
                              .Add({}, turn_time_buckets);

  Family<Gauge>& games_family =
      prometheus::BuildGauge().Name("zts_games").Help("Games by status").Register(registry);
  std::array<Gauge*, 4> games = [this] {
    std::array<Gauge*, 4> out{};
    for (size_t i = 0; i < out.size(); ++i)
      out[i] = &games_family.Add({{"status", status_names[i]}});
    return out;
  }();

  Histogram& refresh_duration =
      prometheus::BuildHistogram()
          .Name("zts_refresh_duration_seconds")
          .Help("Duration of the hourly pass over every game, lock wait included")
          .Register(registry)
          .Add({}, refresh_buckets);
  Family<Counter>& rule_family = prometheus::BuildCounter()
                                     .Name("zts_refresh_changes_total")
                                     .Help(
                                         "Games finished, archived or revived by the hourly "
                                         "pass, by rule")
                                     .Register(registry);
  std::array<Counter*, count_of<refresh_rule_kind>()> rules =
      one_per_label<refresh_rule_kind>(rule_family, "rule", rule_names);

  Family<Counter>& admin_family = prometheus::BuildCounter()
                                      .Name("zts_admin_operations_total")
                                      .Help("Operations through the admin socket, by outcome")
                                      .Register(registry);
  // [operation][0 refused, 1 done]
  std::array<std::array<Counter*, 2>, count_of<admin_op_kind>()> admin_ops = [this] {
    std::array<std::array<Counter*, 2>, count_of<admin_op_kind>()> out{};
    for (size_t i = 0; i < out.size(); ++i) {
      out[i][0] = &admin_family.Add({{"operation", admin_op_names[i]}, {"outcome", "refused"}});
      out[i][1] = &admin_family.Add({{"operation", admin_op_names[i]}, {"outcome", "done"}});
    }
    return out;
  }();

  Counter& notify_queued = prometheus::BuildCounter()
                               .Name("zts_notifications_queued_total")
                               .Help("Notifications queued for sending")
                               .Register(registry)
                               .Add({});
  Counter& notify_sent = prometheus::BuildCounter()
                             .Name("zts_notifications_sent_total")
                             .Help("Notifications delivered")
                             .Register(registry)
                             .Add({});
  Counter& notify_failed = prometheus::BuildCounter()
                               .Name("zts_notifications_failed_total")
                               .Help("Notifications given up on")
                               .Register(registry)
                               .Add({});

  Family<Counter>& notify_attempts_failed = prometheus::BuildCounter()
                                                .Name("zts_notifications_attempts_failed_total")
                                                .Help("Notification attempts not taken, by target")
                                                .Register(registry);
  std::mutex notify_targets_mutex;
  std::map<std::string, Counter*, std::less<>> notify_targets;  // guarded by the mutex above

  Family<Gauge>& build_info = prometheus::BuildGauge()
                                  .Name("zts_build_info")
                                  .Help("Always 1; the label names the server's version")
                                  .Register(registry);
};

// Never destroyed: a connection thread cut off by a stop may still count while the process
// exits.
registry_set& reg() {
  static registry_set* set = new registry_set;
  return *set;
}

Counter& request_series(route_kind route, std::string_view op, outcome_kind outcome) {
  registry_set& r = reg();
  const size_t slot =
      (index_of(route) * op_count + op_index(op)) * count_of<outcome_kind>() + index_of(outcome);
  if (Counter* c = r.request_series[slot].load(std::memory_order_acquire)) return *c;
  std::lock_guard<std::mutex> lock(r.request_series_mutex);
  Counter* c = r.request_series[slot].load(std::memory_order_relaxed);
  if (!c) {
    c = &r.requests.Add({{"route", route_names[index_of(route)]},
                         {"op", op_names[op_index(op)]},
                         {"outcome", outcome_names[index_of(outcome)]}});
    r.request_series[slot].store(c, std::memory_order_release);
  }
  return *c;
}

// Figures of this process from /proc, as the standard process_* families.
struct process_figures {
  double cpu_seconds = 0;
  double virtual_bytes = 0;
  double resident_bytes = 0;
  double start_time = 0;
  double open_fds = 0;
  double max_fds = 0;
};

// The time the system booted, in seconds since 1970 ("btime" of /proc/stat); 0 when unknown.
double boot_time() {
  std::ifstream in("/proc/stat");
  std::string key;
  while (in >> key) {
    if (key == "btime") {
      double t = 0;
      in >> t;
      return t;
    }
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  return 0;
}

process_figures read_process_figures() {
  process_figures f;
  static const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  static const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  static const double booted = boot_time();
  std::ifstream in("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold blanks and parentheses: the fields start after the last ')'.
  size_t close = stat.rfind(')');
  if (close != std::string::npos && ticks > 0) {
    std::istringstream fields(stat.substr(close + 1));
    std::vector<std::string> v{std::istream_iterator<std::string>(fields), {}};
    // v[0] is field 3 (state): utime 14, stime 15, starttime 22, vsize 23, rss 24.
    if (v.size() > 21) {
      f.cpu_seconds = (std::stod(v[11]) + std::stod(v[12])) / ticks;
      f.start_time = booted + std::stod(v[19]) / ticks;
      f.virtual_bytes = std::stod(v[20]);
      f.resident_bytes = std::stod(v[21]) * page;
    }
  }
  if (DIR* dir = opendir("/proc/self/fd")) {
    int n = 0;
    while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
    f.open_fds = n - 1;  // the directory's own descriptor
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) f.max_fds = static_cast<double>(limit.rlim_cur);
  return f;
}

prometheus::MetricFamily single(const char* name, const char* help, prometheus::MetricType type,
                                double value) {
  prometheus::MetricFamily family{name, help, type, {prometheus::ClientMetric{}}};
  if (type == prometheus::MetricType::Counter) {
    family.metric[0].counter.value = value;
  } else {
    family.metric[0].gauge.value = value;
  }
  return family;
}

std::vector<prometheus::MetricFamily> process_families() {
  using prometheus::MetricType;
  process_figures f = read_process_figures();
  return {
      single("process_cpu_seconds_total", "User and system CPU time spent in seconds",
             MetricType::Counter, f.cpu_seconds),
      single("process_open_fds", "Number of open file descriptors", MetricType::Gauge, f.open_fds),
      single("process_max_fds", "Maximum number of open file descriptors", MetricType::Gauge,
             f.max_fds),
      single("process_virtual_memory_bytes", "Virtual memory size in bytes", MetricType::Gauge,
             f.virtual_bytes),
      single("process_resident_memory_bytes", "Resident memory size in bytes", MetricType::Gauge,
             f.resident_bytes),
      single("process_start_time_seconds", "Start time of the process since unix epoch in seconds",
             MetricType::Gauge, f.start_time),
  };
}

}  // namespace

bool metrics_enabled() {
  return metrics_on;
}

std::string_view op_label(bool has_op, int32_t code) {
  if (!has_op) return "none";
  for (size_t i = 0; i < std::size(known_ops); ++i) {
    if (known_ops[i] == code) return op_names[i];
  }
  return "other";
}

void count_request(route_kind route, std::string_view op, outcome_kind outcome) {
  if constexpr (metrics_on) request_series(route, op, outcome).Increment();
}

void count_refusal(refusal_kind kind) {
  if constexpr (metrics_on) reg().refusals[index_of(kind)]->Increment();
}

void observe_request_duration(route_kind route, double seconds) {
  if constexpr (metrics_on) reg().durations[index_of(route)]->Observe(seconds);
}

void observe_lock_wait(lock_waiter waiter, double seconds) {
  if constexpr (metrics_on) reg().lock_waits[index_of(waiter)]->Observe(seconds);
}

void add_active_connections(int delta) {
  if constexpr (metrics_on) reg().connections_active.Increment(delta);
}

void count_connection_refused(cap_kind cap) {
  if constexpr (metrics_on) reg().refused[index_of(cap)]->Increment();
}

void count_bytes_received(uint64_t bytes) {
  if constexpr (metrics_on) reg().bytes_in.Increment(static_cast<double>(bytes));
}

void count_bytes_sent(uint64_t bytes) {
  if constexpr (metrics_on) reg().bytes_out.Increment(static_cast<double>(bytes));
}

void count_move() {
  if constexpr (metrics_on) reg().moves.Increment();
}

void count_game_created() {
  if constexpr (metrics_on) reg().created.Increment();
}

void observe_turn_time(double seconds) {
  if constexpr (metrics_on) reg().turn_times.Observe(seconds);
}

void observe_refresh_duration(double seconds) {
  if constexpr (metrics_on) reg().refresh_duration.Observe(seconds);
}

void count_refresh_change(refresh_rule_kind rule) {
  if constexpr (metrics_on) reg().rules[index_of(rule)]->Increment();
}

void count_admin_operation(admin_op_kind op, bool done) {
  if constexpr (metrics_on) reg().admin_ops[index_of(op)][done ? 1 : 0]->Increment();
}

void count_notification_queued() {
  if constexpr (metrics_on) reg().notify_queued.Increment();
}

void count_notification_sent() {
  if constexpr (metrics_on) reg().notify_sent.Increment();
}

void count_notification_failed() {
  if constexpr (metrics_on) reg().notify_failed.Increment();
}

void count_notification_attempt_failed(std::string_view target) {
  if constexpr (metrics_on) {
    registry_set& r = reg();
    std::lock_guard<std::mutex> lock(r.notify_targets_mutex);
    auto it = r.notify_targets.find(target);
    if (it == r.notify_targets.end()) {
      Counter* c = &r.notify_attempts_failed.Add({{"target", std::string(target)}});
      it = r.notify_targets.emplace(std::string(target), c).first;
    }
    it->second->Increment();
  }
}

void set_games_by_status(const status_counts& counts) {
  if constexpr (metrics_on) {
    for (size_t i = 0; i < counts.size(); ++i) reg().games[i]->Set(static_cast<double>(counts[i]));
  }
}

void set_build_info(std::string_view version) {
  if constexpr (metrics_on) reg().build_info.Add({{"version", std::string(version)}}).Set(1);
}

std::string metrics_text() {
  if constexpr (!metrics_on) return "";
  std::vector<prometheus::MetricFamily> families = reg().registry.Collect();
  for (prometheus::MetricFamily& f : process_families()) families.push_back(std::move(f));
  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, families);
  return out.str();
}

int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double seconds_since_ns(int64_t start_ns) {
  return static_cast<double>(steady_ns() - start_ns) * 1e-9;
}
