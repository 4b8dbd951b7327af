// Replies held as pieces: bytes shared between replies and never changed once built, sent one
// after another with gathered writes (net/socket.h). A list of thousands of games is kept as
// pieces of a few dozen games each, so a change to one game rebuilds one piece, and a reply
// still being sent holds pointers to pieces, not a copy of the list.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "lib/file_io.h"

// Bytes shared by every reply that sends them.
using shared_text = std::shared_ptr<const std::string>;

// A reply: its pieces in order (none null), then a stored file sent whole from the kernel's
// cache (a download), and their total size.
struct text_pieces {
  std::vector<shared_text> pieces;
  open_file file;
  size_t size = 0;
};
using shared_reply = std::shared_ptr<const text_pieces>;

// Appends `piece` unless it is null or empty.
void add_piece(text_pieces* reply, shared_text piece);

// Sets `file` as the stored file sent after the pieces.
void add_file(text_pieces* reply, open_file file);

// A reply of one piece holding `bytes`.
shared_reply single_piece(std::string bytes);

// Every piece of `reply` and its file in one string. Throws io_error when the file cannot be
// read whole.
std::string joined(const text_pieces& reply);
