// The game-client side of bench/ops_bench.sh, against the real binary: what wrk cannot do,
// because every upload must carry its game's id and the turn and player that come next.
// Built by the bench glob, but a program of its own (its own main, no Google Benchmark cases).
//
//   submit_load_bench create --port 80 --count 1000 [--save-bytes 300]
//     Creates `count` games one after another (op=8), every second one with a Cyrillic name.
//   submit_load_bench submit --port 80 --clients 64 --seconds 15 --first-id 1001
//     Each client first creates a two-player game of its own (ids first-id, first-id + 1, ...),
//     then submits moves to it (op=27), a new connection for each, until the time is up.
//     Prints submissions/s, p50/p99 latency and errors, then checks that op=28 of every game
//     hands back exactly the last accepted upload.
//
// Every save is about --save-bytes long (default 200 KB): an incompressible body shared by all
// uploads and a header that names the game, turn and player. Clients are spread over source
// addresses 127.0.0.2, 127.0.0.3, ... (16 clients each), below the per-address limit.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/game_client.h"
#include "tests/support/save_writer.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct options {
  std::string mode;
  uint16_t port = 80;
  int count = 1000;
  int clients = 1;
  int seconds = 10;
  int first_id = 0;
  size_t save_bytes = 200 * 1024;
};

const std::string created_reply = "ZTXS\n00\nOK\n";
const std::string moved_reply = "ZTXS\n00\nOk\n";

// The body section every upload shares, and its encoded form.
struct shared_body {
  std::string raw;
  std::string encoded;
  uint32_t crc = 0;
};

std::string noise(size_t n) {
  std::string out(n, '\0');
  uint32_t x = 2463534242u;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>('A' + x % 26);  // no zero bytes, no form boundary, no CR LF CR LF
  }
  return out;
}

// A body that makes a whole upload about `save_bytes` long.
shared_body make_body(size_t save_bytes) {
  const size_t probe = 50000;
  const size_t probe_size = encode_base64(lzw_encode(noise(probe))).size();
  shared_body b;
  b.raw = noise(save_bytes > 2000 ? (save_bytes - 1500) * probe / probe_size : 16);
  b.encoded = encode_base64(lzw_encode(b.raw));
  b.crc = reference_crc32(b.raw);
  return b;
}

// The upload of move `k` of a two-player game `id` (turn k/2, player k%2), with `body`.
std::string move_save(const shared_body& body, int id, int k, const std::string& name) {
  save_recipe s = sample_save_recipe(2);
  s.game.name = name;
  s.game.server_id = "game_" + std::to_string(id);
  s.game.turn = k / 2;
  s.game.curplr = k % 2;
  // Saved now: a game whose newest save is old is finished or archived by the refresh pass
  // that runs a second after start, which would change what the lists show mid-run.
  s.game.save_time = static_cast<int32_t>(std::time(nullptr));
  s.body_crc = body.crc;  // all the header needs of the body
  container_parts parts;
  const std::string header = write_header_section(s);
  parts.header_size = std::to_string(header.size());
  parts.header_text = encode_base64(lzw_encode(header));
  parts.body_size = std::to_string(body.raw.size());
  // The body's text ends the container: appended once, so that the client's own copying of
  // 200 KB saves takes as little of the machine it shares with the server as it can.
  const std::string head = join_container(parts);
  std::string save;
  save.reserve(head.size() + body.encoded.size());
  save += head;
  save += body.encoded;
  return save;
}

client_options client_for(int index) {
  client_options o;
  o.source_ip = "127.0.0." + std::to_string(2 + index / 16);
  o.timeout_ms = 60000;
  return o;
}

int create_games(const options& opt) {
  const shared_body body = make_body(opt.save_bytes);
  const auto start = clock_type::now();
  int errors = 0;
  for (int i = 0; i < opt.count; ++i) {
    // Half the names in Windows-1251 Cyrillic ("Игра N"), so the JSONP list converts them.
    std::string name = (i % 2 ? "\xC8\xE3\xF0\xE0 " : "Game ") + std::to_string(i);
    if (post_save(opt.port, 8, move_save(body, 0, 0, name)).body != created_reply) ++errors;
  }
  const double s = std::chrono::duration<double>(clock_type::now() - start).count();
  std::printf("created %d games in %.1f s (%.0f/s), errors %d, upload %zu bytes\n", opt.count, s,
              opt.count / s, errors, move_save(body, 0, 0, "Game 0").size());
  return errors == 0 ? 0 : 1;
}

