#include "mapping/mesh_mapper.h"

#include <gtest/gtest.h>

#include "support/mapping_fakes.h"
#include "mapping/map_constraints.h"

namespace ovrix {
namespace {

using hw::Ident;
using hw::Type;
using mapping_testing::FakeChecker;
using mapping_testing::FakeDevice;

// A v2 mesh whose NPs exercise every priority of the offer order.
Mesh pool_mesh(uint8_t skip_channels = 2) {
  std::vector<np::Info> nps{
      {Ident(1, 1, 0), {Type::CNP1, Type::CNP2}},
      {Ident(1, 1, 1), {Type::CNP1}},
      {Ident(2, 1, 0), {Type::CNP1, Type::FNP3}},
      {Ident(2, 1, 1), {Type::CNP1}},
      {Ident(3, 1, 0), {Type::CNP1, Type::CNP2, Type::FNP2}},
      {Ident(1, 2, 0), {Type::TNP_B}},
      {Ident(0, 5, 0), {Type::CNP1}},
  };
  std::vector<np::Info> skip{{Ident(1, 1, 3, skip_channels), {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}},
                             {Ident(15, 1, 3, 7), {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}}};
  return Mesh(IpVersion::v2, {}, {}, std::nullopt, nps, skip);
}

struct MapperFixture {
  explicit MapperFixture(Mesh mesh = pool_mesh())
      : device(std::make_shared<FakeDevice>(hw_versions::Proteo_v2, std::move(mesh))),
        limits(compute_hardware_constraints(IpVersion::v2, SramSize_v2)),
        checker(*device, limits),
        constraints(device),
        mapper(checker, constraints) {
    mapper.reset();
  }
  std::shared_ptr<FakeDevice> device;
  HardwareConstraints limits;
  FakeChecker checker;
  MapConstraints constraints;
  MeshMapper mapper;
};

TEST(MeshMapper, PoolOrderPutsDenseCapableNpsLast) {
  MapperFixture f;
  EXPECT_EQ(f.mapper.available_nps(Type::CNP1),
            (std::vector<Ident>{{0, 5, 0}, {1, 1, 0}, {1, 1, 1}, {2, 1, 1}, {2, 1, 0}, {3, 1, 0}}));
  EXPECT_EQ(f.mapper.available_nps(Type::CNP2), (std::vector<Ident>{{1, 1, 0}, {3, 1, 0}}));
  EXPECT_EQ(f.mapper.available_nps(Type::FNP3), (std::vector<Ident>{{2, 1, 0}}));
  EXPECT_EQ(f.mapper.available_nps(Type::FNP2), (std::vector<Ident>{{3, 1, 0}}));
  EXPECT_EQ(f.mapper.available_nps(Type::TNP_B), (std::vector<Ident>{{1, 2, 0}}));
  // Skip-DMA channels: engine by engine, channels ascending, every engine with the first one's count.
  const std::vector<Ident> channels{{1, 1, 3, 0}, {1, 1, 3, 1}, {15, 1, 3, 0}, {15, 1, 3, 1}};
  EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_STORE), channels);
  EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_LOAD), channels);
  // The HRC is never pooled; an unsupported type is an empty pool.
  EXPECT_EQ(f.mapper.max_nps(Type::HRC), 0u);
  EXPECT_EQ(f.mapper.max_nps(Type::TNP_R), 0u);
  EXPECT_TRUE(f.mapper.available_nps(Type::TNP_R).empty());
}

TEST(MeshMapper, NoSkipDmaChannels) {
  MapperFixture zero(pool_mesh(0));
  EXPECT_TRUE(zero.mapper.available_nps(Type::SKIP_DMA_STORE).empty());
  EXPECT_TRUE(zero.mapper.available_nps(Type::SKIP_DMA_LOAD).empty());
  Mesh bare = pool_mesh();
  bare.skip_dmas.clear();
  MapperFixture none(bare);
  EXPECT_EQ(none.mapper.max_nps(Type::SKIP_DMA_LOAD), 0u);
}

