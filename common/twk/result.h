// Result<T>: the value of an operation, or the reason text saying why there
// is none. The hook's operations hand reasons upward unchanged; nothing below
// the entry point throws or prints.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace twk {

// The failure side of a Result: a short English sentence without a final
// full stop, such as "no Core binary was found".
struct Failure {
  std::string reason;
};

template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}         // NOLINT: implicit
  Result(Failure failure) : v_(std::move(failure)) {}  // NOLINT: implicit

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Only valid when ok().
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }

  // Only valid when !ok().
  const std::string& reason() const { return std::get<1>(v_).reason; }

 private:
  std::variant<T, Failure> v_;
};

// The outcome of an operation without a value: Ok{}, or the reason.
struct Ok {};
using Status = Result<Ok>;

}  // namespace twk
