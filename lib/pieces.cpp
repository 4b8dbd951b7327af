#include "lib/pieces.h"

void add_piece(text_pieces* reply, shared_text piece) {
  if (!piece || piece->empty()) return;
  reply->size += piece->size();
  reply->pieces.push_back(std::move(piece));
}

void add_file(text_pieces* reply, open_file file) {
  reply->size += file.size;
  reply->file = std::move(file);
}

shared_reply single_piece(std::string bytes) {
  auto reply = std::make_shared<text_pieces>();
  add_piece(reply.get(), std::make_shared<const std::string>(std::move(bytes)));
  return reply;
}

std::string joined(const text_pieces& reply) {
  std::string out;
  out.reserve(reply.size);
  for (const shared_text& piece : reply.pieces) out += *piece;
  if (reply.file.fd) out += read_open_file(reply.file);
  return out;
}
