#include <gtest/gtest.h>

#include "support/mapping_fakes.h"

namespace {

// Breaks the reference cycles of hand-wired test layers once every test has run.
class UnwireLayers : public ::testing::Environment {
 public:
  void TearDown() override { ovrix::mapping_testing::unwire_all_layers(); }
};

[[maybe_unused]] ::testing::Environment* const unwire = ::testing::AddGlobalTestEnvironment(new UnwireLayers);

}  // namespace