struct client_result {
  std::vector<double> latencies_ms;
  int errors = 0;
  int accepted = 0;  // moves accepted, so the next one is move `accepted`
  std::string last_upload;
};

int submit_load(const options& opt) {
  const shared_body body = make_body(opt.save_bytes);
  std::vector<client_result> results(opt.clients);
  for (int c = 0; c < opt.clients; ++c) {
    std::string first = move_save(body, 0, 0, "Load " + std::to_string(c));
    if (post_save(opt.port, 8, first, client_for(c)).body != created_reply) {
      std::fprintf(stderr, "creating the game of client %d failed\n", c);
      return 1;
    }
    results[c].last_upload = first;
  }
  std::printf("upload %zu bytes, %d clients, %d s\n", results[0].last_upload.size(), opt.clients,
              opt.seconds);

  std::atomic<bool> go{false};
  const auto deadline_after = std::chrono::seconds(opt.seconds);
  std::vector<std::thread> threads;
  clock_type::time_point start;
  for (int c = 0; c < opt.clients; ++c) {
    threads.emplace_back([&, c] {
      while (!go.load()) std::this_thread::yield();
      client_result& r = results[c];
      const client_options where = client_for(c);
      const int id = opt.first_id + c;
      while (clock_type::now() - start < deadline_after) {
        std::string save = move_save(body, id, r.accepted, "Load " + std::to_string(c));
        const auto t0 = clock_type::now();
        http_reply reply = post_save(opt.port, 27, save, where);
        r.latencies_ms.push_back(
            std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
        if (reply.body == moved_reply) {
          ++r.accepted;
          r.last_upload = std::move(save);
        } else {
          ++r.errors;
        }
      }
    });
  }
  start = clock_type::now();
  go = true;
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();

  std::vector<double> all;
  int accepted = 0, errors = 0, mismatched = 0;
  for (int c = 0; c < opt.clients; ++c) {
    const client_result& r = results[c];
    all.insert(all.end(), r.latencies_ms.begin(), r.latencies_ms.end());
    accepted += r.accepted;
    errors += r.errors;
    const std::string query = "?op=28&fn=game_" + std::to_string(opt.first_id + c);
    if (game_get(opt.port, query, client_for(c)).body != r.last_upload) ++mismatched;
  }
  std::sort(all.begin(), all.end());
  auto pct = [&](double p) { return all.empty() ? 0.0 : all[(all.size() - 1) * p / 100]; };
  std::printf(
      "submissions/s %.1f (accepted %d in %.1f s), p50 %.1f ms, p99 %.1f ms, "
      "errors %d, newest turn differing %d\n",
      accepted / elapsed, accepted, elapsed, pct(50), pct(99), errors, mismatched);
  return errors == 0 && mismatched == 0 ? 0 : 1;
}

bool parse(int argc, char** argv, options* opt) {
  if (argc < 2) return false;
  opt->mode = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* v = argv[i + 1];
    if (key == "--port") {
      opt->port = static_cast<uint16_t>(std::atoi(v));
    } else if (key == "--count") {
      opt->count = std::atoi(v);
    } else if (key == "--clients") {
      opt->clients = std::atoi(v);
    } else if (key == "--seconds") {
      opt->seconds = std::atoi(v);
    } else if (key == "--first-id") {
      opt->first_id = std::atoi(v);
    } else if (key == "--save-bytes") {
      opt->save_bytes = static_cast<size_t>(std::atol(v));
    } else {
      return false;
    }
  }
  return opt->mode == "create" || opt->mode == "submit";
}

}  // namespace

int main(int argc, char** argv) {
  options opt;
  if (!parse(argc, argv, &opt)) {
    std::fprintf(stderr,
                 "usage: %s create|submit [--port P] [--count N] [--clients C] [--seconds S]"
                 " [--first-id K] [--save-bytes B]\n",
                 argv[0]);
    return 2;
  }
  return opt.mode == "create" ? create_games(opt) : submit_load(opt);
}
