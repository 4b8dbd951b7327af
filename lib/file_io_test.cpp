#include "lib/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

// Names in the directory, so a test can see that no temporary file stayed behind.
std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Every byte value, NUL and the upper half included.
std::string all_bytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

TEST(ErrnoMessage, NamesWhatPathAndReason) {
  errno = ENOENT;
  EXPECT_EQ(errno_message("cannot open", "a/b.txt"),
            "cannot open a/b.txt: No such file or directory");
}

TEST(FileExists, FilesDirectoriesAndNothing) {
  temp_dir dir;
  write_test_file(dir.file("f"), "x");
  EXPECT_TRUE(file_exists(dir.file("f")));
  EXPECT_FALSE(dir_exists(dir.file("f")));
  EXPECT_FALSE(file_exists(dir.path));
  EXPECT_TRUE(dir_exists(dir.path));
  EXPECT_FALSE(file_exists(dir.file("missing")));
  EXPECT_FALSE(dir_exists(dir.file("missing")));
}

TEST(ReadFile, ReturnsEveryByte) {
  temp_dir dir;
  struct {
    std::string name, bytes;
  } cases[] = {
      {"empty", ""},
      {"binary", all_bytes()},
      {"large", std::string(300 * 1024, 'z') + all_bytes()},  // past one read chunk
  };
  for (const auto& c : cases) {
    write_test_file(dir.file(c.name), c.bytes);
    EXPECT_EQ(read_file(dir.file(c.name)), c.bytes) << c.name;
  }
  // Files whose size stat does not report are read to their end too.
  EXPECT_FALSE(read_file("/proc/self/status").empty());
}

TEST(ReadFile, MissingFileOrDirectoryThrowsWithThePath) {
  temp_dir dir;
  for (const std::string& path : {dir.file("missing"), dir.path}) {
    try {
      read_file(path);
      ADD_FAILURE() << "no io_error for " << path;
    } catch (const io_error& e) {
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
  }
}

TEST(FileHolds, OnlyExactlyTheseBytes) {
  temp_dir dir;
  write_test_file(dir.file("empty"), "");
  write_test_file(dir.file("binary"), all_bytes());
  EXPECT_TRUE(file_holds(dir.file("empty"), ""));
  EXPECT_TRUE(file_holds(dir.file("binary"), all_bytes()));
  EXPECT_FALSE(file_holds(dir.file("empty"), "x"));
  EXPECT_FALSE(file_holds(dir.file("binary"), ""));
  EXPECT_FALSE(file_holds(dir.file("binary"), all_bytes().substr(1)));  // shorter, longer file
  EXPECT_FALSE(file_holds(dir.file("binary"), all_bytes() + "x"));
  EXPECT_FALSE(file_holds(dir.file("binary"), std::string(256, 'a')));
  EXPECT_FALSE(file_holds(dir.file("missing"), ""));
  EXPECT_THROW(file_holds(dir.path, ""), io_error);
}

TEST(MakeDirs, CreatesMissingParentsAndAcceptsExistingOnes) {
  temp_dir dir;
  std::string deep = dir.file("game_server/1/turns");
  make_dirs(deep);
  EXPECT_TRUE(dir_exists(deep));
  make_dirs(deep);  // again: nothing to do
  make_dirs(dir.file("game_server/2/"));
  EXPECT_TRUE(dir_exists(dir.file("game_server/2")));
}

TEST(MakeDirs, FileInTheWayThrows) {
  temp_dir dir;
  write_test_file(dir.file("plain"), "x");
  EXPECT_THROW(make_dirs(dir.file("plain")), io_error);
  EXPECT_THROW(make_dirs(dir.file("plain/sub")), io_error);
  EXPECT_EQ(read_file(dir.file("plain")), "x");
}

TEST(WriteFileAtomic, CreatesAndReplacesLeavingNoTemporaryFile) {
  temp_dir dir;
  std::string path = dir.file("state.txt");
  struct {
    std::string bytes;
  } versions[] = {{"first version, long enough"}, {"short"}, {""}, {all_bytes()}};
  for (const auto& v : versions) {
    write_file_atomic(path, v.bytes);
    EXPECT_EQ(read_file(path), v.bytes);
    EXPECT_EQ(entries(dir.path), std::vector<std::string>{"state.txt"});
  }
}

TEST(WriteFileAtomic, BareNameIsWrittenInTheWorkingDirectory) {
  temp_dir dir;
  scoped_cwd cwd(dir.path);
  write_file_atomic("bug.txt", "dump");
  EXPECT_EQ(read_file(dir.file("bug.txt")), "dump");
  EXPECT_EQ(entries(dir.path), std::vector<std::string>{"bug.txt"});
}

TEST(WriteFileAtomic, FailuresThrowAndLeaveTheTargetAsItWas) {
  temp_dir dir;
  // The directory is missing: nothing may appear.
  EXPECT_THROW(write_file_atomic(dir.file("no/such/file"), "x"), io_error);
  EXPECT_TRUE(entries(dir.path).empty());
  // The target is a directory: the rename fails, the directory and its content stay.
  make_dirs(dir.file("turns"));
  write_test_file(dir.file("turns/1.zts"), "save");
  EXPECT_THROW(write_file_atomic(dir.file("turns"), "x"), io_error);
  EXPECT_EQ(read_file(dir.file("turns/1.zts")), "save");
  EXPECT_EQ(entries(dir.path), std::vector<std::string>{"turns"});
  // A path that ends in a slash names no file.
  EXPECT_THROW(write_file_atomic(dir.file("turns/"), "x"), io_error);
  EXPECT_EQ(entries(dir.file("turns")), std::vector<std::string>{"1.zts"});
}

// Runs in a child: with a file size limit standing in for a full disk, the write fails part-way.
// Exits 0 when write_file_atomic reports it as "File too large".
[[noreturn]] void write_past_size_limit(const std::string& path) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {4096, 4096};
  setrlimit(RLIMIT_FSIZE, &limit);
  try {
    write_file_atomic(path, std::string(100000, 'n'));
  } catch (const io_error& e) {
    std::_Exit(std::string(e.what()).find("File too large") != std::string::npos ? 0 : 2);
  }
  std::_Exit(1);
}

