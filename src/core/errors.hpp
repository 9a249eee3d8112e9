// The failures the numerical core reports. Each says what happened; the binding layer alone decides the
// exception type and text a Python caller sees.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace quorlix {

// Invalid input found before any work is done; the message is meant for the caller as it stands.
class ValidationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What broke inside a computation.
enum class Failure {
  kNaN,                 // a NaN where an order is needed: in an input, or reaching a comparison
  kNoNeighbours,        // a neighbour query for no neighbours, or put to an empty tree
  kOutOfDomain,         // a distribution evaluated outside its domain (a NaN or out-of-range argument)
  kTooManyPoints,       // more points than a tree can index
  kPoolAlreadyStarted,  // the worker pool was started a second time
  kPoolStartFailed,     // a worker thread could not be started; the detail is the system's error
  kPoolLostToFork,      // the process forked while a job ran on the workers, which the child does not have
};

// A broken invariant inside the computation, of a known kind. what() describes it for a developer.
class InternalFailure : public std::runtime_error {
 public:
  explicit InternalFailure(Failure failure, std::string detail = {})
      : std::runtime_error(describe(failure, detail)), failure_(failure), detail_(std::move(detail)) {}

  Failure failure() const { return failure_; }
  const std::string& detail() const { return detail_; }

 private:
  static std::string describe(Failure failure, const std::string& detail) {
    switch (failure) {
      case Failure::kNaN:
        return "NaN where an order is needed";
      case Failure::kNoNeighbours:
        return "neighbour query for no neighbours";
      case Failure::kOutOfDomain:
        return "distribution evaluated outside its domain";
      case Failure::kTooManyPoints:
        return "more points than a tree can index";
      case Failure::kPoolAlreadyStarted:
        return "worker pool already started";
      case Failure::kPoolStartFailed:
        return "worker thread could not start: " + detail;
      case Failure::kPoolLostToFork:
        return "worker pool lost to fork() while a job was running";
    }
    return "internal failure";
  }

  Failure failure_;
  std::string detail_;
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

}  // namespace quorlix
