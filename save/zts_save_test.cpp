#include "save/zts_save.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/save_writer.h"

TEST(ColorText, ReversesBytesIntoUpperHex) {
  struct {
    std::array<uint8_t, 3> bytes;
    const char* text;
  } cases[] = {
      {{0x1A, 0x2B, 0x3C}, "3C2B1A"},
      {{0, 0, 0}, "000000"},
      {{255, 0, 128}, "8000FF"},
      {{0x0a, 0xb0, 0xff}, "FFB00A"},
  };
  for (const auto& c : cases) {
    plrtyp p;
    p.color_bytes = c.bytes;
    EXPECT_EQ(color_text(p), c.text);
  }
}

namespace {

struct load_result {
  bool ok;
  gametyp game;
  std::string message;
};

load_result load(const std::string& upload) {
  load_result r;
  r.ok = load_game_save(&r.game, upload, &r.message);
  return r;
}

std::string message_of(const save_recipe& recipe) {
  return load(write_save(recipe)).message;
}

std::string int32_bytes(int32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>(static_cast<uint32_t>(v) >> (8 * i));
  return s;
}

// Where the two check values sit in a raw header section written for `recipe`.
size_t checks_offset(const save_recipe& recipe) {
  std::string version =
      recipe.version_text.empty() ? "VER:" + std::to_string(recipe.version) : recipe.version_text;
  return 4 + version.size() + 1 + 4 + recipe.game.map.size();
}

// `header` with its check value computed again after a change.
std::string reseal(std::string header, const save_recipe& recipe) {
  const size_t at = checks_offset(recipe);
  const std::string body_check = header.substr(at + 4, 4);
  header.replace(at, 8, std::string(8, '\0'));
  const uint32_t check = ~reference_crc32(header);
  header.replace(at, 8, int32_bytes(static_cast<int32_t>(check)) + body_check);
  return header;
}

// A recipe whose every optional field holds something, so a layout that skips one shows.
save_recipe full_spec(int32_t version) {
  save_recipe s = sample_save_recipe(3);
  s.version = version;
  gametyp& g = s.game;
  g.moratorium = 5;
  g.aux_flag = true;
  g.aux_flag2 = true;
  g.descr = "described";
  g.server_id = "game_12";
  g.turn = 9;
  g.curplr = 2;
  g.aux_int1 = -1;
  g.aux_int2 = 22;
  g.aux_int3 = 33;
  g.uniset = "Mixed CASE \xC0";
  for (int i = 0; i < 16; ++i) g.rule_bytes[i] = i % 3 == 0;
  for (int i = 0; i < 10; ++i) g.aux_ints[i] = 100 + i;
  g.aux_ints2 = {7, 8, 9};
  plrtyp& p = g.plrs[1];
  p.out_flag = true;
  p.int_list = {1, 2, 3};
  p.int_lists[4] = {-4};
  p.named = {{"Some NAME", 12}, {"other", -2}};
  p.named_cnt = 2;
  p.comments = {{7, 1, 2, 3, "a comment"}};
  p.triples[2] = {5, 6, 0.25f};
  p.real_a = 1.5f;
  p.ints8b[7] = 77;
  p.words6[5] = -6;
  p.pair_rows[3] = {1, 2, 3};
  return s;
}

}  // namespace

