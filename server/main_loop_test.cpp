#include "server/main_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "lib/asys.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "tests/support/temp_dir.h"

namespace {

using std::chrono::milliseconds;

struct MainLoop : ::testing::Test {
  MainLoop() {
    set_log_file(dir.file("zts.log"), false);
    set_server_clock_override(start);
  }
  ~MainLoop() override {
    raise_stop(&stop);
    if (loop.joinable()) loop.join();
    set_server_clock_override(std::nullopt);
  }

  size_t refreshes() const {
    if (!file_exists(dir.file("zts.log"))) return 0;
    std::string log = read_file(dir.file("zts.log"));
    const std::string line = ":[UPD       ]:Status refresh.\r\n";
    size_t n = 0;
    for (size_t p = log.find(line); p != std::string::npos; p = log.find(line, p + 1)) ++n;
    return n;
  }

  // Waits until `n` passes have been logged (false after 5 s).
  bool wait_refreshes(size_t n) const {
    for (int i = 0; i < 500 && refreshes() < n; ++i) std::this_thread::sleep_for(milliseconds(10));
    return refreshes() == n;
  }

  // Lets the loop tick a few times.
  void ticks() const { std::this_thread::sleep_for(milliseconds(10 * tick_ms)); }

  static constexpr uint32_t start = 1'700'000'000;
  static constexpr uint32_t tick_ms = 5;
  temp_dir dir;
  stop_signal stop;
  std::thread loop;
};

TEST_F(MainLoop, FirstPassAtFirstTickThenOnlyAfterMoreThanAnHour) {
  loop = std::thread([this] { run_main_loop(&stop, tick_ms); });
  ASSERT_TRUE(wait_refreshes(1));

  ticks();
  set_server_clock_override(start + refresh_interval_s);
  ticks();
  EXPECT_EQ(refreshes(), 1u);

  set_server_clock_override(start + refresh_interval_s + 1);
  EXPECT_TRUE(wait_refreshes(2));
  ticks();
  EXPECT_EQ(refreshes(), 2u);
}

TEST_F(MainLoop, ClockGoingBackwardsRefreshesAtTheNextTick) {
  loop = std::thread([this] { run_main_loop(&stop, tick_ms); });
  ASSERT_TRUE(wait_refreshes(1));
  set_server_clock_override(start - 10);
  EXPECT_TRUE(wait_refreshes(2));
}

TEST_F(MainLoop, StopEndsTheLoopBetweenTicks) {
  auto begin = std::chrono::steady_clock::now();
  loop = std::thread([this] { run_main_loop(&stop, 60'000); });
  raise_stop(&stop);
  loop.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, milliseconds(5000));
  EXPECT_EQ(refreshes(), 0u);
}

}  // namespace
