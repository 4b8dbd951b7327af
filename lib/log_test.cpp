#include "lib/log.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "lib/file_io.h"
#include "tests/support/temp_dir.h"

namespace {

// Points the log at a fresh directory for one test and back at the default afterwards.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { set_log_file(log_path, false); }
  void TearDown() override { set_log_file("thelog.log", false); }

  std::vector<std::string> log_lines() const {
    std::string bytes = read_file(log_path);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(bytes.substr(start, end - start));
    }
    EXPECT_EQ(start, bytes.size()) << "the file ends inside a line";
    return lines;
  }

  temp_dir dir;
  std::string log_path = dir.file("zts.log");
};

std::string local_stamp(time_t t) {
  struct tm local {};
  localtime_r(&t, &local);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d-%H:%M:%S", &local);
  return text;
}

TEST(PadRight, AppendsBlanksUpToTheWidthNeverCuts) {
  struct {
    std::string in;
    size_t width;
    std::string want;
  } cases[] = {
      {"UPD", 10, "UPD       "},
      {"LOGPAGE", 10, "LOGPAGE   "},
      {"ABCDEFGHIJ", 10, "ABCDEFGHIJ"},
      {"ABCDEFGHIJKL", 10, "ABCDEFGHIJKL"},
      {"", 3, "   "},
  };
  for (const auto& c : cases) EXPECT_EQ(pad_right(c.in, c.width), c.want) << c.in;
}

TEST_F(LogTest, LineCarriesLocalTimeAndTagPaddedToTen) {
  struct {
    std::string tag, bracket;
  } cases[] = {
      {"UPD", "[UPD       ]"},
      {"LOGPAGE", "[LOGPAGE   ]"},
      {"-DBG-", "[-DBG-     ]"},
      {"TWELVECHARSX", "[TWELVECHARSX]"},
  };
  for (const auto& c : cases) {
    remove_file_quiet(log_path);
    time_t before = time(nullptr);
    write_log(c.tag, "Status refresh.");
    time_t after = time(nullptr);
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 1u) << c.tag;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, std::regex(R"((.{19}):(\[.*\]):(.*))"))) << lines[0];
    std::set<std::string> stamps;
    for (time_t t = before; t <= after; ++t) stamps.insert(local_stamp(t));
    EXPECT_TRUE(stamps.count(m[1].str())) << lines[0];
    EXPECT_EQ(m[2].str(), c.bracket);
    EXPECT_EQ(m[3].str(), "Status refresh.");
  }
}

TEST_F(LogTest, EmptyTagWritesTheMessageAloneAndLineBreaksBecomeBlanks) {
  write_log("", "Running");
  write_log("", "two\nlines");
  write_log("SVOP", "party_next: game_0 (a\r\nforged)");
  const std::string log = read_file(log_path);
  EXPECT_TRUE(log.starts_with("Running\r\ntwo lines\r\n")) << log;
  EXPECT_TRUE(log.ends_with("]:party_next: game_0 (a  forged)\r\n")) << log;
}

TEST_F(LogTest, FirstCallCreatesTheFileLaterCallsAppend) {
  ASSERT_FALSE(file_exists(log_path));
  write_log("SYS", "one");
  ASSERT_EQ(log_lines().size(), 1u);
  std::string first = log_lines()[0];
  write_log("SYS", "two");
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], first);
  EXPECT_NE(lines[1].find(":[SYS       ]:two"), std::string::npos);

  // Moved away while running: the next line starts a new file.
  ASSERT_EQ(::rename(log_path.c_str(), dir.file("zts.log.1").c_str()), 0);
  write_log("SYS", "three");
  lines = log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("three"), std::string::npos);
  EXPECT_EQ(read_file(dir.file("zts.log.1")).find("three"), std::string::npos);

  // Deleted, then replaced by another file: each next line goes to what the name leads to.
  ASSERT_EQ(::unlink(log_path.c_str()), 0);
  write_log("SYS", "four");
  ASSERT_EQ(log_lines().size(), 1u);
  write_file_atomic(log_path, "kept\r\n");
  write_log("SYS", "five");
  lines = log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "kept");
  EXPECT_NE(lines[1].find("five"), std::string::npos);
}

TEST_F(LogTest, UnwritableFileStillEchoesAndReturns) {
  std::string missing = dir.file("no/such/dir/zts.log");
  set_log_file(missing, true);
  EXPECT_EQ(log_file_name(), missing);
  ::testing::internal::CaptureStdout();
  write_log("ERR", "Error in do_zt_server");
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(out, std::regex(R"(.{19}:\[ERR       \]:Error in do_zt_server\n)")))
      << out;
  EXPECT_FALSE(file_exists(missing));

  set_log_file(dir.path, false);  // a directory is no file either
  write_log("ERR", "still returns");
}

TEST_F(LogTest, EchoOffWritesNothingToStdout) {
  ::testing::internal::CaptureStdout();
  write_log("LOG", "quiet");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(log_lines().size(), 1u);
}

using LogDeathTest = LogTest;

TEST_F(LogDeathTest, HaltWritesTheLineAndExitsOneWithoutWaitingForThreads) {
  // "fast" forks without re-running the test, so the child logs into this test's directory.
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        set_log_file(log_path, true);
        // A thread that never finishes: the halt must not wait for it.
        static std::mutex never;
        never.lock();
        std::thread([] { std::lock_guard<std::mutex> forever(never); }).detach();
        write_log("ERR", "Error in main", true);
        std::_Exit(3);  // not reached
      },
      ::testing::ExitedWithCode(1), "");
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(":[ERR       ]:Error in main"), std::string::npos);
}

using LogConcurrent = LogTest;

TEST_F(LogConcurrent, LinesAreWholeAndNoneIsLost) {
  constexpr int threads = 8;
  constexpr int lines_per_thread = 200;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([t] {
      for (int i = 0; i < lines_per_thread; ++i) {
        write_log("T" + std::to_string(t), std::string(100 + t * 10, 'a' + t) + std::to_string(i));
      }
    });
  }
  for (auto& th : pool) th.join();

  auto lines = log_lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(threads * lines_per_thread));
  std::set<std::string> seen;
  std::regex shape(R"(.{19}:\[T(\d) +\]:([a-z]+)(\d+))");
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    int t = std::stoi(m[1].str());
    EXPECT_EQ(m[2].str(), std::string(100 + t * 10, 'a' + t)) << line;
    seen.insert(m[1].str() + "/" + m[3].str());
  }
  EXPECT_EQ(seen.size(), lines.size());
}

}  // namespace
