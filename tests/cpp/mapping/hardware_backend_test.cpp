#include "mapping/hardware_backend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/mapping_fakes.h"
#include "mapping/map_constraints.h"

namespace ovrix {
namespace {

using ::testing::ThrowsMessage;

using mapping_testing::FakeDevice;

// Only a runtime_error counts.

TEST(HardwareBackend, TypeIsHardware) {
  HardwareBackend backend;
  EXPECT_EQ(backend.type(), BackendType::Hardware);
  EXPECT_EQ(create_hardware_backend()->type(), BackendType::Hardware);
}

TEST(HardwareBackend, NullConstraintsAreRefused) {
  HardwareBackend backend;
  std::vector<std::shared_ptr<Layer>> layers;
  std::vector<std::shared_ptr<Sequence>> sequences;
  EXPECT_THAT([&] { backend.map(&layers, &sequences, nullptr); }, ThrowsMessage<std::runtime_error>("Map constraints must be specified."));
  EXPECT_EQ(backend.type(), BackendType::Hardware);
}

TEST(HardwareBackend, UnknownProductIsRefusedBeforeAnyLayer) {
  // The constraints were made while the device still named an edition.
  auto device = std::make_shared<FakeDevice>(hw_versions::Proteo_v2, Mesh(IpVersion::v2, {}, {}, std::nullopt, {}, {}));
  auto constraints = std::make_shared<MapConstraints>(device);
  device->set_version(HwVersion(0xBC, 0xA3, 0, 0));
  HardwareBackend backend;
  std::vector<std::shared_ptr<Layer>> layers{nullptr};  // never looked at
  std::vector<std::shared_ptr<Sequence>> sequences;
  EXPECT_THAT([&] { backend.map(&layers, &sequences, constraints); }, ThrowsMessage<std::runtime_error>("Unsupported IP version in IpVersionSpecificHardwareBackend."));
  EXPECT_THAT([&] { IpVersionSpecificHardwareBackend b(*device); }, ThrowsMessage<std::runtime_error>("Unsupported IP version in IpVersionSpecificHardwareBackend."));
}

TEST(HardwareBackend, SelectsEditionByProductId) {
  struct Row {
    HwVersion version;
    IpVersion mesh_edition;
    const char* edition;
  } rows[] = {{hw_versions::Quor_v1, IpVersion::v1, "v1"},
              {hw_versions::Tamsel_v1, IpVersion::v1, "v1"},
              {hw_versions::Proteo_v2, IpVersion::v2, "v2"},
              {hw_versions::Lumo_Proteo, IpVersion::lumo, "lumo"}};
  for (const Row& row : rows) {
    FakeDevice device(row.version, Mesh(row.mesh_edition, {}, {}, std::nullopt, {}, {}));
    try {
      IpVersionSpecificHardwareBackend backend(device);
      // An edition present in this build: the four implementations exist and the limits are its own.
      EXPECT_TRUE(backend.checker && backend.memory_sizer && backend.io_recorder && backend.layer_recorder);
      EXPECT_EQ(backend.constraints, compute_hardware_constraints(row.mesh_edition, device.mesh()));
      EXPECT_EQ(&backend.checker->constraints(), &backend.constraints);
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), std::string("The ") + row.edition +
                                           " hardware back-end is not available in this build.");
    }
  }
}

}  // namespace
}  // namespace ovrix
