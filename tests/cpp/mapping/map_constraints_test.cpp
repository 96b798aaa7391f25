#include "mapping/map_constraints.h"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/mapping_fakes.h"

namespace ovrix {
namespace {

using ::testing::ThrowsMessage;

using mapping_testing::FakeDevice;

std::shared_ptr<Device> device_with(HwVersion version) {
  return std::make_shared<FakeDevice>(version, Mesh(IpVersion::v2, {}, {}, std::nullopt, {}, {}));
}

struct DefaultsRow {
  HwVersion version;
  IpVersion edition;
  uint32_t width, height, filters;
};

class MapConstraintsDefaults : public ::testing::TestWithParam<DefaultsRow> {};

TEST_P(MapConstraintsDefaults, ByProductId) {
  const auto& row = GetParam();
  MapConstraints c(device_with(row.version));
  EXPECT_EQ(c.ip_version(), row.edition);
  EXPECT_EQ(c.cnp_max_width_default(), row.width);
  EXPECT_EQ(c.cnp_max_height_default(), row.height);
  EXPECT_EQ(c.cnp_max_filters_default(), row.filters);
  EXPECT_EQ(c.cnp_max_width(), row.width);
  EXPECT_EQ(c.cnp_max_height(), row.height);
  EXPECT_EQ(c.cnp_max_filters(), row.filters);
  EXPECT_FALSE(c.hwpr_loopitself());

  // The defaults are the upper bounds: equal is accepted, one more is refused and changes nothing.
  c.set_cnp_max_width(row.width);
  c.set_cnp_max_height(row.height);
  c.set_cnp_max_filters(row.filters);
  EXPECT_THROW(
      {
        try {
          c.set_cnp_max_filters(row.filters + 1);
        } catch (const std::invalid_argument& e) {
          EXPECT_EQ(std::string(e.what()),
                    fmt::format("CNP max filters should be <= {}. Receives {}.", row.filters, row.filters + 1));
          throw;
        }
      },
      std::invalid_argument);
  EXPECT_EQ(c.cnp_max_filters(), row.filters);
  c.set_cnp_max_width(0);
  EXPECT_EQ(c.cnp_max_width(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Products, MapConstraintsDefaults,
                         ::testing::Values(DefaultsRow{hw_versions::Quor_v1, IpVersion::v1, 32, 256, 512},
                                           DefaultsRow{hw_versions::Quor_v2, IpVersion::v1, 32, 256, 504},
                                           DefaultsRow{HwVersion(0xBC, 0x00, 0x01, 0x02), IpVersion::v1, 32, 256, 512},
                                           DefaultsRow{hw_versions::Tamsel_v1, IpVersion::v1, 32, 256, 512},
                                           DefaultsRow{hw_versions::Proteo_v2, IpVersion::v2, 64, 256, 512},
                                           DefaultsRow{hw_versions::Lumo_Proteo, IpVersion::lumo, 0, 0, 0}));


TEST(MapConstraints, Refusals) {
  EXPECT_THROW(MapConstraints(nullptr), std::invalid_argument);
  EXPECT_THAT([] { MapConstraints c(nullptr); }, ThrowsMessage<std::exception>("Invalid device passed to MapConstraints."));
  EXPECT_THROW(MapConstraints(device_with(HwVersion(0xBC, 0xA3, 0, 0))), std::invalid_argument);
  EXPECT_THAT([] { MapConstraints c(device_with(HwVersion(0xBC, 0xA3, 0, 0))); }, ThrowsMessage<std::exception>("Unsupported IP version in MapConstraints constructor."));

  MapConstraints v2(device_with(hw_versions::Proteo_v2));
  EXPECT_THAT([&] { v2.set_cnp_max_width(65); }, ThrowsMessage<std::exception>("CNP max width should be <= 64. Receives 65."));
  EXPECT_THAT([&] { v2.set_cnp_max_height(257); }, ThrowsMessage<std::exception>("CNP max height should be <= 256. Receives 257."));
  EXPECT_EQ(v2.cnp_max_width(), 64u);
  EXPECT_EQ(v2.cnp_max_height(), 256u);

  MapConstraints lumo(device_with(hw_versions::Lumo_Proteo));
  EXPECT_THAT([&] { lumo.set_cnp_max_width(1); }, ThrowsMessage<std::exception>("CNP max width should be <= 0. Receives 1."));
  lumo.set_cnp_max_height(0);
}

TEST(MapConstraints, LoopItselfOnlyOnV2) {
  for (HwVersion v : {hw_versions::Quor_v1, hw_versions::ZMX2400_v1, hw_versions::Lumo_Proteo}) {
    MapConstraints c(device_with(v));
    EXPECT_THAT([&] { c.set_hwpr_loopitself(true); }, ThrowsMessage<std::exception>("HWPR NP loopitself feature is only supported for IP v2."));
    EXPECT_FALSE(c.hwpr_loopitself());
    c.set_hwpr_loopitself(false);
  }
  MapConstraints c(device_with(hw_versions::Proteo_v2));
  c.set_hwpr_loopitself(true);
  EXPECT_TRUE(c.hwpr_loopitself());
}

TEST(MapConstraints, DefaultSelectNpsTakesTheFirstOffered) {
  MapConstraints c(device_with(hw_versions::Proteo_v2));
  const std::vector<hw::Ident> offer{{1, 1, 0}, {1, 1, 1}, {2, 1, 0}};
  EXPECT_EQ(c.select_nps(offer, 2, hw::Type::CNP1), (std::vector<hw::Ident>{{1, 1, 0}, {1, 1, 1}}));
  EXPECT_EQ(c.select_nps(offer, 5, hw::Type::CNP1), offer);
  EXPECT_TRUE(c.select_nps(offer, 0, hw::Type::CNP1).empty());
  EXPECT_EQ(c.device()->version(), hw_versions::Proteo_v2);
}

}  // namespace
}  // namespace ovrix
