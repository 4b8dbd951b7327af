#include "tests/support/save_writer.h"

#include <cstring>
#include <unordered_map>

#include "lib/conv.h"

namespace {

constexpr int32_t moratorium_since = 20110214;
constexpr int32_t server_id_since = 20130122;
constexpr int32_t rule15_since = 20130423;
constexpr int32_t rule15_until = 201304169;

struct byte_writer {
  std::string out;
  void int32(int32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>(static_cast<uint32_t>(v) >> (8 * i));
  }
  void boolean(bool b) { out += static_cast<char>(b ? 1 : 0); }
  void real(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    for (int i = 0; i < 8; ++i) out += static_cast<char>(bits >> (8 * i));
  }
  void string(std::string_view s) {
    int32(static_cast<int32_t>(s.size()));
    out += s;
  }
  void marker(bool good) { out += good ? "\xDE\xAD" : "\xDE\xAE"; }
};

void write_player(byte_writer* w, const plrtyp& p, int32_t version, int32_t plr_cnt,
                  const save_recipe* first) {
  w->int32(p.ident);
  w->string(p.team_name);
  w->string(p.alt_text);
  for (int i = 0; i < 4; ++i) w->boolean(p.pflags[i]);
  w->int32(p.int_a);
  w->boolean(p.pflags[4]);
  for (bool f : p.pflags20) w->boolean(f);
  w->boolean(p.out_flag);
  w->real(p.real_a);
  for (int16_t v : p.words6) w->int32(v);
  for (uint8_t v : p.bytes12) w->int32(v);
  for (uint8_t v : p.color_bytes) w->int32(v);
  for (int32_t r = 0; r <= plr_cnt; ++r)
    for (int k = 0; k < 3; ++k)
      w->int32(static_cast<size_t>(r) < p.pair_rows.size() ? p.pair_rows[r][k] : 0);
  w->int32(p.int_b);
  w->int32(p.int_c);
  w->int32(first && first->first_int_list_count ? *first->first_int_list_count
                                                : static_cast<int32_t>(p.int_list.size()));
  for (int32_t v : p.int_list) w->int32(v);
  for (const auto& list : p.int_lists) {
    w->int32(static_cast<int32_t>(list.size()));
    for (int32_t v : list) w->int32(v);
  }
  for (const auto& t : p.triples) {
    w->int32(t.a);
    w->int32(t.b);
    w->real(t.c);
  }
  w->int32(p.named_cnt);
  for (int32_t i = 0; i < p.named_cnt; ++i) {
    bool have = static_cast<size_t>(i) < p.named.size();
    w->string(have ? p.named[i].name : "");
    w->int32(have ? p.named[i].value : 0);
  }
  for (int32_t v : p.ints8a) w->int32(v);
  for (int32_t v : p.ints8b) w->int32(v);
  if (version >= server_id_since) {
    w->int32(first && first->first_comment_count ? *first->first_comment_count
                                                 : static_cast<int32_t>(p.comments.size()));
    for (const auto& c : p.comments) {
      w->int32(c.tag);
      w->int32(c.num1);
      w->int32(c.num2);
      w->int32(c.num3);
      w->string(c.text);
    }
  }
}

int decoder_width(uint32_t last) {
  if (last >= 4093) return 9;
  if (last >= 2046) return 12;
  if (last >= 1022) return 11;
  if (last >= 510) return 10;
  return 9;
}

struct bit_writer {
  std::string out;
  uint64_t acc = 0;
  int bits = 0;
  void put(uint32_t code, int width) {
    acc = acc << width | code;
    bits += width;
    while (bits >= 8) {
      out += static_cast<char>(acc >> (bits - 8));
      bits -= 8;
    }
    acc &= (uint64_t(1) << bits) - 1;
  }
  std::string finish() {
    if (bits > 0) out += static_cast<char>(acc << (8 - bits));
    bits = 0;
    acc = 0;
    return out;
  }
};

}  // namespace

gametyp sample_game(int plr_cnt) {
  gametyp g;
  g.name = "Test game";
  g.descr = "a game for tests";
  g.map = "Test Map";
  g.uniset = "default";
  g.server_id = "game_0";
  g.save_time = 1700000000;
  g.money = 5000;
  g.resource = 2;
  g.plr_cnt = plr_cnt;
  g.rule_bytes[0] = true;
  g.rule_bytes[3] = true;
  for (int i = 0; i < plr_cnt && i < max_players; ++i) {
    plrtyp& p = g.plrs[i];
    p.ident = static_cast<int16_t>(100 + i);
    p.team_name = "Team " + std::to_string(i + 1);
    p.alt_text = "alt " + std::to_string(i);
    p.color_bytes = {static_cast<uint8_t>(0x10 + i), static_cast<uint8_t>(0x80 + i),
                     static_cast<uint8_t>(0xF0 - i)};
    p.pair_rows.assign(static_cast<size_t>(plr_cnt) + 1, {0, 0, 0});
  }
  return g;
}

save_recipe sample_save_recipe(int plr_cnt) {
  save_recipe s;
  s.game = sample_game(plr_cnt);
  return s;
}

