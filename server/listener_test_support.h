// What the listener's socket tests share: a server on an ephemeral port in a temporary working
// directory, the cheapest request, and a wait for a condition the server reaches on its own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "lib/log.h"
#include "tests/support/real_server.h"
#include "tests/support/temp_dir.h"

// The status request: answered at once, whatever the games.
inline const std::string op777 = "GET /gameserver_v2.php?op=777 HTTP/1.0\r\n\r\n";

// Polls `done` every 5 ms; false when it is still false after `ms` milliseconds.
inline bool wait_until(const std::function<bool()>& done, int ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A started server whose working directory (and log) is a fresh temporary directory.
struct ListenerFixture : ::testing::Test {
  ListenerFixture() { set_log_file(dir.file("zts.log"), false); }

  temp_dir dir;
  scoped_cwd cwd{dir.path};
  scoped_server server;
};
