#include <gtest/gtest.h>

#include "support/driver_fakes.h"

namespace {

// Breaks the reference cycles of the hand-wired test layers once every test has run.
class UnwireDriverLayers : public ::testing::Environment {
 public:
  void TearDown() override { ovrix::driver_test::unwire_made_layers(); }
};

[[maybe_unused]] ::testing::Environment* const unwire = ::testing::AddGlobalTestEnvironment(new UnwireDriverLayers);

}  // namespace
