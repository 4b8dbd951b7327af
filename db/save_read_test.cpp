#include "db/save_read.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "db/test_log.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "tests/support/temp_dir.h"

using namespace std::string_literals;

namespace {

// The server keeps the evidence of a faulting upload: the same log text and dump as ever, and a
// dump that cannot be written makes the caller report a parse crash.
TEST(SaveRead, AFaultIsLoggedAndTheUploadKept) {
  temp_dir dir;
  scoped_cwd cwd{dir.path};
  set_log_file(dir.file("zts.log"), false);
  decode_fault fault{true, 84000, 200000000, 9};
  EXPECT_TRUE(keep_decode_fault(fault, "ZTNX3\0upload"s));
  EXPECT_EQ(read_file(dir.file("bug.txt")), "ZTNX3\0upload"s);
  EXPECT_EQ(log_messages(dir.file("zts.log")),
            std::vector<std::string>{"DEC:Somethign failed (k=84000, bodsz=200000000, szbas=9)."});

  std::filesystem::remove(dir.file("bug.txt"));
  make_dirs(dir.file("bug.txt/blocked"));
  EXPECT_FALSE(keep_decode_fault(fault, "again"));

  // An ordinary refusal keeps nothing.
  gametyp game;
  std::string message;
  EXPECT_FALSE(read_game_save(&game, "not a save", &message));
  EXPECT_EQ(message, "Invalid signature");
  EXPECT_EQ(log_messages(dir.file("zts.log")).size(), 2u);
}

}  // namespace
