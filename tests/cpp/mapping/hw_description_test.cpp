#include "mapping/hw_description.h"

#include <gtest/gtest.h>

#include "mapping/hw_version.h"

namespace ovrix {
namespace {

TEST(HwIdent, OrdersColumnRowIdChannel) {
  EXPECT_TRUE(hw::Ident(1, 2, 3, 0) < hw::Ident(1, 2, 3, 1));
  EXPECT_FALSE(hw::Ident(2, 0, 0, 0) < hw::Ident(1, 9, 9, 9));
  EXPECT_TRUE(hw::Ident(1, 9, 9, 9) < hw::Ident(2, 0, 0, 0));
  EXPECT_TRUE(hw::Ident(0, 0, 255) < hw::Ident(0, 1, 0));  // bytes compare unsigned
  EXPECT_EQ(hw::Ident(1, 2, 3), hw::Ident(1, 2, 3, 0));
  EXPECT_NE(hw::Ident(1, 2, 3), hw::Ident(1, 2, 3, 4));
}

TEST(HwType, Names) {
  const std::pair<uint32_t, const char*> names[] = {
      {0, "None"},   {1, "HRC"},           {2, "CNP1"},  {3, "CNP2"},  {4, "FNP2"},          {5, "FNP3"},
      {6, "SKIP_DMA_STORE"}, {7, "TNP_B"}, {8, "TNP_R"}, {9, "SKIP_DMA_LOAD"}, {10, "DMA"}, {11, "Unknown"},
  };
  for (const auto& [value, name] : names) EXPECT_EQ(hw::to_string(static_cast<hw::Type>(value)), name) << value;
}

TEST(HwVersion, EditionFromProductByteOnly) {
  const std::pair<uint8_t, IpVersion> rows[] = {
      {0x00, IpVersion::v1}, {0xA1, IpVersion::v1},   {0xA2, IpVersion::v2},
      {0xB1, IpVersion::lumo}, {0xA3, IpVersion::none}, {0xFF, IpVersion::none},
  };
  for (const auto& [product, edition] : rows) {
    EXPECT_EQ(HwVersion(0x12, product, 7, 9).get_ip_version(), edition) << int(product);
    EXPECT_EQ(HwVersion(0xBC, product, 0, 0).get_ip_version(), edition) << int(product);
  }
  EXPECT_EQ(hw_versions::Quor_v2.to_string(), "188.0.0.2");
  EXPECT_EQ(hw_versions::Quor_v2.to_u32(), 0x020000BCu);
  EXPECT_EQ(HwVersion::from_u32(0x0001A2BC), hw_versions::Proteo_v2);
  EXPECT_EQ(to_string(IpVersion::lumo), "lumo");
  EXPECT_EQ(to_string(static_cast<IpVersion>(9)), "none");
}

TEST(SramSize, StandardRows) {
  EXPECT_EQ(SramSize_v1, (SramSize{43008, 44800, 0, 0, 0, 0}));
  EXPECT_EQ(SramSize_v2, (SramSize{65536, 51200, 0, 0, 0, 0}));
  EXPECT_EQ(SramSize_lumo, (SramSize{0, 0, 448, 8192, 892, 256}));
  EXPECT_NE(SramSize_v1, SramSize_v2);
}

TEST(NpInfo, HrcEntryAndComponentDefaults) {
  const np::Info hrc = np::Info::hrc(true);
  EXPECT_EQ(hrc.ident, hw::Ident());
  EXPECT_EQ(hrc.types, std::set<hw::Type>{hw::Type::HRC});
  EXPECT_TRUE(hrc.has_lut);
  EXPECT_NE(hrc, np::Info::hrc(false));

  hw::Component bare(hw::Type::SKIP_DMA_LOAD);
  EXPECT_EQ(bare.filters(), 0u);
  EXPECT_EQ(bare.start_neuron(), 0u);
  EXPECT_TRUE(bare.single_buffer());
  hw::NpMapping np;
  np.filters = 4;
  np.single_buffer = false;
  hw::Component a(hw::Type::CNP1, np), b = a;
  b.np->single_buffer = true;
  EXPECT_EQ(a, b);  // the buffer mode is not part of the assignment
  b.np->filters = 5;
  EXPECT_NE(a, b);
  EXPECT_NE(a, hw::Component(hw::Type::CNP1));
}

}  // namespace
}  // namespace ovrix