TEST(MeshMapper, AllocationRules) {
  MapperFixture f;
  // An NP taken as one type is taken for all its types.
  f.mapper.allocate_np({3, 1, 0}, Type::None);
  EXPECT_EQ(f.mapper.available_nps(Type::CNP2), (std::vector<Ident>{{1, 1, 0}}));
  EXPECT_TRUE(f.mapper.available_nps(Type::FNP2).empty());
  EXPECT_EQ(f.mapper.max_nps(Type::FNP2), 1u);  // allocated still counts
  // A skip-DMA channel is taken in its own pool only.
  f.mapper.allocate_np({1, 1, 3, 1}, Type::SKIP_DMA_STORE);
  EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_STORE).size(), 3u);
  EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_LOAD).size(), 4u);
  // Unknown identifiers change nothing.
  f.mapper.allocate_np({9, 9, 9}, Type::None);
  EXPECT_EQ(f.mapper.available_nps(Type::CNP1).size(), 5u);

  // Reservations replace each other and are not counted at all.
  f.mapper.reserve_nps({{1, 1, 0}, {0, 5, 0}});
  EXPECT_EQ(f.mapper.max_nps(Type::CNP1), 4u);
  EXPECT_EQ(f.mapper.available_nps(Type::CNP1), (std::vector<Ident>{{1, 1, 1}, {2, 1, 1}, {2, 1, 0}}));
  f.mapper.reserve_nps({{2, 1, 0}});
  EXPECT_EQ(f.mapper.available_nps(Type::CNP1), (std::vector<Ident>{{0, 5, 0}, {1, 1, 0}, {1, 1, 1}, {2, 1, 1}}));
  EXPECT_EQ(f.mapper.max_nps(Type::FNP3), 0u);

  // Freeing every NP keeps the reservations.
  f.mapper.deallocate_nps();
  EXPECT_EQ(f.mapper.available_nps(Type::CNP1).size(), 5u);
  EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_STORE).size(), 4u);
  f.mapper.reserve_nps({});
  EXPECT_EQ(f.mapper.available_nps(Type::CNP1).size(), 6u);

  // reset starts over with every slot free.
  f.mapper.allocate_np({1, 1, 0}, Type::None);
  f.mapper.reserve_nps({{1, 1, 1}});
  f.mapper.reset();
  EXPECT_EQ(f.mapper.max_nps(Type::CNP1), 6u);
  EXPECT_EQ(f.mapper.available_nps(Type::CNP1).size(), 6u);
}

TEST(MeshMapper, DenseTypeChoice) {
  struct Case {
    const char* what;
    bool fnp3_fit;
    std::vector<Ident> allocated, reserved;
    Type expected;
  } cases[] = {
      {"free FNP3 that fits", true, {}, {}, Type::FNP3},
      {"FNP3 does not fit: FNP2 even when none is free", false, {{3, 1, 0}}, {}, Type::FNP2},
      {"FNP3 taken, FNP2 free", true, {{2, 1, 0}}, {}, Type::FNP2},
      {"both taken: the FNP3 a new pass would give", true, {{2, 1, 0}, {3, 1, 0}}, {}, Type::FNP3},
      {"both taken, FNP3 reserved", true, {{3, 1, 0}}, {{2, 1, 0}}, Type::FNP2},
  };
  for (const Case& c : cases) {
    MapperFixture f;
    f.checker.fnp3 = [&c](const Layer&) { return c.fnp3_fit; };
    for (const Ident& id : c.allocated) f.mapper.allocate_np(id, Type::None);
    f.mapper.reserve_nps(c.reserved);
    const auto dense = mapping_testing::make_layer("dense", LayerType::Dense1D, {{"units", 10}});
    EXPECT_EQ(f.mapper.get_compatible_fnp_type(*dense), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace ovrix
