// Result<T>: a T, or the DbError that says why there is none. Status is Result<void>.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "error.h"

namespace quarn {

// A category error (FormatError, ...) or alternative that is not also a T.
template <class E, class T>
concept ErrorFor = std::is_constructible_v<DbError, E> && !std::is_constructible_v<T, E> &&
                   !std::same_as<std::remove_cvref_t<E>, DbError>;

template <class T>
class [[nodiscard]] Result {
 public:
  // Implicit: `return value;` and `return error;` both work.
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(DbError error) : state_(std::in_place_index<1>, std::move(error)) {}
  // Else `return FormatError{...};` would need two conversions.
  template <ErrorFor<T> E>
  Result(E&& error) : Result(DbError(std::forward<E>(error))) {}

  bool ok() const { return state_.index() == 0; }
  // REQUIRES: ok(); otherwise an InternalFault aborts the call.
  T& value() & {
    check();
    return std::get<0>(state_);
  }
  const T& value() const& {
    check();
    return std::get<0>(state_);
  }
  T&& value() && {
    check();
    return std::get<0>(std::move(state_));
  }
  // REQUIRES: !ok().
  const DbError& error() const& { return std::get<1>(state_); }
  DbError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  void check() const {
    if (state_.index() != 0) throw InternalFault("internal: value() of " + error().render());
  }
  std::variant<T, DbError> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(DbError error) : error_(std::move(error)) {}
  template <class E>
  requires std::is_constructible_v<DbError, E> &&
      (!std::same_as<std::remove_cvref_t<E>, DbError>)Result(E&& error)
      : error_(DbError(std::forward<E>(error))) {}

  bool ok() const { return !error_.has_value(); }
  // REQUIRES: ok(); otherwise an InternalFault aborts the call.
  void value() const {
    if (error_) throw InternalFault("internal: value() of " + error_->render());
  }
  // REQUIRES: !ok().
  const DbError& error() const& { return *error_; }
  DbError&& error() && { return std::move(*error_); }

 private:
  std::optional<DbError> error_;
};

using Status = Result<void>;

inline Status ok_status() { return Status(); }

// Drops a failed status on purpose; `why` documents the decision at the call site.
inline void ignore_error(const Status& status, const char* why) {
  (void)status;
  (void)why;
}

}  // namespace quarn

// Returns a failed Status or Result's error to the caller.
#define QUARN_TRY(expr)                   \
  do {                                    \
    auto quarn_r_ = (expr);               \
    if (!quarn_r_.ok()) {                 \
      return std::move(quarn_r_).error(); \
    }                                     \
  } while (false)

#define QUARN_CONCAT_INNER_(a, b) a##b
#define QUARN_CONCAT_(a, b) QUARN_CONCAT_INNER_(a, b)

// QUARN_ASSIGN_OR_RETURN(const FileHeader h, decode_header(image));
// Several statements: never the body of an unbraced `if`.
#define QUARN_ASSIGN_OR_RETURN(lhs, expr) QUARN_AOR_(QUARN_CONCAT_(quarn_r, __LINE__), lhs, expr)
#define QUARN_AOR_(tmp, lhs, expr) \
  auto tmp = (expr);               \
  if (!tmp.ok()) {                 \
    return std::move(tmp).error(); \
  }                                \
  lhs = std::move(tmp).value()
