#pragma once
// How the editions' rules report: a check starts from success and gathers every broken rule, in
// rule order, into one status named after the layer; nothing is thrown for an ordinary broken rule.
#include <string>

#include "engine/layer.h"
#include "mapping/mapping_status.h"

namespace ovrix {

// A failure for the layer with that message.
MappingStatus layer_failure(const Layer& layer, const std::string& message);

// The broken rules of one check of one layer.
class RuleFailures {
 public:
  explicit RuleFailures(const Layer& layer) : layer_(layer) {}
  // Adds a broken rule of the layer.
  void fail(const std::string& message) { status_ += layer_failure(layer_, message); }
  // Adds the failures of a check made apart.
  void add(const MappingStatus& status) { status_ += status; }
  bool passed() const { return !status_.failed; }
  const MappingStatus& status() const { return status_; }

 private:
  const Layer& layer_;
  MappingStatus status_;
};

}  // namespace ovrix
