// Error types thrown by the native core.
#pragma once

#include <stdexcept>
#include <string>

namespace qel {

// A failure of an operation on its input: malformed bytes, a codec or Snappy
// error, a missing prerequisite. Carries the exact text shown to callers after
// the operation's prefix.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A violated internal invariant. Never caused by well-formed use; surfaces in
// Python as an exception outside the Exception hierarchy.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace qel
