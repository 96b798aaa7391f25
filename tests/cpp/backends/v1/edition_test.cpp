// The v1 edition in the registry: the products it maps and reads learnt variables back for, and the
// implementations the hardware back-end then creates.
#include <gtest/gtest.h>

#include "backends/v1/edition.h"
#include "backends/v1/compatibility_checker.h"
#include "backends/v1/io_recorder.h"
#include "backends/v1/layer_recorder.h"
#include "backends/v1/memory_sizer.h"
#include "mapping/edition_registry.h"
#include "mapping/hardware_backend.h"
#include "support/v1_layers.h"

namespace ovrix::v1 {
namespace {

TEST(V1Edition, ServesProducts0x00And0xA1) {
  for (const uint8_t product : {uint8_t{0x00}, uint8_t{0xA1}}) {
    SCOPED_TRACE(int(product));
    const Edition* edition = edition_registry().find(product);
    ASSERT_NE(edition, nullptr);
    EXPECT_EQ(edition->name(), "v1");
    EXPECT_EQ(edition_registry().find_learning(product), edition);
  }
  EXPECT_NE(edition_registry().find(0xA2)->name(), "v1");
}

TEST(V1Edition, TheHardwareBackEndCreatesTheV1Implementations) {
  for (const HwVersion version : {hw_versions::Quor_v1, hw_versions::Quor_v2, hw_versions::Tamsel_v1,
                                  hw_versions::ZMX2400_v1}) {
    const auto device = testing::v1_device(version);
    IpVersionSpecificHardwareBackend backend(*device);
    EXPECT_NE(dynamic_cast<CompatibilityCheckerImpl*>(backend.checker.get()), nullptr);
    EXPECT_NE(dynamic_cast<MemorySizerImpl*>(backend.memory_sizer.get()), nullptr);
    EXPECT_NE(dynamic_cast<IoRecorderImpl*>(backend.io_recorder.get()), nullptr);
    EXPECT_NE(dynamic_cast<LayerRecorderImpl*>(backend.layer_recorder.get()), nullptr);
    EXPECT_EQ(backend.constraints, testing::v1_limits());
  }
}

}  // namespace
}  // namespace ovrix::v1
