// Runs the real build/zts_inspect binary and reads its output back as JSON.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "lib/file_io.h"
#include "tests/support/command.h"
#include "tests/support/json_reader.h"
#include "tests/support/save_writer.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string vector_dir = std::string(ZTS_SOURCE_DIR) + "/tests/data/vectors/";

struct inspect_result {
  int status = -1;
  std::vector<std::string> lines;
};

// Runs the tool in `dir` on `args`.
inspect_result run_inspect(const std::string& dir, const std::vector<std::string>& args) {
  std::string command = "cd '" + dir + "' && '" + build_path("zts_inspect") + "'";
  for (const std::string& a : args) command += " '" + a + "'";
  command_result ran = run_command(command, command_stderr::discarded);
  inspect_result r;
  r.status = ran.status;
  std::istringstream in(ran.out);
  for (std::string line; std::getline(in, line);) r.lines.push_back(line);
  return r;
}

json_value parse_line(const std::string& line) {
  json_value v;
  std::string err;
  EXPECT_TRUE(parse_json(line, &v, &err)) << err << ": " << line;
  return v;
}

std::vector<std::string> vector_names() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(vector_dir))
    if (e.path().extension() == ".zts") names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Every key the tool prints must equal the sample's listing (players by the three fields shown).
void expect_as_listed(const json_value& want, const json_value& have) {
  for (const char* key :
       {"version", "turn", "curplr", "plr_cnt", "save_time", "money", "resource", "moratorium"}) {
    ASSERT_EQ(have[key].kind, json_value::number_kind) << key;
    EXPECT_EQ(have[key].number, want[key].number) << key;
  }
  for (const char* key : {"name", "descr", "map", "uniset", "server_id"}) {
    ASSERT_EQ(have[key].kind, json_value::string_kind) << key;
    EXPECT_EQ(have[key].text, want[key].text) << key;
  }
  ASSERT_EQ(have["rules"].items.size(), 16u);
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(have["rules"][i].boolean, want["rules"][i].boolean);
  ASSERT_EQ(have["players"].items.size(), want["players"].items.size());
  for (size_t i = 0; i < want["players"].items.size(); ++i) {
    const json_value& w = want["players"][i];
    const json_value& h = have["players"][i];
    EXPECT_EQ(h["team_name"].text, w["team_name"].text) << i;
    EXPECT_EQ(h["out_flag"].boolean, w["out_flag"].boolean) << i;
    EXPECT_EQ(h["color"].text, w["color"].text) << i;
  }
  if (want["error"].is_null()) {
    EXPECT_TRUE(have["error"].is_null()) << have["error"].text;
  } else {
    EXPECT_EQ(have["error"].text, want["error"].text);
  }
}

}  // namespace

TEST(ZtsInspect, PrintsEverySampleSaveAsListed) {
  temp_dir dir;
  std::vector<std::string> names = vector_names();
  ASSERT_GE(names.size(), 7u);
  std::vector<std::string> files, good;
  for (const std::string& n : names) files.push_back(vector_dir + n + ".zts");
  inspect_result r = run_inspect(dir.path, files);
  ASSERT_EQ(r.lines.size(), names.size());
  bool any_refused = false;
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    json_value want = parse_line(read_file(vector_dir + names[i] + ".json"));
    json_value have = parse_line(r.lines[i]);
    EXPECT_EQ(have["file"].text, files[i]);
    expect_as_listed(want, have);
    any_refused = any_refused || !want["error"].is_null();
    if (want["error"].is_null()) good.push_back(files[i]);
  }
  // The refused samples make the run fail; the accepted ones alone pass.
  EXPECT_EQ(r.status, any_refused ? 1 : 0);
  EXPECT_EQ(run_inspect(dir.path, good).status, 0);
}

TEST(ZtsInspect, EscapesTextsAndReportsEveryRefusal) {
  temp_dir dir;
  save_recipe s = sample_save_recipe(2);
  s.game.name = "a \"quoted\" \\ name\x01";
  s.game.plrs[0].team_name = "\xCA\xF0\xE0\xF1\xED\xFB\xE5";  // "Красные"
  s.game.plrs[1].out_flag = true;
  write_test_file(dir.file("good.zts"), write_save(s));
  save_recipe bad = sample_save_recipe(2);
  bad.bad_marker = 1;
  write_test_file(dir.file("bad_marker.zts"), write_save(bad));
  write_test_file(dir.file("text.zts"), "hello");

  inspect_result r =
      run_inspect(dir.path, {"good.zts", "bad_marker.zts", "text.zts", "missing.zts", "good.zts"});
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(r.lines.size(), 5u);
  json_value good = parse_line(r.lines[0]);
  EXPECT_TRUE(good["error"].is_null());
  EXPECT_EQ(good["name"].text, "a \"quoted\" \\ name\x01");
  EXPECT_EQ(good["plr_cnt"].number, 2);
  ASSERT_EQ(good["players"].items.size(), 2u);
  EXPECT_EQ(good["players"][0]["team_name"].text, "Красные");
  EXPECT_EQ(good["players"][0]["color"].text, "F08010");
  EXPECT_FALSE(good["players"][0]["out_flag"].boolean);
  EXPECT_TRUE(good["players"][1]["out_flag"].boolean);
  EXPECT_EQ(parse_line(r.lines[1])["error"].text, "Mising P1 marker");
  EXPECT_EQ(parse_line(r.lines[2])["error"].text, "Invalid signature");
  json_value missing = parse_line(r.lines[3]);
  EXPECT_EQ(missing["file"].text, "missing.zts");
  EXPECT_EQ(missing["error"].kind, json_value::string_kind);
  EXPECT_NE(missing["error"].text.find("missing.zts"), std::string::npos);
  EXPECT_EQ(r.lines[4], r.lines[0]);

  EXPECT_EQ(run_inspect(dir.path, {"good.zts"}).status, 0);
  EXPECT_EQ(run_inspect(dir.path, {}).status, 1);
}
