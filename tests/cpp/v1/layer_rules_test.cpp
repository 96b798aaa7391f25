// The v1 layer rules, case by case from tests/data/v1/layer_rules.txt: every message, its gathering
// order and its hardware-version variants.
#include <gtest/gtest.h>

#include "backends/v1/compatibility_checker.h"
#include "v1/v1_tables.h"

namespace ovrix::v1 {
namespace {

using namespace tables;

TEST(V1LayerRules, Table) {
  for (const Case& c : read_cases("layer_rules.txt")) {
    SCOPED_TRACE(c.where());
    const auto w = words(c.input);
    ASSERT_EQ(w.size(), 5u);
    const HwVersion version = version_of(w[0]);
    std::string kind = w[1];
    const bool unbuilt = kind.back() == '!';
    if (unbuilt) kind.pop_back();
    const size_t colon = w[2].find(':');
    const Shape input = shape_of(w[2].substr(0, colon));
    const int bits = std::stoi(w[2].substr(colon + 1));

    Built built;
    if (unbuilt) {
      const auto params = LayerParams::create(kind_of(kind), key_values(w[3]));
      built.layer = Layer::create(params.get(), "L");
    } else {
      built = build(kind_of(kind), input, bits, key_values(w[3]));
      for (const auto& [name, value] : key_values(w[4])) fill_variable(*built.layer, name, value);
    }
    const auto device = v1_device(version);
    const HardwareConstraints limits = v1_limits();
    const CompatibilityCheckerImpl checker(*device, limits);

    std::string got;
    try {
      const MappingStatus status = checker.check_layer_compatibility(*built.layer, nullptr, version);
      got = status.message;
      if (status.failed) {
        EXPECT_EQ(status.layer_name, "L");
      }
    } catch (const std::exception& e) {
      got = std::string("throws: ") + e.what();
    }
    EXPECT_EQ(got, c.expected);
  }
}

}  // namespace
}  // namespace ovrix::v1
