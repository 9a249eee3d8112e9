// The two failure kinds the numerical core reports; the binding layer turns them into Python exceptions.
#pragma once

#include <stdexcept>
#include <string>

namespace quorlix {

// Invalid input detected before any work is done; surfaces as ValueError.
class ValidationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A broken invariant inside the computation; surfaces as PanicException.
class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The calling thread was asked to stop (a pending signal) while it waited for the workers.
// The binding layer leaves the already-raised Python exception in place.
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("interrupted") {}
};

// A Ctrl-C noticed, but not yet handled, while the call read its caller's arrays: no Python code has run.
// The binding layer runs the signal handlers once nothing reads those arrays any more.
class InterruptNoted : public Interrupted {};

// Message of a failed optional unwrap: NaN reaching a comparison, an empty query, and the like.
inline constexpr const char* kUnwrapNoneMessage = "called `Option::unwrap()` on a `None` value";

// Prefix of a failed result unwrap; the error's name follows.
inline constexpr const char* kUnwrapErrPrefix = "called `Result::unwrap()` on an `Err` value: ";

}  // namespace quorlix
