#pragma once
// Results of mapping checks: a failure names its layer and says why; a group gathers a mapping's failures.
#include <string>
#include <vector>

namespace ovrix {

class Layer;

template <class T>
class MappingStatusBase {
 public:
  MappingStatusBase() = default;
  MappingStatusBase(bool failed, std::string message) : failed(failed), message(std::move(message)) {}
  virtual ~MappingStatusBase() = default;

  virtual T& operator+=(const T& other) = 0;
  virtual std::string to_string() const = 0;

  static T success() { return T(); }
  // Throws std::runtime_error with to_string().
  [[noreturn]] void throw_exception() const;

  bool failed = false;
  std::string message = "Success.";
};

class MappingStatus : public MappingStatusBase<MappingStatus> {
 public:
  MappingStatus() = default;
  MappingStatus(std::string layer_name, std::string message)
      : MappingStatusBase(true, std::move(message)), layer_name(std::move(layer_name)) {}

  // "Not enough hardware components of type {} available. {} {} needed but {} {} available."
  static MappingStatus component_error(const Layer& layer, const std::string& type_name, unsigned long needed,
                                       unsigned long available);

  MappingStatus& operator+=(const MappingStatus& other) override;
  std::string to_string() const override;
  bool operator==(const MappingStatus& other) const {
    return failed == other.failed && message == other.message && layer_name == other.layer_name;
  }

  std::string layer_name;
};

class MappingStatusGroup : public MappingStatusBase<MappingStatusGroup> {
 public:
  MappingStatusGroup() = default;

  MappingStatusGroup& operator+=(const MappingStatusGroup& other) override;
  std::string to_string() const override;
  // Adds a failure unless an equal one is already there.
  void add_status(const MappingStatus& status);

  std::vector<MappingStatus> statuses;
};

}  // namespace ovrix
