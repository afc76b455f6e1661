// Test helper: the message of the exception a call throws.
#pragma once

#include <string>

namespace qel::test_support {

// The what() of the E that fn throws, or "no error". Any other exception
// propagates and fails the test.
template <class E, class Fn>
std::string error_text(Fn&& fn) {
  try {
    fn();
  } catch (const E& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace qel::test_support
