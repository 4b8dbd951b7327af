// Expected failures. A request the server declines (an unknown game, a wrong turn, a bad
// argument) is a refusal: a value that carries the message its reply shows, in the reply's own
// words. A fault (a file that cannot be read or written, a record the server cannot work with)
// throws instead: io_error for I/O, std::runtime_error for anything else. docs/architecture.md,
// "Failures", has the whole rule.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

// Why a step was refused: the message its reply carries.
struct refusal {
  std::string message;
};

// What a step that may be refused gives back: its value, or a refusal.
template <class T = std::monostate>
class refusable {
 public:
  refusable(T value) : value_(std::move(value)) {}
  refusable(refusal r) : message_(std::move(r.message)) {}

  // True when the step went ahead (there is a value).
  explicit operator bool() const { return value_.has_value(); }
  // The value. REQUIRES: the step went ahead.
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  // The refusal's message; "" when the step went ahead.
  const std::string& message() const { return message_; }
  std::string take_message() { return std::move(message_); }

 private:
  std::optional<T> value_;
  std::string message_;
};

// What a step with no value to give back returns when it goes ahead: `return accepted;`.
inline constexpr std::monostate accepted{};
