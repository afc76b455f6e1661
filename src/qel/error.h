// Error types thrown by the native core.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

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

// f(), with an error of type From that it throws reported as To(prefix + its
// text): the one way an operation names the stage that failed ("snappy: ",
// "codec: "). The binding puts the operation's own prefix before the result.
template <class To, class From = Error, class F>
decltype(auto) with_prefix(const char* prefix, F&& f) {
  try {
    return std::forward<F>(f)();
  } catch (const From& e) {
    throw To(prefix + std::string(e.what()));
  }
}

}  // namespace qel
