#pragma once
// The error of the v1 CNP code: its text starts with "Backend hardware(CNP): ".
#include <stdexcept>
#include <string>

namespace ovrix::v1 {

class CnpError : public std::runtime_error {
 public:
  explicit CnpError(const std::string& message);
};

}  // namespace ovrix::v1
