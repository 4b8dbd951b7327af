// A small JSON reader for tests: the sample-save expectations and zts_inspect's output.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

struct json_value {
  enum kind_t { null_kind, bool_kind, number_kind, string_kind, array_kind, object_kind };
  kind_t kind = null_kind;
  bool boolean = false;
  double number = 0;
  std::string text;  // string_kind: UTF-8
  std::vector<json_value> items;
  std::map<std::string, json_value> fields;

  bool is_null() const { return kind == null_kind; }
  // The member `key` of an object; a null value when absent.
  const json_value& operator[](const std::string& key) const;
  const json_value& operator[](size_t i) const { return items.at(i); }
};

// Parses one JSON text (trailing blanks allowed). False with *error on malformed input.
bool parse_json(std::string_view text, json_value* out, std::string* error);
