// What a game operation hands back, and the one place it becomes bytes on the wire.
//
// An operation takes the locks it needs and only builds its result; the connection thread frames
// it (and writes a refusal's "LOG-ERR" line) with finish_op, holding no lock.
#pragma once

#include <cstdint>
#include <string>

#include "lib/pieces.h"

struct op_result {
  enum class kind {
    refusal,    // body: one "ZTXS ..." line, logged as "LOG-ERR", sent as a UTF-8 page
    page_utf8,  // body sent as text/html; charset=utf-8
    page,       // body sent as text/html without a charset (Windows-1251 lists)
    download,   // file: a stored file, announced as file_name
    kept,       // reply: a complete reply kept in memory and shared (the lists)
  };
  kind type = kind::refusal;
  std::string body;
  std::string file_name;  // download only
  open_file file;         // download only
  shared_reply reply;     // kept only
};

op_result op_refusal(std::string line);
op_result op_page_utf8(std::string body);
op_result op_page(std::string body);
op_result op_download(std::string file_name, open_file file);
op_result op_kept(shared_reply reply);

// Writes the "LOG-ERR" line of a refusal, then returns the complete "200 OK" HTTP reply (a kept
// one as it is, shared, not copied). Never null.
shared_reply finish_op(const op_result& result);

// The same reply as a string of its own (a kept one copied); for building replies to keep.
std::string frame_op(const op_result& result);

// Names the game the request served on this thread concerns (-1: none yet), for the cause line
// of the crash guard (run_guarded, ops/zt_server.h). Called where an operation resolves an id.
void note_request_game(int32_t id);
int32_t noted_request_game();
