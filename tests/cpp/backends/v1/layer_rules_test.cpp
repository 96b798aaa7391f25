// The v1 layer rules, case by case from tests/data/v1/layer_rules.txt: every message, its gathering
// order and its hardware-version variants.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/v1/compatibility_checker.h"
#include "support/v1_table.h"
#include "support/v1_layers.h"

namespace ovrix::v1 {
namespace {

using namespace testing;

class V1LayerRules : public ::testing::TestWithParam<const char*> {};

TEST_P(V1LayerRules, Table) {
  for (const Case& c : read_table(GetParam())) {
    SCOPED_TRACE(c.where());
    ASSERT_EQ(c.in.size(), 5u);
    const HwVersion version = version_of(c.in[0]);
    const auto device = v1_device(version);
    const HardwareConstraints limits = v1_limits();
    const CompatibilityCheckerImpl checker(*device, limits);
    const Built built = layer_of(c.in[1], c.in[2], c.in[3], c.in[4]);
    if (c.fails()) {
      EXPECT_THAT([&] { checker.check_layer_compatibility(*built.layer, nullptr, version); },
                  ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq(c.error)));
      continue;
    }
    const MappingStatus status = checker.check_layer_compatibility(*built.layer, nullptr, version);
    EXPECT_EQ(status.message, Case::join(c.out));
    EXPECT_EQ(status.failed, status.message != "Success.");
    if (status.failed) {
      EXPECT_EQ(status.layer_name, "L");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, V1LayerRules, ::testing::Values("layer_rules.txt", "dense_rules.txt", "input_conv_rules.txt"));

}  // namespace
}  // namespace ovrix::v1
