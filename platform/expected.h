// A value or the error that kept it from being made, in one return value
// instead of a result code plus an out-parameter. The error type is one of
// the result codes (Win32Error, HResult); its zero is never an error.
#pragma once

#include <cassert>
#include <optional>
#include <utility>

namespace wl {

// The failure side, spelled at the return: `return Unexpected(code);`.
template <typename Error>
struct Unexpected {
  explicit Unexpected(Error code) : error(code) {}
  Error error;
};

template <typename T, typename Error>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  template <typename Code>
  Expected(Unexpected<Code> failure) : error_(Error(failure.error)) {  // NOLINT(google-explicit-constructor)
    assert(error_ != Error{});
  }

  [[nodiscard]] bool HasValue() const { return value_.has_value(); }
  explicit operator bool() const { return HasValue(); }

  // The value; only when HasValue().
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }

  // The value, or `fallback` after a failure.
  [[nodiscard]] T ValueOr(T fallback) const& { return value_ ? *value_ : std::move(fallback); }

  // The error; the success code (zero) when there is a value.
  [[nodiscard]] Error ErrorCode() const { return error_; }

 private:
  std::optional<T> value_;
  Error error_{};
};

}  // namespace wl
