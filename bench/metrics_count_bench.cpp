// What one request's counting costs, from one thread and from several at once (the connection
// threads count into the same series), and what one scrape costs.
//
// BM_request_counting makes every call one game-protocol request makes: bytes in and out, the
// connection gauge up and down, the lock wait and duration histograms with their clock reads,
// the request counter. Anchor measured in the same run: BM_op777_request, one whole op=777
// request over a new loopback connection to the in-process server (the cheapest request; its
// own counting included).
#include <benchmark/benchmark.h>

#include <string>

#include "lib/log.h"
#include "lib/metrics.h"
#include "server/server.h"
#include "tests/support/http_client.h"
#include "tests/support/temp_dir.h"

namespace {

void BM_request_counting(benchmark::State& state) {
  for (auto _ : state) {
    count_bytes_received(60);
    add_active_connections(1);
    const int64_t start = steady_ns();
    const int64_t wait_start = steady_ns();
    observe_lock_wait(lock_waiter::request, seconds_since_ns(wait_start));
    count_request(route_kind::game, op_label(true, 777), outcome_kind::ok);
    count_bytes_sent(100);
    observe_request_duration(route_kind::game, seconds_since_ns(start));
    add_active_connections(-1);
  }
}
BENCHMARK(BM_request_counting)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

void BM_scrape(benchmark::State& state) {
  size_t bytes = 0;
  for (auto _ : state) bytes = metrics_text().size();
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_scrape);

void BM_op777_request(benchmark::State& state) {
  temp_dir dir;
  set_log_file(dir.file("zts.log"), false);
  scoped_server server;
  for (auto _ : state) {
    http_reply r = http_get(server.port(), "/gameserver_v2.php?op=777");
    if (r.body != "ZTNS") state.SkipWithError("no ZTNS");
  }
}
BENCHMARK(BM_op777_request)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
