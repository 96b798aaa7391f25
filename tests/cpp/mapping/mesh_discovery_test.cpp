#include <gtest/gtest.h>

#include "engine/register_image_driver.h"
#include "support/mapping_fakes.h"
#include "mapping/mesh.h"

namespace ovrix {
namespace {

using hw::Ident;
using hw::Type;
using mapping_testing::ImageHardwareDevice;

constexpr uint32_t B = RegisterImageDriver::default_mesh_info_address;

std::string discovery_error(HardwareDevice* device) {
  try {
    Mesh::discover(device);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no runtime_error";
}

// Two node rows and three columns, two NP positions per node, the DMA controller on node (1, 1) using
// both positions; row 2 starts at column 3 except for the extra node (2, 2).
MeshRegisterImage small_grid() {
  MeshRegisterImage img;
  img.rows = 2;
  img.columns = 3;
  img.nps_per_node = 2;
  img.dma_row = 1;
  img.dma_col = 1;
  img.dma_event_id = 0;
  img.dma_conf_id = 1;
  img.first_col_row2 = 3;
  img.extra_row = 2;
  img.extra_col = 2;
  img.last_col = 3;
  return img;
}

const std::vector<Ident> small_grid_nps{{2, 1, 0}, {2, 1, 1}, {2, 2, 0}, {2, 2, 1},
                                        {3, 1, 0}, {3, 1, 1}, {3, 2, 0}, {3, 2, 1}};

std::vector<Ident> idents(const std::vector<np::Info>& infos) {
  std::vector<Ident> out;
  for (const auto& i : infos) out.push_back(i.ident);
  return out;
}

TEST(MeshDiscovery, V1GridScanOrderAndCapabilities) {
  RegisterImageDriver driver;
  driver.load_mesh(small_grid());
  driver.set_np_config({2, 1, 0}, 1u << 6);                        // CNP1
  driver.set_np_config({2, 1, 1}, 2u << 6 | np_caps::LUT);          // CNP1 + CNP2, LUT
  driver.set_np_config({2, 2, 0}, 2u << 4);                        // FNP2
  driver.set_np_config({2, 2, 1}, 3u << 4 | 1u << 6);              // FNP3 + CNP1
  driver.set_np_config({3, 1, 0}, np_caps::TNP_B | np_caps::TNP_R);  // temporal bits: v2 only
  driver.set_np_config({3, 1, 1}, 3u << 6 | 1u << 4);              // neither CNP nor FNP
  ImageHardwareDevice device(hw_versions::Tamsel_v1, &driver);

  const auto mesh = Mesh::discover(&device);
  EXPECT_EQ(mesh->version, IpVersion::v1);
  EXPECT_EQ(idents(mesh->nps), small_grid_nps);
  EXPECT_EQ(device.np_reads, small_grid_nps);
  EXPECT_EQ(device.last_count, 1u);
  EXPECT_EQ(mesh->nps[0].types, (std::set<Type>{Type::CNP1}));
  EXPECT_EQ(mesh->nps[1].types, (std::set<Type>{Type::CNP1, Type::CNP2}));
  EXPECT_TRUE(mesh->nps[1].has_lut);
  EXPECT_EQ(mesh->nps[2].types, (std::set<Type>{Type::FNP2}));
  EXPECT_EQ(mesh->nps[3].types, (std::set<Type>{Type::CNP1, Type::FNP3}));
  EXPECT_TRUE(mesh->nps[4].types.empty());  // listed although it can act as nothing
  EXPECT_TRUE(mesh->nps[5].types.empty());
  EXPECT_EQ(mesh->dma_event, Ident(1, 1, 0));
  EXPECT_EQ(mesh->dma_conf, Ident(1, 1, 1));
  // A v1 device always has an HRC, without lookup table, and no skip-DMA engine.
  ASSERT_TRUE(mesh->has_hrc());
  EXPECT_EQ(*mesh->hrc, np::Info::hrc(false));
  EXPECT_TRUE(mesh->skip_dmas.empty());
  EXPECT_EQ(mesh->np_sram_size, SramSize_v1);
  EXPECT_EQ(driver.reads(), (std::vector<uint32_t>{B + 0x50, B + 0x54, B + 0x58}));
  EXPECT_FALSE(mesh->has_lut_on_all_nps());
}

TEST(MeshDiscovery, DmaNodeAndEdgeRules) {
  struct Case {
    const char* what;
    MeshRegisterImage image;
    std::vector<Ident> expected;
  };
  MeshRegisterImage shared = {};
  shared.rows = 1;
  shared.columns = 1;
  shared.nps_per_node = 4;
  shared.dma_row = 1;
  shared.dma_col = 1;
  shared.dma_event_id = 0;
  shared.dma_conf_id = 1;
  shared.last_col = 1;
  MeshRegisterImage only = shared;
  only.dma_node_only = true;
  MeshRegisterImage empty_rows = small_grid();
  empty_rows.rows = 0;
  MeshRegisterImage no_positions = small_grid();
  no_positions.nps_per_node = 0;
  MeshRegisterImage no_extra = small_grid();
  no_extra.extra_row = 0;
  MeshRegisterImage short_last_row = small_grid();
  short_last_row.first_col_row2 = 0;  // counts as column 1
  short_last_row.last_col = 2;
  const Case cases[] = {
      {"DMA node shares positions 2 and 3", shared, {{1, 1, 2}, {1, 1, 3}}},
      {"DMA node only", only, {}},
      {"no rows", empty_rows, {}},
      {"no NP positions", no_positions, {}},
      {"row 2 starts at column 3", no_extra, {{2, 1, 0}, {2, 1, 1}, {3, 1, 0}, {3, 1, 1}, {3, 2, 0}, {3, 2, 1}}},
      {"last row ends at column 2",
       short_last_row,
       {{1, 2, 0}, {1, 2, 1}, {2, 1, 0}, {2, 1, 1}, {2, 2, 0}, {2, 2, 1}, {3, 1, 0}, {3, 1, 1}}},
  };
  for (const Case& c : cases) {
    RegisterImageDriver driver;
    driver.load_mesh(c.image);
    ImageHardwareDevice device(hw_versions::ZMX2400_v1, &driver);
    EXPECT_EQ(idents(Mesh::discover(&device)->nps), c.expected) << c.what;
  }
}

TEST(MeshDiscovery, QuorV2ScansItsLastRowInFull) {
  MeshRegisterImage img = small_grid();
  img.last_col = 1;  // ignored on that board
  img.extra_row = 0;
  RegisterImageDriver driver;
  driver.load_mesh(img);
  ImageHardwareDevice quor(hw_versions::Quor_v2, &driver);
  EXPECT_EQ(idents(Mesh::discover(&quor)->nps),
            (std::vector<Ident>{{2, 1, 0}, {2, 1, 1}, {3, 1, 0}, {3, 1, 1}, {3, 2, 0}, {3, 2, 1}}));
  ImageHardwareDevice quor1(hw_versions::Quor_v1, &driver);
  EXPECT_EQ(idents(Mesh::discover(&quor1)->nps), (std::vector<Ident>{{2, 1, 0}, {2, 1, 1}, {3, 1, 0}, {3, 1, 1}}));
}

TEST(MeshDiscovery, V2SramHrcSkipDmaAndTemporalNps) {
  MeshRegisterImage img = small_grid();
  img.skip_dma_mask = 0x8003;  // bit 0 is not an engine
  img.skip_dma_channels = 2;
  img.has_hrc = true;
  img.hrc_has_lut = true;
  img.sram[0] = 32768;
  img.sram[1] = 8192;
  RegisterImageDriver driver;
  driver.load_mesh(img);
  for (const Ident& id : small_grid_nps) driver.set_np_config(id, 2u << 6 | np_caps::LUT);
  driver.set_np_config({3, 1, 0}, np_caps::TNP_B | np_caps::LUT);
  driver.set_np_config({3, 1, 1}, np_caps::TNP_R | 1u << 6 | np_caps::LUT);
  ImageHardwareDevice device(hw_versions::Proteo_v2, &driver);

  const auto mesh = Mesh::discover(&device);
  EXPECT_EQ(mesh->version, IpVersion::v2);
  EXPECT_EQ(mesh->np_sram_size, (SramSize{65536, 51200, 0, 0, 0, 0}));
  ASSERT_TRUE(mesh->has_hrc());
  EXPECT_EQ(*mesh->hrc, np::Info::hrc(true));
  EXPECT_EQ(mesh->nps[4].types, (std::set<Type>{Type::TNP_B}));
  EXPECT_EQ(mesh->nps[5].types, (std::set<Type>{Type::CNP1, Type::TNP_R}));
  ASSERT_EQ(mesh->skip_dmas.size(), 2u);
  EXPECT_EQ(mesh->skip_dmas[0].ident, Ident(1, 1, 3, 2));
  EXPECT_EQ(mesh->skip_dmas[1].ident, Ident(15, 1, 3, 2));
  EXPECT_EQ(mesh->skip_dmas[0].types, (std::set<Type>{Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}));
  EXPECT_FALSE(mesh->skip_dmas[0].has_lut);
  EXPECT_TRUE(mesh->has_lut_on_all_nps());
  // The HRC word is read before the SRAM counts and once more after them.
  EXPECT_EQ(driver.reads(), (std::vector<uint32_t>{B + 0x50, B + 0x54, B + 0x58, B + 0x68, B + 0x64, B + 0x70,
                                                   B + 0x74, B + 0x68}));
}

TEST(MeshDiscovery, V2Variants) {
  MeshRegisterImage img = small_grid();
  img.sram[0] = 100;  // (100 * 32) >> 4 = 200, (7 * 100) >> 4 = 43
  img.sram[1] = 7;
  img.skip_dma_mask = 0x0001;
  img.skip_dma_channels = 4;
  RegisterImageDriver driver;
  driver.load_mesh(img);
  ImageHardwareDevice device(hw_versions::Proteo_v2, &driver);
  const auto mesh = Mesh::discover(&device);
  EXPECT_FALSE(mesh->has_hrc());
  EXPECT_TRUE(mesh->skip_dmas.empty());
  EXPECT_EQ(mesh->np_sram_size, (SramSize{200, 43, 0, 0, 0, 0}));
  EXPECT_FALSE(mesh->has_lut_on_all_nps());  // NPs without lookup tables

  for (int zero : {0, 1}) {
    MeshRegisterImage no_sram = img;
    no_sram.sram[zero] = 0;
    RegisterImageDriver d;
    d.load_mesh(no_sram);
    ImageHardwareDevice dev(hw_versions::Proteo_v2, &d);
    EXPECT_EQ(discovery_error(&dev), "The mesh has no SRAM.");
  }
}

TEST(MeshDiscovery, LumoHasOneRecurrentNp) {
  MeshRegisterImage img = small_grid();
  img.has_hrc = true;  // not read on lumo
  img.sram[0] = 448;
  img.sram[1] = 8192;
  img.sram[2] = 892;
  img.sram[3] = 256;
  RegisterImageDriver driver;
  driver.load_mesh(img);
  ImageHardwareDevice device(hw_versions::Lumo_Proteo, &driver);
  const auto mesh = Mesh::discover(&device);
  EXPECT_EQ(mesh->version, IpVersion::lumo);
  EXPECT_FALSE(mesh->has_hrc());
  ASSERT_EQ(mesh->nps.size(), 1u);
  EXPECT_EQ(mesh->nps[0], np::Info(Ident(0, 0, 0, 0), {Type::TNP_R}, false));
  EXPECT_TRUE(mesh->skip_dmas.empty());
  EXPECT_EQ(mesh->np_sram_size, SramSize_lumo);
  EXPECT_TRUE(device.np_reads.empty());
  EXPECT_EQ(driver.reads(), (std::vector<uint32_t>{B + 0x50, B + 0x54, B + 0x58, B + 0x70, B + 0x74, B + 0x78,
                                                   B + 0x7C}));
}

TEST(MeshDiscovery, UnknownProductIsRefused) {
  RegisterImageDriver driver;
  driver.load_mesh(small_grid());
  ImageHardwareDevice device(HwVersion(0xBC, 0xA3, 1, 0), &driver);
  EXPECT_EQ(discovery_error(&device), "Unknown IP version.");
}

TEST(Mesh, ConstructorTakesTheEditionsSramRow) {
  EXPECT_EQ(Mesh(IpVersion::v1, {}, {}, std::nullopt, {}, {}).np_sram_size, SramSize_v1);
  EXPECT_EQ(Mesh(IpVersion::v2, {}, {}, std::nullopt, {}, {}).np_sram_size, SramSize_v2);
  EXPECT_EQ(Mesh(IpVersion::lumo, {}, {}, std::nullopt, {}, {}).np_sram_size, SramSize_lumo);
  try {
    Mesh(IpVersion::none, {}, {}, std::nullopt, {}, {});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The mesh should have a valid IP version.");
  }
}

TEST(Mesh, LookupTablesOnAllNps) {
  const np::Info lut(Ident(1, 1, 0), {Type::CNP1}, true), plain(Ident(1, 1, 1), {Type::CNP1}, false);
  EXPECT_TRUE(Mesh(IpVersion::v2, {}, {}, std::nullopt, {}, {}).has_lut_on_all_nps());
  EXPECT_TRUE(Mesh(IpVersion::v2, {}, {}, np::Info::hrc(true), {lut}, {plain}).has_lut_on_all_nps());
  EXPECT_FALSE(Mesh(IpVersion::v2, {}, {}, np::Info::hrc(false), {lut}, {}).has_lut_on_all_nps());
  EXPECT_FALSE(Mesh(IpVersion::v2, {}, {}, std::nullopt, {lut, plain}, {}).has_lut_on_all_nps());
}

TEST(Mesh, EqualityFollowsEveryField) {
  const np::Info a(Ident(1, 1, 0), {Type::CNP1}), b(Ident(1, 1, 1), {Type::CNP1});
  const Mesh m(IpVersion::v2, {1, 1, 0}, {1, 1, 1}, std::nullopt, {a, b}, {});
  EXPECT_EQ(m, Mesh(IpVersion::v2, {1, 1, 0}, {1, 1, 1}, std::nullopt, {a, b}, {}));
  EXPECT_NE(m, Mesh(IpVersion::v2, {1, 1, 0}, {1, 1, 1}, std::nullopt, {b, a}, {}));
  EXPECT_NE(m, Mesh(IpVersion::v2, {1, 1, 0}, {1, 1, 1}, np::Info::hrc(false), {a, b}, {}));
  Mesh other = m;
  other.np_sram_size.input_bytes = 1000;
  EXPECT_NE(m, other);
}

TEST(RegisterImageDriver, WordAccessesAndScriptedReads) {
  RegisterImageDriver driver(0x1000);
  EXPECT_EQ(driver.mesh_info_address(), 0x1000u);
  uint32_t words[2] = {7, 9};
  driver.write(0x20, words, sizeof words);
  uint32_t back[2] = {};
  driver.read(0x20, back, sizeof back);
  EXPECT_EQ(back[0], 7u);
  EXPECT_EQ(back[1], 9u);
  driver.script_reads(0x30, {1, 2});
  uint32_t v = 0;
  driver.read(0x30, &v, 4);
  EXPECT_EQ(v, 1u);
  driver.read(0x30, &v, 4);
  EXPECT_EQ(v, 2u);
  driver.read(0x30, &v, 4);
  EXPECT_EQ(v, 0u);
  EXPECT_THROW(driver.read(0x31, &v, 4), std::invalid_argument);
  EXPECT_THROW(driver.read(0x30, &v, 2), std::invalid_argument);
  EXPECT_EQ(encode_np_capabilities({Type::CNP1, Type::CNP2, Type::FNP3, Type::TNP_B}, true),
            2u << 6 | 3u << 4 | np_caps::TNP_B | np_caps::LUT);
  const np::Info decoded = decode_np_capabilities(Ident(1, 2, 3), encode_np_capabilities({Type::CNP1, Type::FNP2}, false), true);
  EXPECT_EQ(decoded.types, (std::set<Type>{Type::CNP1, Type::FNP2}));
}

}  // namespace
}  // namespace ovrix
