// The exposition as a scraper reads it: counts land in the right series, label values stay in
// their fixed lists whatever is counted, and the process figures are this process's.
#include "lib/metrics.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <sstream>
#include <string>

namespace {

// Every sample line of the exposition: "name{labels}" -> value.
std::map<std::string, double> samples() {
  std::map<std::string, double> out;
  std::istringstream in(metrics_text());
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t blank = line.rfind(' ');
    out[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
  }
  return out;
}

double sample(const std::string& series) {
  auto all = samples();
  auto it = all.find(series);
  return it == all.end() ? -1 : it->second;
}

TEST(Metrics, CountsLandInTheirSeriesWithBoundedLabels) {
  if (!metrics_enabled()) GTEST_SKIP() << "built with metrics off";
  // Labels come out in name order (a histogram's "le" last).
  const std::string ok_27 = "zts_requests_total{op=\"27\",outcome=\"ok\",route=\"game\"}";
  const std::string other = "zts_requests_total{op=\"other\",outcome=\"refused\",route=\"game\"}";
  const double ok_before = std::max(sample(ok_27), 0.0);
  count_request(route_kind::game, op_label(true, 27), outcome_kind::ok);
  count_request(route_kind::game, op_label(true, 27), outcome_kind::ok);
  // Codes the protocol does not know, and none at all, share one series each.
  count_request(route_kind::game, op_label(true, 31337), outcome_kind::refused);
  count_request(route_kind::game, op_label(true, -5), outcome_kind::refused);
  count_request(route_kind::game, "whatever a client sent", outcome_kind::refused);
  EXPECT_EQ(op_label(false, 27), "none");

  count_refusal(refusal_kind::wrong_turn);
  count_move();
  count_bytes_sent(1000);
  count_connection_refused(cap_kind::per_address);
  observe_request_duration(route_kind::api, 0.003);
  observe_lock_wait(lock_waiter::refresh, 2.0);
  count_refresh_change(refresh_rule_kind::revive_archived);
  set_games_by_status({5, 1, 7, 0});
  set_build_info("test-version");

  auto s = samples();
  EXPECT_EQ(s[ok_27], ok_before + 2);
  EXPECT_GE(s[other], 3);
  EXPECT_GE(s["zts_refusals_total{kind=\"wrong_turn\"}"], 1);
  EXPECT_GE(s["zts_moves_total"], 1);
  EXPECT_GE(s["zts_bytes_sent_total"], 1000);
  EXPECT_GE(s["zts_connections_refused_total{cap=\"per_address\"}"], 1);
  EXPECT_GE(s["zts_request_duration_seconds_bucket{route=\"api\",le=\"0.005\"}"], 1);
  EXPECT_GE(s["zts_lock_wait_seconds_count{waiter=\"refresh\"}"], 1);
  EXPECT_EQ(s["zts_lock_wait_seconds_bucket{waiter=\"refresh\",le=\"1\"}"] + 1,
            s["zts_lock_wait_seconds_bucket{waiter=\"refresh\",le=\"5\"}"]);
  EXPECT_GE(s["zts_refresh_changes_total{rule=\"revive_archived\"}"], 1);
  EXPECT_EQ(s["zts_games{status=\"finished\"}"], 7);
  EXPECT_EQ(s["zts_build_info{version=\"test-version\"}"], 1);
  // Series with fixed labels are there from the start, at zero until counted.
  EXPECT_EQ(s.count("zts_refusals_total{kind=\"crash\"}"), 1u);
  EXPECT_EQ(s.count("zts_notifications_failed_total"), 1u);
  EXPECT_EQ(s.count("zts_refresh_changes_total{rule=\"quick_archive_idle\"}"), 1u);

  for (const auto& [series, value] : s) {
    EXPECT_EQ(series.find("whatever"), std::string::npos) << series;
    EXPECT_EQ(series.find("31337"), std::string::npos) << series;
  }
}

TEST(Metrics, ProcessFiguresAreThisProcesss) {
  if (!metrics_enabled()) GTEST_SKIP() << "built with metrics off";
  auto s = samples();
  EXPECT_GT(s["process_resident_memory_bytes"], 1 << 20);
  EXPECT_GE(s["process_virtual_memory_bytes"], s["process_resident_memory_bytes"]);
  EXPECT_GE(s["process_open_fds"], 3);  // at least the standard three
  EXPECT_GE(s["process_max_fds"], s["process_open_fds"]);
  EXPECT_GE(s["process_cpu_seconds_total"], 0);
  // Started within the last hour, and not in the future (the clock's ticks round down).
  const double now = static_cast<double>(time(nullptr));
  EXPECT_LE(s["process_start_time_seconds"], now + 1);
  EXPECT_GT(s["process_start_time_seconds"], now - 3600);
}

}  // namespace
