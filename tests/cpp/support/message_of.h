#pragma once
// The message of the exception of type E that f throws, or "no exception" when it throws none;
// another exception type leaves the test with that exception.
#include <exception>
#include <string>

namespace ovrix::test_support {

template <class E = std::exception, class F>
std::string message_of(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "no exception";
}

}  // namespace ovrix::test_support