TEST(LoadGameSave, ReadsEveryVersionLayout) {
  for (int32_t v : {20110210, 20110213, 20110214, 20130121, 20130122, 20130422, 20130423, 20150906,
                    201304170, 2147483647}) {
    SCOPED_TRACE(v);
    save_recipe s = full_spec(v);
    load_result r = load(write_save(s));
    ASSERT_TRUE(r.ok) << r.message;
    const gametyp& g = r.game;
    EXPECT_EQ(g.version, v);
    EXPECT_EQ(g.name, "Test game");
    EXPECT_EQ(g.map, "Test Map");
    EXPECT_EQ(g.uniset, "mixed case \xC0");  // ASCII letters only
    EXPECT_EQ(g.turn, 9);
    EXPECT_EQ(g.curplr, 2);
    EXPECT_EQ(g.plr_cnt, 3);
    EXPECT_EQ(g.save_time, 1700000000);
    EXPECT_EQ(g.money, 5000);
    EXPECT_EQ(g.resource, 2);
    EXPECT_EQ(g.aux_int1, -1);
    EXPECT_EQ(g.aux_int3, 33);
    EXPECT_EQ(g.aux_ints[9], 109);
    EXPECT_EQ(g.aux_ints2[2], 9);
    const bool moratorium = v >= 20110214;
    const bool game_id = v >= 20130122;
    const bool rule15 = v >= 20130423 && v <= 201304169;
    EXPECT_EQ(g.moratorium, moratorium ? 5 : 0);
    EXPECT_EQ(g.aux_flag, moratorium);
    EXPECT_EQ(g.server_id, game_id ? "game_12" : "");
    EXPECT_EQ(g.descr, game_id ? "described" : "");
    EXPECT_EQ(g.aux_flag2, game_id);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(g.rule_bytes[i], i % 3 == 0) << i;
    EXPECT_EQ(g.rule_bytes[15], rule15);
    const plrtyp& p = g.plrs[1];
    EXPECT_EQ(p.team_name, "Team 2");
    EXPECT_EQ(color_text(p), "EF8111");
    EXPECT_TRUE(p.out_flag);
    EXPECT_FALSE(g.plrs[0].out_flag);
    EXPECT_EQ(p.int_list, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(p.int_list_cnt, 3);
    EXPECT_EQ(p.int_lists[4], (std::vector<int32_t>{-4}));
    ASSERT_EQ(p.named.size(), 2u);
    EXPECT_EQ(p.named[0].name, "some name");
    EXPECT_EQ(p.named[1].value, -2);
    EXPECT_EQ(p.triples[2].c, 0.25f);
    EXPECT_EQ(p.real_a, 1.5f);
    EXPECT_EQ(p.ints8b[7], 77);
    EXPECT_EQ(p.words6[5], -6);
    ASSERT_EQ(p.pair_rows.size(), 4u);
    EXPECT_EQ(p.pair_rows[3], (std::array<uint8_t, 3>{1, 2, 3}));
    ASSERT_EQ(p.comments.size(), game_id ? 1u : 0u);
    if (game_id) {
      EXPECT_EQ(p.comments[0].text, "a comment");
    }
    EXPECT_EQ(g.plrs[3].team_name, "");  // beyond plr_cnt nothing is filled
  }
}

TEST(LoadGameSave, AcceptsOnlyTheTwoVersionRanges) {
  struct {
    int32_t version;
    bool accepted;
  } cases[] = {
      {0, false},        {20110209, false},  {20110210, true},
      {20150906, true},  {20150907, false},  {201304169, false},
      {201304170, true}, {2147483647, true}, {-20110210, false},
  };
  for (const auto& c : cases) {
    save_recipe s = sample_save_recipe(2);
    s.version = c.version;
    EXPECT_EQ(message_of(s), c.accepted ? "" : "Incompatible save version") << c.version;
  }
  // The first four characters are skipped unread; the number is read leniently.
  struct {
    const char* text;
    bool accepted;
  } texts[] = {
      {"VER", false},         {"VER:", false},          {"VER20150906", false},
      {"XYZW20150906", true}, {"VER: 20150906 ", true}, {"VER:20150906junk", true},
  };
  for (const auto& t : texts) {
    save_recipe s = sample_save_recipe(2);
    s.version = 20150906;
    s.version_text = t.text;
    EXPECT_EQ(message_of(s), t.accepted ? "" : "Incompatible save version") << t.text;
  }
}

TEST(LoadGameSave, ChecksVersionThenHeaderThenBody) {
  save_recipe s = sample_save_recipe(2);
  s.break_header_crc = s.break_body_crc = true;
  s.version = 20110209;
  EXPECT_EQ(message_of(s), "Incompatible save version");
  s.version = 20150906;
  EXPECT_EQ(message_of(s), "Header CRC error");
  s.break_header_crc = false;
  EXPECT_EQ(message_of(s), "Body CRC error");
  s.break_body_crc = false;
  EXPECT_EQ(message_of(s), "");
}

TEST(LoadGameSave, AnyChangedByteFailsItsCheck) {
  save_recipe s = sample_save_recipe(2);
  const std::string header = write_header_section(s);
  for (size_t i = checks_offset(s) + 8; i < header.size(); ++i) {
    std::string damaged = header;
    damaged[i] = static_cast<char>(damaged[i] ^ 0x10);
    ASSERT_EQ(load(join_container(container_for(damaged, s.body))).message, "Header CRC error")
        << i;
  }
  for (size_t i = 0; i < s.body.size(); ++i) {
    std::string body = s.body;
    body[i] = static_cast<char>(body[i] ^ 1);
    ASSERT_EQ(load(join_container(container_for(header, body))).message, "Body CRC error") << i;
  }
}

TEST(LoadGameSave, MarkerRefusals) {
  struct {
    int plr_cnt;
    int bad_marker;
    const char* message;
  } cases[] = {
      {2, -1, "Mising A marker"},
      {2, 0, "Mising P0 marker"},
      {2, 1, "Mising P1 marker"},
      {12, 11, "Mising P11 marker"},
  };
  for (const auto& c : cases) {
    save_recipe s = sample_save_recipe(c.plr_cnt);
    s.bad_marker = c.bad_marker;
    EXPECT_EQ(message_of(s), c.message);
  }
}

TEST(LoadGameSave, ASectionEndingEarlyIsACrashInParsing) {
  save_recipe s = full_spec(20150906);
  s.stop_before_a_marker = true;
  EXPECT_EQ(message_of(s), "Crash in file parsing");
  s.stop_before_a_marker = false;
  const size_t full = write_header_section(s).size();
  for (size_t cut = checks_offset(s) + 8; cut < full; ++cut) {
    s.truncate_at = cut;
    ASSERT_EQ(message_of(s), "Crash in file parsing") << cut;
  }
  // Before the check values have been read, too.
  s.truncate_at = std::string::npos;
  container_parts c = container_for(write_header_section(s).substr(0, 10), s.body);
  EXPECT_EQ(load(join_container(c)).message, "Crash in file parsing");
}

TEST(LoadGameSave, CountsOutsideTheRecordAreRefused) {
  for (int32_t plr_cnt : {0, -1, 21}) {
    save_recipe s = sample_save_recipe(2);
    s.game.plr_cnt = plr_cnt;
    EXPECT_EQ(message_of(s), "Crash in file parsing") << plr_cnt;
  }
  // A count no writer could back: patched into a two-player save, whose blocks then follow.
  save_recipe huge = sample_save_recipe(2);
  huge.version = 20110213;  // no game id or description before the name
  const size_t plr_cnt_at = checks_offset(huge) + 8 + 4 + 4 + huge.game.name.size() + 8;
  std::string header = write_header_section(huge);
  header.replace(plr_cnt_at, 4, int32_bytes(1 << 30));
  EXPECT_EQ(load(join_container(container_for(reseal(header, huge), huge.body))).message,
            "Crash in file parsing");
  load_result twenty = load(write_save(sample_save_recipe(20)));
  ASSERT_TRUE(twenty.ok) << twenty.message;
  EXPECT_EQ(twenty.game.plrs[19].team_name, "Team 20");

  save_recipe s = sample_save_recipe(2);
  s.game.plrs[0].named_cnt = 100;
  load_result hundred = load(write_save(s));
  ASSERT_TRUE(hundred.ok) << hundred.message;
  EXPECT_EQ(hundred.game.plrs[0].named.size(), 100u);
  s.game.plrs[0].named_cnt = 101;
  EXPECT_EQ(message_of(s), "Crash in file parsing");

  // Negative or unbacked array lengths: refused without allocating them.
  for (int32_t n : {-1, 1 << 30, 0x7FFFFFFF}) {
    save_recipe list = sample_save_recipe(2);
    list.first_int_list_count = n;
    EXPECT_EQ(message_of(list), "Crash in file parsing") << n;
    save_recipe comments = sample_save_recipe(2);
    comments.first_comment_count = n;
    EXPECT_EQ(message_of(comments), "Crash in file parsing") << n;
  }
}

TEST(LoadGameSave, StringLengthsOutsideOneTo1024ReadAsEmpty) {
  for (int32_t n : {2000, 1025, 0, -3}) {
    save_recipe s = sample_save_recipe(2);
    s.raw_name_field = int32_bytes(n);  // only the length: the next field follows at once
    s.game.turn = 7;
    load_result r = load(write_save(s));
    ASSERT_TRUE(r.ok) << n << " " << r.message;
    EXPECT_EQ(r.game.name, "") << n;
    EXPECT_EQ(r.game.turn, 7) << n;
  }
  // 1024 bytes are read; the record keeps the first 64.
  save_recipe s = sample_save_recipe(2);
  s.game.name = std::string(1000, 'n') + std::string(24, 'x');
  load_result r = load(write_save(s));
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.game.name, std::string(64, 'n'));
}
