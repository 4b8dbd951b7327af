#include "save/zts_save.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "lib/conv.h"
#include "save/container.h"
#include "save/crc32.h"

namespace {

// Longer strings are read as empty and only their length is consumed: the game never writes
// one, so the length itself is taken as damaged.
constexpr int32_t max_string_length = 1024;
// Fields held in 64-character slots keep this many bytes.
constexpr size_t short_text_length = 64;
// The version number sits after "VER:" and is read from at most this many characters.
constexpr size_t version_skip = 4;
constexpr size_t version_digits = 1000;

constexpr uint8_t marker_bytes[2] = {0xDE, 0xAD};

// Version thresholds of the optional fields.
constexpr int32_t moratorium_since = 20110214;
constexpr int32_t server_id_since = 20130122;
constexpr int32_t rule15_since = 20130423;
constexpr int32_t rule15_until = 201304169;

const char crash_message[] = "Crash in file parsing";

// Reads the header section front to back. A read past its end sets `failed` and yields zeros,
// so a parse step can read a whole group and test once.
struct header_reader {
  std::string_view data;
  size_t pos = 0;
  bool failed = false;

  size_t remaining() const { return data.size() - pos; }

  bool take(size_t n, const char** p) {
    if (failed || n > remaining()) {
      failed = true;
      return false;
    }
    *p = data.data() + pos;
    pos += n;
    return true;
  }
  int32_t int32() {
    const char* p;
    if (!take(4, &p)) return 0;
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(p[i]);
    return static_cast<int32_t>(v);
  }
  int16_t int16() { return static_cast<int16_t>(int32()); }
  uint8_t byte() { return static_cast<uint8_t>(int32()); }
  bool boolean() {
    const char* p;
    return take(1, &p) && *p == 1;
  }
  double real() {
    const char* p;
    if (!take(8, &p)) return 0;
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | static_cast<unsigned char>(p[i]);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  std::string string() {
    int32_t n = int32();
    const char* p;
    if (n <= 0 || n > max_string_length || !take(static_cast<size_t>(n), &p)) return {};
    return std::string(p, static_cast<size_t>(n));
  }
  std::string short_string() { return string().substr(0, short_text_length); }
  bool marker() {
    const char* p;
    return take(2, &p) && static_cast<uint8_t>(p[0]) == marker_bytes[0] &&
           static_cast<uint8_t>(p[1]) == marker_bytes[1];
  }
  // Reads an element count and checks that the rest of the section can hold that many
  // elements of at least `min_bytes` each, so no allocation exceeds what the file backs.
  bool count(size_t min_bytes, int32_t* n) {
    *n = int32();
    if (failed || *n < 0 || static_cast<uint64_t>(*n) * min_bytes > remaining()) {
      failed = true;
      return false;
    }
    return true;
  }
};

std::string lower_ascii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Rounds to binary32 as an assignment would, without the undefined conversion of values past
// the float range.
float to_float(double d) {
  if (std::isnan(d)) return NAN;
  // Half an ulp above FLT_MAX already rounds up to infinity.
  const double overflow = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
  if (d >= overflow) return INFINITY;
  if (d <= -overflow) return -INFINITY;
  if (d > FLT_MAX) return FLT_MAX;
  if (d < -FLT_MAX) return -FLT_MAX;
  return static_cast<float>(d);
}

bool accepted_version(int32_t v) {
  return (v >= min_save_version && v <= max_old_save_version) || v >= min_new_save_version;
}

bool read_int_list(header_reader* in, std::vector<int32_t>* list) {
  int32_t n;
  if (!in->count(4, &n)) return false;
  list->resize(static_cast<size_t>(n));
  for (auto& v : *list) v = in->int32();
  return !in->failed;
}

bool read_player(header_reader* in, int32_t version, int32_t plr_cnt, plrtyp* p) {
  p->ident = in->int16();
  p->team_name = in->short_string();
  p->alt_text = in->short_string();
  for (int i = 0; i < 4; ++i) p->pflags[i] = in->boolean();
  p->int_a = in->int32();
  p->pflags[4] = in->boolean();
  for (auto& f : p->pflags20) f = in->boolean();
  p->out_flag = in->boolean();
  p->real_a = to_float(in->real());
  for (auto& w : p->words6) w = in->int16();
  for (auto& b : p->bytes12) b = in->byte();
  for (auto& b : p->color_bytes) b = in->byte();
  // plr_cnt is already limited to 1..max_players, so this is at most 21 rows.
  p->pair_rows.resize(static_cast<size_t>(plr_cnt) + 1);
  for (auto& row : p->pair_rows)
    for (auto& b : row) b = in->byte();
  p->int_b = in->int32();
  p->int_c = in->int32();
  if (!read_int_list(in, &p->int_list)) return false;
  p->int_list_cnt = static_cast<int32_t>(p->int_list.size());
  for (auto& list : p->int_lists)
    if (!read_int_list(in, &list)) return false;
  for (auto& t : p->triples) {
    t.a = in->int32();
    t.b = in->int32();
    t.c = to_float(in->real());
  }
  p->named_cnt = in->int32();
  if (in->failed || p->named_cnt > max_named) return false;
  // A negative count reads no entries, as a counted loop would.
  if (p->named_cnt > 0) {
    // Each entry is at least a string length and an int32.
    if (static_cast<size_t>(p->named_cnt) * 8 > in->remaining()) return false;
    p->named.resize(static_cast<size_t>(p->named_cnt));
    for (auto& e : p->named) {
      e.name = lower_ascii(in->short_string());
      e.value = in->int16();
    }
  }
  p->reals8 = {};
  for (auto& v : p->ints8a) v = in->int32();
  for (auto& v : p->ints8b) v = in->int32();
  if (version >= server_id_since) {
    int32_t n;
    // Four int32 and a string length at least.
    if (!in->count(20, &n)) return false;
    p->comments.resize(static_cast<size_t>(n));
    for (auto& c : p->comments) {
      c.tag = in->byte();
      c.num1 = in->int16();
      c.num2 = in->int16();
      c.num3 = in->int16();
      c.text = in->string();
    }
  }
  return !in->failed;
}

// Fields 6 to 27: everything between the check values and the A marker.
void read_settings(header_reader* in, gametyp* g) {
  const int32_t v = g->version;
  g->aux_int1 = in->int32();
  if (v >= server_id_since) {
    g->server_id = in->short_string();
    g->aux_flag2 = in->boolean();
    g->descr = in->short_string();
  }
  g->name = in->short_string();
  g->turn = in->int32();
  g->curplr = in->int32();
  g->plr_cnt = in->int32();
  g->aux_int2 = in->int32();
  g->aux_int3 = in->int32();
  g->save_time = in->int32();
  g->uniset = lower_ascii(in->short_string());
  in->int32();
  in->int32();
  g->resource = in->int32();
  g->money = in->int32();
  for (int i = 1; i <= 10; ++i) g->rule_bytes[i] = in->boolean();
  if (v >= moratorium_since) {
    g->moratorium = in->int32();
    g->aux_flag = in->boolean();
  }
  for (int i = 11; i <= 14; ++i) g->rule_bytes[i] = in->boolean();
  if (v >= rule15_since && v <= rule15_until) g->rule_bytes[15] = in->boolean();
  for (auto& x : g->aux_ints) x = in->int32();
  for (auto& x : g->aux_ints2) x = in->int32();
}

bool parse_header(std::string& header, const std::string& body, gametyp* g, std::string* message) {
  header_reader in{header};
  std::string version_text = in.string();
  if (in.failed) return false;
  g->version = str_to_int(version_text.size() > version_skip
                              ? std::string_view(version_text).substr(version_skip, version_digits)
                              : std::string_view());
  if (!accepted_version(g->version)) {
    *message = "Incompatible save version";
    return false;
  }
  g->rule_bytes[0] = in.boolean();
  g->map = in.short_string();
  g->rule_bytes[15] = false;
  size_t checks_at = in.pos;
  uint32_t header_check = static_cast<uint32_t>(in.int32());
  uint32_t body_check = static_cast<uint32_t>(in.int32());
  if (in.failed) return false;
  // The header's check value was computed with both check values zeroed.
  std::memset(header.data() + checks_at, 0, 8);
  if (~crc32(header) != header_check) {
    *message = "Header CRC error";
    return false;
  }
  if (~crc32(body) != body_check) {
    *message = "Body CRC error";
    return false;
  }
  read_settings(&in, g);
  if (in.failed) return false;
  bool a_marker = in.marker();
  if (in.failed) return false;
  if (!a_marker) {
    // "Mising" (sic) here and below: clients show these texts as they always were.
    *message = "Mising A marker";
    return false;
  }
  if (g->plr_cnt < 1 || g->plr_cnt > max_players) return false;
  for (int32_t i = 0; i < g->plr_cnt; ++i) {
    if (!read_player(&in, g->version, g->plr_cnt, &g->plrs[i])) return false;
    bool p_marker = in.marker();
    if (in.failed) return false;
    if (!p_marker) {
      *message = "Mising P" + std::to_string(i) + " marker";
      return false;
    }
  }
  return true;
}

}  // namespace

bool load_game_save(gametyp* game, std::string_view upload, std::string* message,
                    decode_fault* fault) {
  save_sections sections;
  if (!read_save_container(upload, &sections, message, fault)) return false;
  game->header_size = sections.header.size();
  game->body_size = sections.body.size();
  *message = crash_message;
  if (!sections.has_header) return false;
  if (!parse_header(sections.header, sections.body, game, message)) return false;
  message->clear();
  return true;
}

std::string color_text(const plrtyp& player) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 2; i >= 0; --i) {
    uint8_t b = player.color_bytes[i];
    text += hex[b >> 4];
    text += hex[b & 15];
  }
  return text;
}
