#include "tests/support/json_reader.h"

#include <cstdlib>

namespace {

struct json_parser {
  std::string_view s;
  size_t i = 0;
  std::string error;

  void skip_blanks() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t')) ++i;
  }
  bool fail(const std::string& what) {
    if (error.empty()) error = what + " at " + std::to_string(i);
    return false;
  }
  bool literal(std::string_view word) {
    if (s.substr(i, word.size()) != word) return fail("bad literal");
    i += word.size();
    return true;
  }
  static void put_utf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
      *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out += static_cast<char>(0xC0 | cp >> 6);
      *out += static_cast<char>(0x80 | (cp & 63));
    } else if (cp < 0x10000) {
      *out += static_cast<char>(0xE0 | cp >> 12);
      *out += static_cast<char>(0x80 | ((cp >> 6) & 63));
      *out += static_cast<char>(0x80 | (cp & 63));
    } else {
      *out += static_cast<char>(0xF0 | cp >> 18);
      *out += static_cast<char>(0x80 | ((cp >> 12) & 63));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 63));
      *out += static_cast<char>(0x80 | (cp & 63));
    }
  }
  bool hex4(uint32_t* cp) {
    if (i + 4 > s.size()) return fail("short \\u");
    *cp = static_cast<uint32_t>(std::strtoul(std::string(s.substr(i, 4)).c_str(), nullptr, 16));
    i += 4;
    return true;
  }
  bool string(std::string* out) {
    ++i;  // opening quote
    while (i < s.size() && s[i] != '"') {
      char c = s[i++];
      if (static_cast<unsigned char>(c) < 0x20) return fail("control character in string");
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (i >= s.size()) return fail("bad escape");
      char e = s[i++];
      switch (e) {
        case '"':
          *out += '"';
          break;
        case '\\':
          *out += '\\';
          break;
        case '/':
          *out += '/';
          break;
        case 'b':
          *out += '\b';
          break;
        case 'f':
          *out += '\f';
          break;
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'u': {
          uint32_t cp;
          if (!hex4(&cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00 && s.substr(i, 2) == "\\u") {
            i += 2;
            uint32_t low;
            if (!hex4(&low)) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          put_utf8(cp, out);
          break;
        }
        default:
          return fail("bad escape");
      }
    }
    if (i >= s.size()) return fail("unterminated string");
    ++i;
    return true;
  }
  bool value(json_value* v) {
    skip_blanks();
    if (i >= s.size()) return fail("unexpected end");
    char c = s[i];
    if (c == 'n') return literal("null");
    if (c == 't') {
      v->kind = json_value::bool_kind;
      v->boolean = true;
      return literal("true");
    }
    if (c == 'f') {
      v->kind = json_value::bool_kind;
      return literal("false");
    }
    if (c == '"') {
      v->kind = json_value::string_kind;
      return string(&v->text);
    }
    if (c == '[') {
      v->kind = json_value::array_kind;
      ++i;
      skip_blanks();
      if (i < s.size() && s[i] == ']') return ++i, true;
      for (;;) {
        v->items.emplace_back();
        if (!value(&v->items.back())) return false;
        skip_blanks();
        if (i < s.size() && s[i] == ',') {
          ++i;
          continue;
        }
        if (i < s.size() && s[i] == ']') return ++i, true;
        return fail("expected , or ]");
      }
    }
    if (c == '{') {
      v->kind = json_value::object_kind;
      ++i;
      skip_blanks();
      if (i < s.size() && s[i] == '}') return ++i, true;
      for (;;) {
        skip_blanks();
        std::string key;
        if (i >= s.size() || s[i] != '"' || !string(&key)) return fail("expected key");
        skip_blanks();
        if (i >= s.size() || s[i++] != ':') return fail("expected :");
        if (!value(&v->fields[key])) return false;
        skip_blanks();
        if (i < s.size() && s[i] == ',') {
          ++i;
          continue;
        }
        if (i < s.size() && s[i] == '}') return ++i, true;
        return fail("expected , or }");
      }
    }
    const char* start = s.data() + i;
    std::string num;
    while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '-' ||
                            s[i] == '+' || s[i] == '.' || s[i] == 'e' || s[i] == 'E'))
      num += s[i++];
    if (num.empty()) return fail(std::string("unexpected character ") + *start);
    v->kind = json_value::number_kind;
    v->number = std::strtod(num.c_str(), nullptr);
    return true;
  }
};

}  // namespace

const json_value& json_value::operator[](const std::string& key) const {
  static const json_value none;
  auto it = fields.find(key);
  return it == fields.end() ? none : it->second;
}

bool parse_json(std::string_view text, json_value* out, std::string* error) {
  json_parser p;
  p.s = text;
  *out = json_value{};
  bool ok = p.value(out);
  p.skip_blanks();
  if (ok && p.i != text.size()) ok = p.fail("trailing characters");
  if (!ok) *error = p.error;
  return ok;
}
