#pragma once
// A software sequence of one pass holding the given layers, as the mapping leaves them.
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/sequence.h"

namespace ovrix::test_support {

class SoftwareSequence : public Sequence {
 public:
  explicit SoftwareSequence(std::vector<std::shared_ptr<Layer>> layers) {
    auto pass = std::make_shared<Sequence::Pass>();
    pass->layers = std::move(layers);
    passes_.push_back(pass);
  }
  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Software; }
  std::span<const uint8_t> program() const override { return {}; }
  ProgramParts program_parts() const override { return {}; }
  std::string name() const override { return "software"; }

 private:
  std::vector<std::shared_ptr<Pass>> passes_;
};

}  // namespace ovrix::test_support
