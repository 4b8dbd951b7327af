// The game client's side of the protocol, for tests and load clients: saves uploaded as a form
// POST to /gameserver_v2.php, queries as GETs, and the game directories read back whole.
//
//   http_reply r = post_save(port, 27, write_save(recipe));
//   EXPECT_EQ(r.body, "ZTXS\n00\nOk\n");
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "tests/support/http_client.h"

// The complete request that uploads `save` to `target` as a form file field.
std::string upload_request(std::string_view target, std::string_view save);

// POST of `save` to /gameserver_v2.php?op=<op>.
http_reply post_save(uint16_t port, int op, std::string_view save,
                     const client_options& options = {});

// GET /gameserver_v2.php<query>, e.g. game_get(port, "?op=28&fn=game_0").
http_reply game_get(uint16_t port, std::string_view query, const client_options& options = {});

// Every regular file under `dir`, by its path relative to `dir`, with its bytes (empty when
// `dir` does not exist), spares and the running server's lock file (db/dir_lock.h) left out.
// Compares whole game trees before and after a request.
std::map<std::string, std::string> read_tree(const std::string& dir);