// A write that fails part-way must keep the old content and remove the half-written temporary.
ino_t inode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The spare takes turns with the file, keeps only what was replaced, never rewrites a file that
// is linked elsewhere, and a failure leaves the file and no spare.
TEST(ReplaceKeepingSpare, AlternatesTwoInodesAndSparesWhatOthersLinkTo) {
  temp_dir dir;
  const std::string path = dir.file("state.txt");
  const std::string spare = dir.file(".state.txt.spare");
  replace_keeping_spare(path, "turn:0");
  EXPECT_EQ(entries(dir.path), std::vector<std::string>{"state.txt"});
  const ino_t first = inode_of(path);
  replace_keeping_spare(path, "turn:1");
  EXPECT_EQ(read_file(path), "turn:1");
  EXPECT_EQ(read_file(spare), "turn:0");
  EXPECT_EQ(inode_of(spare), first);
  replace_keeping_spare(path, "t2");  // shorter than what the spare held: nothing of it stays
  EXPECT_EQ(read_file(path), "t2");
  EXPECT_EQ(inode_of(path), first);
  EXPECT_EQ(read_file(spare), "turn:1");

  // An aside link to the live file: after the next write it is the spare, and must stay as is.
  ASSERT_EQ(::link(path.c_str(), dir.file("end_state.txt").c_str()), 0);
  replace_keeping_spare(path, "turn:3");
  replace_keeping_spare(path, "turn:4");
  EXPECT_EQ(read_file(dir.file("end_state.txt")), "t2");
  EXPECT_EQ(read_file(path), "turn:4");
  EXPECT_NE(inode_of(path), first);
  EXPECT_NE(inode_of(spare), first);

  // A directory in the way is refused as rename(2) refuses it, and leaves no spare.
  make_dirs(dir.file("cond.txt/x"));
  EXPECT_THROW(replace_keeping_spare(dir.file("cond.txt"), "map:x"), io_error);
  EXPECT_TRUE(dir_exists(dir.file("cond.txt/x")));
  EXPECT_FALSE(file_exists(dir.file(".cond.txt.spare")));
  EXPECT_THROW(replace_keeping_spare(dir.file("no/such/file"), "x"), io_error);

  EXPECT_TRUE(is_spare(".state.txt.spare"));
  EXPECT_FALSE(is_spare("state.txt.spare"));
  EXPECT_FALSE(is_spare(".spare"));
  EXPECT_TRUE(is_leftover_temporary(".state.txt.tmp.12.3"));
  EXPECT_FALSE(is_leftover_temporary(".state.txt.spare"));
}

TEST(WriteFileAtomicDeathTest, ShortWriteKeepsTheOldContent) {
  GTEST_FLAG_SET(death_test_style, "fast");
  temp_dir dir;
  std::string path = dir.file("state.txt");
  write_test_file(path, "old content");
  EXPECT_EXIT(write_past_size_limit(path), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(read_file(path), "old content");
  EXPECT_EQ(entries(dir.path), std::vector<std::string>{"state.txt"});
}

TEST(WriteFileAtomicConcurrent, WritersAndReadersOnlySeeCompleteVersions) {
  temp_dir dir;
  std::string path = dir.file("state.txt");
  constexpr int writers = 4;
  constexpr int rounds = 40;
  // Writer w writes 'a' + w repeated to a length of its own, so a mixed or cut file shows.
  auto version = [](int w) { return std::string(20000 + 3000 * w, static_cast<char>('a' + w)); };
  auto complete = [&](const std::string& bytes) {
    if (bytes.empty()) return false;
    int w = bytes[0] - 'a';
    return w >= 0 && w < writers && bytes == version(w);
  };
  write_file_atomic(path, version(0));

  std::atomic<bool> done{false};
  std::atomic<int> bad_reads{0};
  std::thread reader([&] {
    while (!done.load()) {
      if (!complete(read_file(path))) bad_reads.fetch_add(1);
    }
  });
  std::vector<std::thread> pool;
  for (int w = 0; w < writers; ++w) {
    pool.emplace_back([&, w] {
      for (int i = 0; i < rounds; ++i) write_file_atomic(path, version(w));
    });
  }
  for (auto& th : pool) th.join();
  done.store(true);
  reader.join();

  EXPECT_EQ(bad_reads.load(), 0);
  EXPECT_TRUE(complete(read_file(path)));
  EXPECT_EQ(entries(dir.path), std::vector<std::string>{"state.txt"});
}

TEST(RemoveFileQuiet, RemovesAndIgnoresWhatIsMissing) {
  temp_dir dir;
  write_test_file(dir.file("f"), "x");
  remove_file_quiet(dir.file("f"));
  EXPECT_FALSE(file_exists(dir.file("f")));
  remove_file_quiet(dir.file("f"));
}

TEST(UniqueFd, ClosesAtScopeEndAndFollowsMoves) {
  int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(raw, 0);
  {
    unique_fd outer;
    {
      unique_fd inner(raw);
      outer = std::move(inner);
      EXPECT_EQ(inner.fd, -1);
    }
    EXPECT_NE(::fcntl(raw, F_GETFD), -1);  // the moved-from owner closed nothing
  }
  EXPECT_EQ(::fcntl(raw, F_GETFD), -1);
}

}  // namespace
