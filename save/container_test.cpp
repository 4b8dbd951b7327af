#include "save/container.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "lib/file_io.h"
#include "lib/log.h"
#include "save/zts_save.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string header_bytes = "header section bytes \x01\x02\x03 and more header";
const std::string body_bytes(5000, 'w');

struct read_result {
  bool ok;
  save_sections sections;
  std::string message;
};

read_result read(const std::string& upload) {
  read_result r;
  r.ok = read_save_container(upload, &r.sections, &r.message);
  return r;
}

// The text of a container up to and including its header text.
std::string up_to_header_text(const container_parts& c) {
  std::string all = join_container(c);
  return all.substr(0, all.find("ZSTX") - static_cast<size_t>(c.body_line_feeds));
}

}  // namespace

TEST(Container, SectionsComeOutAtTheirDeclaredSizes) {
  for (int feeds : {0, 1, 3}) {
    container_parts c = container_for(header_bytes, body_bytes);
    c.header_line_feeds = feeds;
    c.body_line_feeds = feeds;
    read_result r = read(join_container(c));
    ASSERT_TRUE(r.ok) << feeds << " " << r.message;
    EXPECT_TRUE(r.sections.has_header);
    EXPECT_EQ(r.sections.header, header_bytes);
    EXPECT_EQ(r.sections.body, body_bytes);
  }
  // Line breaks inside either text are skipped by Base64 but counted in the text length.
  container_parts c = container_for(header_bytes, body_bytes);
  c.header_text = encode_base64(lzw_encode(header_bytes), 10);
  c.body_text = encode_base64(lzw_encode(body_bytes), 7);
  read_result r = read(join_container(c));
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.sections.header, header_bytes);
  EXPECT_EQ(r.sections.body, body_bytes);
}

TEST(Container, ShortOrDamagedStreamsAreZeroFilledToTheDeclaredSize) {
  // A declared size above what the stream holds (but within what it could hold) is not a
  // refusal: the missing bytes are zeros and the CRC checks decide.
  container_parts c = container_for("abc", "xyz");
  c.header_size = "7";
  c.body_size = "9";
  read_result r = read(join_container(c));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.sections.header, std::string("abc\0\0\0\0", 7));
  EXPECT_EQ(r.sections.body, std::string("xyz\0\0\0\0\0\0", 9));
  // A smaller declared size cuts the section.
  c.header_size = "2";
  c.body_size = "1";
  r = read(join_container(c));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.sections.header, "ab");
  EXPECT_EQ(r.sections.body, "x");
  // A stream cut short decodes what it holds; the rest of a long section is zeros too.
  std::string text;
  for (int i = 0; i < 40; ++i) text += "line " + std::to_string(i) + " of the world; ";
  c = container_for("abc", "xyz");
  std::string stream = lzw_encode(text);
  c.body_text = encode_base64(stream.substr(0, stream.size() / 2));
  c.body_size = std::to_string(text.size());
  r = read(join_container(c));
  ASSERT_TRUE(r.ok);
  size_t produced = r.sections.body.find_last_not_of('\0') + 1;
  EXPECT_GT(produced, 100u);
  EXPECT_EQ(r.sections.body.substr(0, produced), text.substr(0, produced));
  EXPECT_EQ(r.sections.body.substr(produced), std::string(text.size() - produced, '\0'));
  // A stream that is not LZW (here its first code, 511, is above the table) decodes to nothing;
  // the section is all zeros.
  c = container_for("abc", "xyz");
  c.body_text = "////";
  r = read(join_container(c));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.sections.body, std::string(3, '\0'));
}

TEST(Container, EmptyAndMissingSections) {
  // Body size 0 or less: an empty body. Header size 0 or less: no header (the loader refuses).
  for (const char* size : {"0", "-5", "x"}) {
    container_parts c = container_for(header_bytes, body_bytes);
    c.body_size = size;
    read_result r = read(join_container(c));
    ASSERT_TRUE(r.ok) << size;
    EXPECT_TRUE(r.sections.body.empty()) << size;
    c = container_for(header_bytes, body_bytes);
    c.header_size = size;
    r = read(join_container(c));
    ASSERT_TRUE(r.ok) << size;
    EXPECT_FALSE(r.sections.has_header) << size;
    EXPECT_TRUE(r.sections.header.empty());
  }
  // A format other than 3: success without sections, nothing more is read.
  container_parts c = container_for(header_bytes, body_bytes);
  c.format = '2';
  const size_t fields_end = 7 + c.header_size.size() + std::to_string(c.header_text.size()).size();
  read_result r = read(up_to_header_text(c).substr(0, fields_end));
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.sections.has_header);
  EXPECT_TRUE(r.sections.body.empty());
}

