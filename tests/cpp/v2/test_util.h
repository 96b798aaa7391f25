#pragma once
// Helpers of the v2 edition tests.
#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace ovrix::v2::testing {

// Runs fn and checks that it throws exactly E (or a subclass) with exactly that message.
template <class E>
::testing::AssertionResult throws_with(const std::function<void()>& fn, const std::string& message) {
  try {
    fn();
  } catch (const E& e) {
    if (message == e.what()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "message was \"" << e.what() << "\", expected \"" << message << "\"";
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "another exception: " << e.what();
  }
  return ::testing::AssertionFailure() << "nothing thrown, expected \"" << message << "\"";
}

inline std::string overflow_message(unsigned long long value, unsigned width) {
  return "Attempted to write value " + std::to_string(value) + " into a " + std::to_string(width) +
         "-bit field, which will cause an overflow.";
}

inline std::string signed_message(long long value, unsigned width) {
  return std::to_string(value) + " cannot fit in a " + std::to_string(width) + "-bit signed integer";
}

}  // namespace ovrix::v2::testing
