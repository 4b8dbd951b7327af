// The sample saves in tests/data/vectors were made by a separate implementation of the format;
// each NAME.json lists every field a correct reader finds in NAME.zts (or the refusal).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "lib/cp1251.h"
#include "save/zts_save.h"
#include "tests/support/json_reader.h"

namespace {

const std::string vector_dir = std::string(ZTS_SOURCE_DIR) + "/tests/data/vectors/";

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void expect_int(const json_value& want, double have, const std::string& where) {
  ASSERT_EQ(want.kind, json_value::number_kind) << where;
  EXPECT_EQ(want.number, have) << where;
}
void expect_bool(const json_value& want, bool have, const std::string& where) {
  ASSERT_EQ(want.kind, json_value::bool_kind) << where;
  EXPECT_EQ(want.boolean, have) << where;
}
void expect_text(const json_value& want, const std::string& have, const std::string& where) {
  ASSERT_EQ(want.kind, json_value::string_kind) << where;
  EXPECT_EQ(want.text, cp1251_to_utf8(have)) << where;
}
template <typename List>
void expect_numbers(const json_value& want, const List& have, const std::string& where) {
  ASSERT_EQ(want.items.size(), std::size(have)) << where;
  size_t i = 0;
  for (const auto& v : have) {
    expect_int(want.items[i], static_cast<double>(v), where + "[" + std::to_string(i) + "]");
    ++i;
  }
}
template <typename List>
void expect_bools(const json_value& want, const List& have, const std::string& where) {
  ASSERT_EQ(want.items.size(), std::size(have)) << where;
  for (size_t i = 0; i < std::size(have); ++i)
    expect_bool(want.items[i], have[i], where + "[" + std::to_string(i) + "]");
}

void expect_player(const json_value& want, const plrtyp& p, const std::string& where) {
  expect_text(want["team_name"], p.team_name, where + ".team_name");
  expect_text(want["alt_text"], p.alt_text, where + ".alt_text");
  expect_text(want["color"], color_text(p), where + ".color");
  expect_numbers(want["color_bytes"], p.color_bytes, where + ".color_bytes");
  expect_bool(want["out_flag"], p.out_flag, where + ".out_flag");
  expect_int(want["ident"], p.ident, where + ".ident");
  expect_int(want["int_a"], p.int_a, where + ".int_a");
  expect_int(want["int_b"], p.int_b, where + ".int_b");
  expect_int(want["int_c"], p.int_c, where + ".int_c");
  expect_int(want["real_a"], p.real_a, where + ".real_a");
  expect_bools(want["pflags"], p.pflags, where + ".pflags");
  expect_bools(want["pflags20"], p.pflags20, where + ".pflags20");
  expect_numbers(want["words6"], p.words6, where + ".words6");
  expect_numbers(want["bytes12"], p.bytes12, where + ".bytes12");
  expect_numbers(want["ints8a"], p.ints8a, where + ".ints8a");
  expect_numbers(want["ints8b"], p.ints8b, where + ".ints8b");
  expect_int(want["int_list_cnt"], p.int_list_cnt, where + ".int_list_cnt");
  expect_numbers(want["int_list"], p.int_list, where + ".int_list");
  ASSERT_EQ(want["int_lists"].items.size(), p.int_lists.size()) << where;
  for (size_t i = 0; i < p.int_lists.size(); ++i)
    expect_numbers(want["int_lists"][i], p.int_lists[i], where + ".int_lists");
  ASSERT_EQ(want["pair_rows"].items.size(), p.pair_rows.size()) << where;
  for (size_t r = 0; r < p.pair_rows.size(); ++r)
    expect_numbers(want["pair_rows"][r], p.pair_rows[r], where + ".pair_rows");
  ASSERT_EQ(want["triples"].items.size(), p.triples.size()) << where;
  for (size_t i = 0; i < p.triples.size(); ++i) {
    const json_value& t = want["triples"][i];
    expect_int(t[0], p.triples[i].a, where + ".triples.a");
    expect_int(t[1], p.triples[i].b, where + ".triples.b");
    expect_int(t[2], p.triples[i].c, where + ".triples.c");
  }
  expect_int(want["named_cnt"], p.named_cnt, where + ".named_cnt");
  ASSERT_EQ(want["named"].items.size(), p.named.size()) << where;
  for (size_t i = 0; i < p.named.size(); ++i) {
    const json_value& n = want["named"][i];
    // Either [text, value] or {"name": text, "value": value}.
    const json_value& name = n.kind == json_value::array_kind ? n[0] : n["name"];
    const json_value& value = n.kind == json_value::array_kind ? n[1] : n["value"];
    expect_text(name, p.named[i].name, where + ".named");
    expect_int(value, p.named[i].value, where + ".named");
  }
  ASSERT_EQ(want["comments"].items.size(), p.comments.size()) << where;
  for (size_t i = 0; i < p.comments.size(); ++i) {
    const json_value& c = want["comments"][i];
    const comment_typ& h = p.comments[i];
    if (c.kind == json_value::array_kind) {
      expect_int(c[0], h.tag, where + ".comments.tag");
      expect_int(c[1], h.num1, where + ".comments.num1");
      expect_int(c[2], h.num2, where + ".comments.num2");
      expect_int(c[3], h.num3, where + ".comments.num3");
      expect_text(c[4], h.text, where + ".comments.text");
    } else {
      expect_int(c["tag"], h.tag, where + ".comments.tag");
      expect_int(c["num1"], h.num1, where + ".comments.num1");
      expect_int(c["num2"], h.num2, where + ".comments.num2");
      expect_int(c["num3"], h.num3, where + ".comments.num3");
      expect_text(c["text"], h.text, where + ".comments.text");
    }
  }
}

void expect_game(const json_value& want, const gametyp& g) {
  expect_int(want["version"], g.version, "version");
  expect_text(want["name"], g.name, "name");
  expect_text(want["descr"], g.descr, "descr");
  expect_text(want["map"], g.map, "map");
  expect_text(want["uniset"], g.uniset, "uniset");
  expect_text(want["server_id"], g.server_id, "server_id");
  expect_int(want["turn"], g.turn, "turn");
  expect_int(want["curplr"], g.curplr, "curplr");
  expect_int(want["plr_cnt"], g.plr_cnt, "plr_cnt");
  expect_int(want["save_time"], g.save_time, "save_time");
  expect_int(want["money"], g.money, "money");
  expect_int(want["resource"], g.resource, "resource");
  expect_int(want["moratorium"], g.moratorium, "moratorium");
  expect_int(want["aux_int1"], g.aux_int1, "aux_int1");
  expect_int(want["aux_int2"], g.aux_int2, "aux_int2");
  expect_int(want["aux_int3"], g.aux_int3, "aux_int3");
  expect_bool(want["aux_flag"], g.aux_flag, "aux_flag");
  expect_bool(want["aux_flag2"], g.aux_flag2, "aux_flag2");
  expect_numbers(want["aux_ints"], g.aux_ints, "aux_ints");
  expect_numbers(want["aux_ints2"], g.aux_ints2, "aux_ints2");
  expect_bools(want["rules"], g.rule_bytes, "rules");
  const json_value& players = want["players"];
  size_t listed = players.items.size();
  ASSERT_LE(listed, static_cast<size_t>(max_players));
  for (size_t i = 0; i < listed; ++i)
    expect_player(players[i], g.plrs[i], "players[" + std::to_string(i) + "]");
}

std::vector<std::string> vector_names() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(vector_dir))
    if (e.path().extension() == ".zts") names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(SampleSaves, EveryVectorReadsAsListed) {
  std::vector<std::string> names = vector_names();
  ASSERT_GE(names.size(), 7u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    json_value want;
    std::string err;
    ASSERT_TRUE(parse_json(slurp(vector_dir + name + ".json"), &want, &err)) << err;
    gametyp g;
    std::string message;
    bool ok = load_game_save(&g, slurp(vector_dir + name + ".zts"), &message);
    if (want["error"].is_null()) {
      ASSERT_TRUE(ok) << message;
    } else {
      ASSERT_FALSE(ok);
      EXPECT_EQ(message, want["error"].text);
    }
    expect_int(want["header_size"], static_cast<double>(g.header_size), "header_size");
    expect_int(want["body_size"], static_cast<double>(g.body_size), "body_size");
    expect_game(want, g);
  }
}
