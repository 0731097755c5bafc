// Error values shared by the whole updater. A failure is a kind plus detail (errno for Io, a
// static reason otherwise); it is never turned into text for a caller.
#pragma once

#include <expected>
#include <source_location>
#include <utility>

namespace pellark {

enum class ErrorKind {
  Io,              // an operating-system call failed; `code` holds errno
  Zip,             // the archive could not be read
  InvalidPackage,  // a manifest or package lacks what it must hold
  NotInstalled,    // no complete installation was found
  Semver,          // a version text is not SemVer 2.0.0
  Failure,         // any other refusal of the updater interface; see `reason`
};

struct [[nodiscard]] Error {
  ErrorKind kind;
  int code = 0;             // errno, for Io only
  const char* reason = "";  // static text for tests and debugging, never shown

  static Error io(int err, const char* why = "") { return {ErrorKind::Io, err, why}; }
  static Error zip(const char* why = "") { return {ErrorKind::Zip, 0, why}; }
  static Error invalid_package(const char* why = "") { return {ErrorKind::InvalidPackage, 0, why}; }
  static Error not_installed(const char* why = "") { return {ErrorKind::NotInstalled, 0, why}; }
  static Error semver(const char* why = "") { return {ErrorKind::Semver, 0, why}; }
  static Error failure(const char* why) { return {ErrorKind::Failure, 0, why}; }
};

// std::expected with [[nodiscard]]: a result cannot be dropped without a (void) cast.
template <class T>
class [[nodiscard]] Result : public std::expected<T, Error> {
 public:
  using std::expected<T, Error>::expected;
  Result(Error e) : std::expected<T, Error>(std::unexpected(e)) {}  // NOLINT: implicit by design
};

using Status = Result<void>;

inline Status ok() {
  return {};
}

// Propagation: `PELLARK_TRY(expr)` returns the error of a failed Status/Result from the enclosing
// function; `PELLARK_TRY_ASSIGN(var, expr)` declares `var` from a successful Result. Both
// evaluate `expr` once. Do not use them inside lambdas whose return type differs.
#define PELLARK_CONCAT_INNER(a, b) a##b
#define PELLARK_CONCAT(a, b) PELLARK_CONCAT_INNER(a, b)
#define PELLARK_TRY(expr)                                         \
  do {                                                            \
    auto&& pellark_try_result_ = (expr);                          \
    if (!pellark_try_result_) return pellark_try_result_.error(); \
  } while (0)
#define PELLARK_TRY_ASSIGN(var, expr)                      \
  auto PELLARK_CONCAT(pellark_try_, __LINE__) = (expr);    \
  if (!PELLARK_CONCAT(pellark_try_, __LINE__))             \
    return PELLARK_CONCAT(pellark_try_, __LINE__).error(); \
  var = std::move(*PELLARK_CONCAT(pellark_try_, __LINE__))

// An internal invariant breach: thrown here, caught by the fault barrier of each exported
// function, which writes one diagnostic line naming `where` and `what` to standard error.
struct InternalFault {
  const char* what;
  std::source_location where;
};

[[noreturn]] inline void internal_fault(
    const char* what, std::source_location where = std::source_location::current()) {
  throw InternalFault{what, where};
}

}  // namespace pellark
