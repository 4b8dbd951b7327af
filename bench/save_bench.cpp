// Save reading on a save with a 1 MiB body section: each stage of load_game_save and the whole
// of it, in bytes of output per second, beside zlib's crc32 and inflate of the same body (what a
// reader would otherwise reach for). Run: build/bench/save_bench
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "save/base64.h"
#include "save/crc32.h"
#include "save/lzw.h"
#include "save/zts_save.h"
#include "tests/support/save_writer.h"

#if __has_include(<zlib.h>)
#include <zlib.h>
#define ZTS_HAVE_ZLIB 1
#endif

namespace {

constexpr size_t body_size = 1 << 20;

// A game world stand-in: fixed-size map records with small fields and runs, compressible
// about as well as the game's own bodies (a few times), neither trivial nor random.
std::string world_body() {
  std::mt19937 rng(2024);
  std::string body;
  body.reserve(body_size);
  while (body.size() < body_size) {
    body += "\x01\x00\x00";
    body += static_cast<char>(rng() % 8);                   // terrain
    body += static_cast<char>(rng() % 3 ? 0 : rng() % 20);  // owner, mostly none
    body += static_cast<char>(rng() % 256);                 // a noisy value
    body += std::string(rng() % 6, '\0');                   // padding runs
    body += static_cast<char>('A' + rng() % 4);
  }
  body.resize(body_size);
  return body;
}

struct fixture {
  std::string body = world_body();
  std::string compressed = lzw_encode(body);
  std::string text = encode_base64(compressed, 76);
  std::string upload;
#ifdef ZTS_HAVE_ZLIB
  std::string deflated;
#endif

  fixture() {
    save_recipe s = sample_save_recipe(8);
    s.body = body;
    upload = write_save(s);
#ifdef ZTS_HAVE_ZLIB
    uLongf n = compressBound(body.size());
    deflated.resize(n);
    compress2(reinterpret_cast<Bytef*>(deflated.data()), &n,
              reinterpret_cast<const Bytef*>(body.data()), body.size(), Z_DEFAULT_COMPRESSION);
    deflated.resize(n);
#endif
  }
};

const fixture& data() {
  static const fixture f;
  return f;
}

void lzw_decode_body(benchmark::State& state) {
  const fixture& f = data();
  std::string out(f.body.size(), '\0');
  for (auto _ : state) benchmark::DoNotOptimize(lzw_decode(f.compressed, out.data(), out.size()));
  if (out != f.body) state.SkipWithError("wrong output");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
  state.counters["ratio"] = double(f.body.size()) / double(f.compressed.size());
}
BENCHMARK(lzw_decode_body)->Unit(benchmark::kMicrosecond);

// The body the submission load sends (bench/submit_load_bench.cpp): random capital letters,
// which LZW shrinks little, so decoding is many short strings, each one code.
void lzw_decode_letters(benchmark::State& state) {
  std::string body(200 * 1024, '\0');
  uint32_t x = 2463534242u;
  for (char& c : body) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>('A' + x % 26);
  }
  const std::string compressed = lzw_encode(body);
  std::string out(body.size(), '\0');
  for (auto _ : state) benchmark::DoNotOptimize(lzw_decode(compressed, out.data(), out.size()));
  if (out != body) state.SkipWithError("wrong output");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
  state.counters["ratio"] = double(body.size()) / double(compressed.size());
}
BENCHMARK(lzw_decode_letters)->Unit(benchmark::kMicrosecond);

void decode_base64_body(benchmark::State& state) {
  const fixture& f = data();
  std::string out(decoded_capacity(f.text.size()), '\0');
  size_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(n = decode_base64(f.text, out.data(), out.size()));
  if (out.substr(0, n) != f.compressed) state.SkipWithError("wrong output");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}
BENCHMARK(decode_base64_body)->Unit(benchmark::kMicrosecond);

void crc32_body(benchmark::State& state) {
  const fixture& f = data();
  for (auto _ : state) benchmark::DoNotOptimize(crc32(f.body));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.body.size()));
}
BENCHMARK(crc32_body)->Unit(benchmark::kMicrosecond);

void load_game_save_whole(benchmark::State& state) {
  const fixture& f = data();
  size_t produced = 0;
  for (auto _ : state) {
    gametyp g;
    std::string message;
    if (!load_game_save(&g, f.upload, &message)) state.SkipWithError(message.c_str());
    produced = g.header_size + g.body_size;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(produced));
}
BENCHMARK(load_game_save_whole)->Unit(benchmark::kMicrosecond);

#ifdef ZTS_HAVE_ZLIB
void zlib_crc32_body(benchmark::State& state) {
  const fixture& f = data();
  for (auto _ : state)
    benchmark::DoNotOptimize(
        ::crc32(0, reinterpret_cast<const Bytef*>(f.body.data()), uInt(f.body.size())));
  if (::crc32(0, reinterpret_cast<const Bytef*>(f.body.data()), uInt(f.body.size())) !=
      crc32(f.body))
    state.SkipWithError("CRCs differ");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.body.size()));
}
BENCHMARK(zlib_crc32_body)->Unit(benchmark::kMicrosecond);

void zlib_inflate_body(benchmark::State& state) {
  const fixture& f = data();
  std::string out(f.body.size(), '\0');
  for (auto _ : state) {
    uLongf n = out.size();
    benchmark::DoNotOptimize(uncompress(reinterpret_cast<Bytef*>(out.data()), &n,
                                        reinterpret_cast<const Bytef*>(f.deflated.data()),
                                        f.deflated.size()));
  }
  if (out != f.body) state.SkipWithError("wrong output");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
  state.counters["ratio"] = double(f.body.size()) / double(f.deflated.size());
}
BENCHMARK(zlib_inflate_body)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace

BENCHMARK_MAIN();
