// The graph utilities and the NP allocator on layers made and wired by the engine itself.
#include <gtest/gtest.h>

#include "engine/model.h"
#include "support/mapping_fakes.h"
#include "mapping/graph_utils.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh_mapper.h"

namespace ovrix {
namespace {

std::shared_ptr<Layer> make(LayerType type, const std::string& name, const std::map<std::string, int>& values) {
  const auto params = LayerParams::create(type, values);
  return Layer::create(params.get(), name);
}

// input -> a -> b -> add <- a ; add -> c
struct EngineResidual {
  EngineResidual() : model(Model::create()) {
    in = make(LayerType::InputData, "input",
              {{"input_width", 16}, {"input_height", 16}, {"input_channels", 4}, {"input_bits", 8}, {"input_signed", 0}});
    const std::map<std::string, int> conv{{"kernel_size", 3}, {"kernel_stride", 1}, {"padding", 1}, {"filters", 4},
                                          {"weights_bits", 4}};
    a = make(LayerType::Conv2D, "a", conv);
    b = make(LayerType::Conv2D, "b", conv);
    sum = make(LayerType::Add, "add", {});
    c = make(LayerType::Conv2D, "c", conv);
    model->add(in);
    model->add(a, {in});
    model->add(b, {a});
    model->add(sum, {b, a});
    model->add(c, {sum});
  }
  std::unique_ptr<Model> model;
  std::shared_ptr<Layer> in, a, b, sum, c;
};

TEST(EngineGraph, ResidualBlock) {
  EngineResidual g;
  DepthMemo memo;
  EXPECT_EQ(get_layer_depth(g.sum, &memo), 3u);
  EXPECT_EQ(get_layer_depth(g.c, &memo), 4u);
  EXPECT_EQ(get_mappable_layer(g.sum), g.c);
  EXPECT_EQ(next_mappable_layer(g.b), g.c);
  EXPECT_EQ(previous_mappable_layer(g.c), g.b);
  EXPECT_TRUE(is_skip_layer(g.a));
  EXPECT_TRUE(layer_need_store_dma(g.a));
  EXPECT_TRUE(layer_need_load_dma(g.c));
  EXPECT_EQ(first_mappable_layer(g.model->layers()), g.a);
  EXPECT_EQ(last_mappable_layer(g.model->layers()), g.c);
  const LayerList together = get_layers_to_map_together(LayerList(g.model->layers().begin() + 1, g.model->layers().end()));
  EXPECT_EQ(together.size(), 4u);  // a, b, add and the c that follows the merge
}

TEST(EngineGraph, PlacesEngineLayers) {
  EngineResidual g;
  std::vector<np::Info> nps;
  for (uint8_t id = 0; id < 4; ++id) nps.push_back({hw::Ident(1, 1, id), {hw::Type::CNP1, hw::Type::CNP2}});
  std::vector<np::Info> skip{{hw::Ident(2, 1, 3, 2), {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}}};
  auto device = std::make_shared<mapping_testing::FakeDevice>(hw_versions::Proteo_v2,
                                                              Mesh(IpVersion::v2, {}, {}, std::nullopt, nps, skip));
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, device->mesh());
  mapping_testing::FakeChecker checker(*device, limits);
  MapConstraints constraints(device);
  MeshMapper mapper(checker, constraints);
  mapper.reset();
  bool new_pass = false;
  std::vector<hw::Type> types;
  for (const auto& layer : {g.a, g.b, g.c}) {
    const auto [components, status] = mapper.np_request(layer, {}, false, &new_pass, false);
    ASSERT_FALSE(status.failed) << status.to_string();
    for (const auto& component : components) types.push_back(component.type);
  }
  EXPECT_EQ(types, (std::vector<hw::Type>{hw::Type::CNP1, hw::Type::SKIP_DMA_STORE, hw::Type::CNP1, hw::Type::CNP1,
                                          hw::Type::SKIP_DMA_LOAD}));
  bool unused = false;
  EXPECT_THROW(mapper.np_request(g.sum, {}, false, &unused, false), std::runtime_error);
}

}  // namespace
}  // namespace ovrix
