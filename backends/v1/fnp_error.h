#pragma once
// The error of the v1 FNP code: its text starts with "Backend hardware(FullyConnected): ".
#include <stdexcept>
#include <string>

namespace ovrix::v1 {

class FnpError : public std::runtime_error {
 public:
  explicit FnpError(const std::string& message);
};

}  // namespace ovrix::v1
