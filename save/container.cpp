#include "save/container.h"

#include <algorithm>
#include <exception>

#include "lib/conv.h"
#include "save/base64.h"
#include "save/lzw.h"

namespace {

// Consumes the text from its front. A take of more characters than remain takes nothing and
// reports the field missing.
struct text_cursor {
  std::string_view rest;

  bool take(size_t n, std::string_view* field) {
    if (n > rest.size()) return false;
    *field = rest.substr(0, n);
    rest.remove_prefix(n);
    return true;
  }
  bool take_width(size_t* width) {
    std::string_view c;
    if (!take(1, &c)) return false;
    *width = static_cast<unsigned char>(c[0] - 48);
    return true;
  }
  bool take_number(size_t width, int32_t* value) {
    std::string_view digits;
    if (!take(width, &digits)) return false;
    *value = str_to_int(digits);
    return true;
  }
  void skip_line_feeds() {
    while (!rest.empty() && rest.front() == '\n') rest.remove_prefix(1);
  }
};

// Base64- then LZW-decodes one section of `size` bytes into *out. False when the size cannot be
// produced by the data (nothing of that size is allocated then).
bool decode_section(std::string_view text, int32_t size, std::string* out) {
  out->clear();
  if (size <= 0) return true;
  std::string compressed = decode_base64(text);
  if (static_cast<size_t>(size) > max_section_size ||
      static_cast<uint64_t>(size) > lzw_max_output(compressed.size()))
    return false;
  out->assign(static_cast<size_t>(size), '\0');
  // What a short stream did not produce reads as zeros.
  size_t produced = lzw_decode(compressed, out->data(), out->size());
  std::fill(out->begin() + static_cast<std::ptrdiff_t>(produced), out->end(), '\0');
  return true;
}

bool read_sections(std::string_view upload, save_sections* out, std::string* message,
                   decode_fault* ctx) {
  *message = "Unknown decompression error";
  text_cursor text{upload};
  std::string_view field;
  if (!text.take(4, &field) || field != "ZTNX") {
    *message = "Invalid signature";
    return false;
  }
  size_t format = 0, width_a = 0, width_b = 0;
  int32_t header_size = 0, header_text_length = 0;
  if (!text.take_width(&format) || !text.take_width(&width_a) || !text.take_width(&width_b) ||
      !text.take_number(width_a, &header_size) || !text.take_number(width_b, &header_text_length))
    return false;
  if (format != 3) return true;  // no sections; the loader refuses it

  text.skip_line_feeds();
  if (text.rest.empty()) return false;
  std::string_view header_text;
  if (!text.take(header_text_length > 0 ? static_cast<size_t>(header_text_length) : 0,
                 &header_text))
    return false;
  if (!decode_section(header_text, header_size, &out->header)) return false;
  out->has_header = header_size > 0;

  text.skip_line_feeds();
  if (!text.take(4, &field) || field != "ZSTX") return false;
  if (!text.take_width(&ctx->body_width) || !text.take_number(ctx->body_width, &ctx->body_size))
    return false;
  ctx->body_text_length = text.rest.size();
  return decode_section(text.rest, ctx->body_size, &out->body);
}

}  // namespace

std::string decode_fault_line(const decode_fault& fault) {
  // "Somethign" is the text clients' operators have always seen; keep the misspelling.
  return "Somethign failed (k=" + std::to_string(fault.body_text_length) +
         ", bodsz=" + std::to_string(fault.body_size) +
         ", szbas=" + std::to_string(fault.body_width) + ").";
}

bool read_save_container(std::string_view upload, save_sections* out, std::string* message,
                         decode_fault* fault) {
  *out = save_sections{};
  decode_fault ctx;
  bool ok = false;
  try {
    ok = read_sections(upload, out, message, &ctx);
  } catch (const std::exception&) {
    // An upload must never end the server: refuse it and tell the caller what happened.
    *out = save_sections{};
    *message = "Unknown decompression error";
    ctx.happened = true;
    if (fault) *fault = ctx;
    return false;
  }
  if (!ok) *out = save_sections{};
  return ok;
}