TEST(Container, RefusalMessages) {
  container_parts c = container_for(header_bytes, body_bytes);
  const std::string good = join_container(c);
  const std::string head = up_to_header_text(c);
  std::string wrong_second = good;
  wrong_second.replace(good.find("ZSTX"), 4, "ZSTY");
  container_parts cr = c;
  cr.header_line_feeds = 0;
  std::string cr_first = join_container(cr);
  cr_first.insert(head.size() - c.header_text.size() - 1, "\r");  // before the header text

  struct {
    const char* what;
    std::string upload;
    const char* message;
  } cases[] = {
      {"empty", "", "Invalid signature"},
      {"three characters", "ZTN", "Invalid signature"},
      {"body signature first", "ZSTX" + good.substr(4), "Invalid signature"},
      {"lower case", "ztnx" + good.substr(4), "Invalid signature"},
      {"ends inside the widths", good.substr(0, 6), "Unknown decompression error"},
      {"ends inside the sizes", good.substr(0, 9), "Unknown decompression error"},
      {"nothing after the sizes", head.substr(0, head.size() - c.header_text.size()),
       "Unknown decompression error"},
      {"ends inside the header text", head.substr(0, head.size() - 3),
       "Unknown decompression error"},
      {"ends after the header text", head, "Unknown decompression error"},
      {"ends after line feeds", head + "\n\n", "Unknown decompression error"},
      {"three characters of the body signature", head + "\nZST", "Unknown decompression error"},
      {"wrong body signature", wrong_second, "Unknown decompression error"},
      {"carriage return is not skipped", cr_first, "Unknown decompression error"},
  };
  for (const auto& t : cases) {
    read_result r = read(t.upload);
    EXPECT_FALSE(r.ok) << t.what;
    EXPECT_EQ(r.message, t.message) << t.what;
    EXPECT_FALSE(r.sections.has_header) << t.what;
    EXPECT_TRUE(r.sections.header.empty() && r.sections.body.empty()) << t.what;
  }
}

TEST(Container, RefusesSizesTheDataCannotProduceBeforeAllocating) {
  // Far above what a few bytes of LZW can produce, and above the section limit: refused at
  // once (an allocation of these sizes would take seconds or fail).
  struct {
    const char* header_size;
    const char* body_size;
  } cases[] = {
      {"999999999", "3"},
      {"3", "999999999"},
      {"2000000", "3"},  // below the limit but beyond these few codes
      {"3", "2000000"},
  };
  for (const auto& t : cases) {
    container_parts c = container_for("abc", "xyz");
    c.header_size = t.header_size;
    c.body_size = t.body_size;
    read_result r = read(join_container(c));
    EXPECT_FALSE(r.ok) << t.header_size << "/" << t.body_size;
    EXPECT_EQ(r.message, "Unknown decompression error");
  }
  // Over the limit even when the data could produce it.
  container_parts c = container_for("abc", "xyz");
  c.body_text = std::string(400000, 'A');
  c.body_size = std::to_string(max_section_size + 1);
  EXPECT_FALSE(read(join_container(c)).ok);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZTS_NO_ADDRESS_LIMIT 1
#else
namespace {

// Reads `upload` in a child process working in `dir` whose address space ends 64 MiB above
// what it uses, so a large section allocation fails. Returns the refusal message and, after a
// fault, "|" and its log text; "" when the upload was accepted or the child did not finish.
std::string read_with_little_memory(const std::string& dir, const std::string& upload) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "";
  pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_fds[0]);
    if (::chdir(dir.c_str()) != 0) ::_exit(3);
    set_log_file("zts.log", false);
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    rlim_t limit = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (64u << 20);
    rlimit rl{limit, limit};
    if (::setrlimit(RLIMIT_AS, &rl) != 0) ::_exit(4);
    save_sections s;
    std::string message;
    decode_fault fault;
    if (read_save_container(upload, &s, &message, &fault)) message.clear();
    if (fault.happened) message += "|" + decode_fault_line(fault);
    ssize_t n = ::write(pipe_fds[1], message.data(), message.size());
    ::_exit(n == static_cast<ssize_t>(message.size()) ? 0 : 5);
  }
  ::close(pipe_fds[1]);
  std::string message;
  char buf[256];
  for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) message.append(buf, n);
  ::close(pipe_fds[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return "";
  return message;
}

}  // namespace
#endif

TEST(Container, AFaultWhileDecodingIsRefusedAndDescribedWithoutSideEffects) {
#ifdef ZTS_NO_ADDRESS_LIMIT
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#else
  // 84000 "A" decode to 63000 zero bytes: enough codes to back a 200 MB body, so the size
  // passes the checks and the allocation itself fails under the address-space limit.
  container_parts c = container_for("abc", "xyz");
  c.body_text = std::string(84000, 'A');
  c.body_size = "200000000";
  const std::string upload = join_container(c);

  temp_dir dir;
  EXPECT_EQ(read_with_little_memory(dir.path, upload),
            "Unknown decompression error|Somethign failed (k=84000, bodsz=200000000, szbas=9).");
  EXPECT_FALSE(file_exists(dir.file("bug.txt")));
  EXPECT_FALSE(file_exists(dir.file("zts.log")));
#endif
}

TEST(Container, LoaderReportsMissingHeaderAsCrash) {
  container_parts c = container_for(header_bytes, body_bytes);
  c.format = '2';
  gametyp g;
  std::string message;
  EXPECT_FALSE(load_game_save(&g, join_container(c), &message));
  EXPECT_EQ(message, "Crash in file parsing");
  c = container_for(header_bytes, body_bytes);
  c.header_size = "0";
  g = gametyp{};
  EXPECT_FALSE(load_game_save(&g, join_container(c), &message));
  EXPECT_EQ(message, "Crash in file parsing");
}
