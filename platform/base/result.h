// Result<T>: a value or an error that the caller must look at.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace vorlane {

// An error as the platform layer reports it: an errno-style code (0 when there is none) and
// a text for the log.
struct Error {
  int code = 0;
  std::string message;
};

// Code whose failures have a shape of their own (a component's code and text as its clients
// see them) names that shape as E; everything else carries an Error.
template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  const E& error() const {
    assert(!ok());
    return std::get<1>(state_);
  }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)), failed_(true) {}  // NOLINT: implicit by design

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const E& error() const {
    assert(failed_);
    return error_;
  }

 private:
  E error_{};
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace vorlane

// Returns the error of a failed Result (or Status) from the enclosing function, whose own Result
// takes it; goes on when it holds a value. The one way an error is passed up unchanged:
//   VORLANE_RETURN_IF_ERROR(found);  VORLANE_RETURN_IF_ERROR(Prepare(file));
#define VORLANE_RETURN_IF_ERROR(...)                                     \
  do {                                                                   \
    if (auto&& vorlane_result_ = (__VA_ARGS__); !vorlane_result_.ok()) { \
      return vorlane_result_.error();                                    \
    }                                                                    \
  } while (false)
