#include "api/list_query.h"

#include <algorithm>

#include "lib/conv.h"
#include "net/query.h"

namespace {

// Longest number read: ids and limits stay well below a billion.
constexpr size_t max_number_digits = 9;

bool read_number(std::string_view text, int32_t* out) {
  if (text.empty() || text.size() > max_number_digits ||
      !std::all_of(text.begin(), text.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
    return false;
  }
  *out = str_to_int(text);
  return true;
}

int hex_digit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Form decoding: "+" is a blank, "%XY" a byte; a "%" not followed by two hex digits stays.
std::string percent_decode(std::string_view in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '+') {
      out += ' ';
    } else if (in[i] == '%' && i + 2 < in.size() && hex_digit(in[i + 1]) >= 0 &&
               hex_digit(in[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(in[i + 1]) * 16 + hex_digit(in[i + 2]));
      i += 2;
    } else {
      out += in[i];
    }
  }
  return out;
}

}  // namespace

bool parse_list_query(std::string_view target, list_query* out, std::string* error) {
  *out = list_query{};
  const size_t mark = target.find('?');
  if (mark == std::string_view::npos) return true;
  const aget_rec pairs = parse_query(target.substr(mark + 1));
  if (const std::string* status = find_query(pairs, "status")) {
    out->any = true;
    if (*status == "open") {
      out->status_from = 0, out->status_to = 1;
    } else if (*status == "finished") {
      out->status_from = out->status_to = 2;
    } else if (*status == "archived") {
      out->status_from = out->status_to = 3;
    } else {
      *error = "status must be open, finished or archived";
      return false;
    }
  }
  if (const std::string* q = find_query(pairs, "q")) {
    out->any = true;
    out->name_part = fold_case(percent_decode(*q));
  }
  if (const std::string* limit = find_query(pairs, "limit")) {
    out->any = true;
    int32_t n = 0;
    if (!read_number(*limit, &n) || n < 1 || n > max_list_limit) {
      *error = "limit must be a number from 1 to " + int_to_str(max_list_limit);
      return false;
    }
    out->limit = n;
  }
  if (const std::string* after = find_query(pairs, "after")) {
    out->any = true;
    if (!read_number(*after, &out->after)) {
      *error = "after must be a game id";
      return false;
    }
  }
  return true;
}

std::string fold_case(std::string_view utf8) {
  std::string out(utf8);
  for (size_t i = 0; i < out.size(); ++i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(out[k]); };
    if (byte(i) >= 'A' && byte(i) <= 'Z') {
      out[i] = static_cast<char>(byte(i) + 32);
    } else if (byte(i) == '_') {
      out[i] = ' ';
    } else if (byte(i) == 0xD0 && i + 1 < out.size()) {
      const unsigned char next = byte(i + 1);
      if (next >= 0x90 && next <= 0x9F) {  // А-П -> а-п
        out[i + 1] = static_cast<char>(next + 0x20);
      } else if (next >= 0xA0 && next <= 0xAF) {  // Р-Я -> р-я
        out[i] = static_cast<char>(0xD1);
        out[i + 1] = static_cast<char>(next - 0x20);
      } else if (next == 0x81) {  // Ё -> ё
        out[i] = static_cast<char>(0xD1);
        out[i + 1] = static_cast<char>(0x91);
      }
      ++i;
    }
  }
  return out;
}

bool list_query_matches(const list_query& q, int32_t status, std::string_view folded_name) {
  return status >= q.status_from && status <= q.status_to &&
         folded_name.find(q.name_part) != std::string_view::npos;
}