std::string write_header_section(const save_recipe& recipe) {
  const gametyp& g = recipe.game;
  const int32_t v = recipe.version;
  byte_writer w;
  w.string(recipe.version_text.empty() ? "VER:" + std::to_string(v) : recipe.version_text);
  w.boolean(g.rule_bytes[0]);
  w.string(g.map);
  size_t checks_at = w.out.size();
  w.int32(0);
  w.int32(0);
  w.int32(g.aux_int1);
  if (v >= server_id_since) {
    w.string(g.server_id);
    w.boolean(g.aux_flag2);
    w.string(g.descr);
  }
  if (recipe.raw_name_field.empty()) {
    w.string(g.name);
  } else {
    w.out += recipe.raw_name_field;
  }
  w.int32(g.turn);
  w.int32(g.curplr);
  w.int32(g.plr_cnt);
  w.int32(g.aux_int2);
  w.int32(g.aux_int3);
  w.int32(g.save_time);
  w.string(g.uniset);
  w.int32(recipe.skipped[0]);
  w.int32(recipe.skipped[1]);
  w.int32(g.resource);
  w.int32(g.money);
  for (int i = 1; i <= 10; ++i) w.boolean(g.rule_bytes[i]);
  if (v >= moratorium_since) {
    w.int32(g.moratorium);
    w.boolean(g.aux_flag);
  }
  for (int i = 11; i <= 14; ++i) w.boolean(g.rule_bytes[i]);
  if (v >= rule15_since && v <= rule15_until) w.boolean(g.rule_bytes[15]);
  for (int32_t x : g.aux_ints) w.int32(x);
  for (int32_t x : g.aux_ints2) w.int32(x);
  if (!recipe.stop_before_a_marker) {
    w.marker(recipe.bad_marker != -1);
    for (int32_t i = 0; i < g.plr_cnt; ++i) {
      write_player(&w, g.plrs[i < max_players ? i : max_players - 1], v, g.plr_cnt,
                   i == 0 ? &recipe : nullptr);
      w.marker(recipe.bad_marker != i);
    }
  }
  if (recipe.truncate_at < w.out.size()) w.out.resize(recipe.truncate_at);
  uint32_t header_check = ~reference_crc32(w.out);
  uint32_t body_check = ~(recipe.body_crc ? *recipe.body_crc : reference_crc32(recipe.body));
  if (recipe.break_header_crc) header_check ^= 1;
  if (recipe.break_body_crc) body_check ^= 0x80000000u;
  byte_writer checks;
  checks.int32(static_cast<int32_t>(header_check));
  checks.int32(static_cast<int32_t>(body_check));
  w.out.replace(checks_at, 8, checks.out);
  return w.out;
}

container_parts container_for(std::string_view header, std::string_view body) {
  container_parts c;
  c.header_size = std::to_string(header.size());
  c.header_text = encode_base64(lzw_encode(header));
  c.body_size = std::to_string(body.size());
  c.body_text = encode_base64(lzw_encode(body));
  return c;
}

std::string join_container(const container_parts& c) {
  auto width = [](const std::string& s) { return static_cast<char>('0' + s.size()); };
  std::string header_length = std::to_string(c.header_text.size());
  std::string out = "ZTNX";
  out += c.format;
  out += width(c.header_size);
  out += width(header_length);
  out += c.header_size + header_length;
  out += std::string(static_cast<size_t>(c.header_line_feeds), '\n');
  out += c.header_text;
  out += std::string(static_cast<size_t>(c.body_line_feeds), '\n');
  out += "ZSTX";
  out += width(c.body_size);
  out += c.body_size + c.body_text;
  return out;
}

std::string write_save(const save_recipe& recipe) {
  return join_container(container_for(write_header_section(recipe), recipe.body));
}

std::string write_save(const gametyp& game, int32_t version) {
  save_recipe s;
  s.version = version;
  s.game = game;
  return write_save(s);
}

std::string lzw_encode(std::string_view data) {
  bit_writer out;
  std::unordered_map<uint32_t, uint32_t> dict;  // (prefix code << 8 | byte) -> code
  uint32_t next_code = 258;                     // the encoder's next entry
  uint32_t decoder_last = 257;                  // the decoder's last entry after our codes
  bool first_after_clear = true;
  auto emit = [&](uint32_t code) {
    out.put(code, decoder_width(decoder_last));
    if (!first_after_clear) ++decoder_last;
    first_after_clear = false;
  };
  auto clear = [&] {
    out.put(256, decoder_width(decoder_last));
    dict.clear();
    next_code = 258;
    decoder_last = 257;
    first_after_clear = true;
  };
  clear();
  if (!data.empty()) {
    uint32_t w = static_cast<uint8_t>(data[0]);
    for (size_t i = 1; i < data.size(); ++i) {
      uint8_t k = static_cast<uint8_t>(data[i]);
      auto it = dict.find(w << 8 | k);
      if (it != dict.end()) {
        w = it->second;
        continue;
      }
      emit(w);
      if (decoder_last == 4093) {
        clear();  // the decoder now reads 9 bits and expects the clear code
      } else {
        dict[w << 8 | k] = next_code++;
      }
      w = k;
    }
    emit(w);
  }
  out.put(257, decoder_width(decoder_last));
  return out.finish();
}

std::string pack_codes(const std::vector<lzw_code>& codes) {
  bit_writer out;
  for (const auto& c : codes) out.put(c.code, c.width);
  return out.finish();
}

std::string encode_base64(std::string_view data, size_t line_length) {
  const std::string text = to_base64(data);
  if (line_length == 0) return text;
  std::string broken;
  for (size_t i = 0; i < text.size(); i += line_length)
    broken += text.substr(i, line_length) + "\r\n";
  return broken;
}

uint32_t reference_crc32(std::string_view data) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : data) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}
