#include <gtest/gtest.h>

#include "support/mapping_fakes.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh_mapper.h"

namespace ovrix {
namespace {

using hw::Ident;
using hw::Type;
using mapping_testing::connect;
using mapping_testing::FakeChecker;
using mapping_testing::FakeDevice;
using mapping_testing::FakeLayer;
using mapping_testing::make_layer;
using mapping_testing::shape3;

// Three plain CNPs, an FNP2, an FNP3, two temporal NPs and one skip-DMA engine with `channels` channels.
Mesh request_mesh(uint8_t channels = 2) {
  std::vector<np::Info> nps{
      {Ident(1, 1, 0), {Type::CNP1}},  {Ident(1, 1, 1), {Type::CNP1}},  {Ident(2, 1, 0), {Type::CNP1}},
      {Ident(3, 1, 0), {Type::FNP2}},  {Ident(3, 2, 0), {Type::FNP3}},  {Ident(4, 1, 0), {Type::TNP_B}},
      {Ident(4, 1, 1), {Type::TNP_B}},
  };
  std::vector<np::Info> skip;
  if (channels) skip.push_back({Ident(1, 1, 3, channels), {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}});
  return Mesh(IpVersion::v2, {}, {}, std::nullopt, nps, skip);
}

// Constraints whose hooks the test can watch and steer.
class SteeredConstraints : public MapConstraints {
 public:
  using MapConstraints::MapConstraints;
  void next_layer_handler(const std::string& name) const override {
    handled.push_back(name);
    if (on_layer) on_layer(name);
  }
  std::vector<Ident> select_nps(const std::vector<Ident>& available, uint64_t count, Type type) const override {
    offers.push_back({type, available});
    if (pick) return pick(available, count, type);
    return MapConstraints::select_nps(available, count, type);
  }
  mutable std::vector<std::string> handled;
  mutable std::vector<std::pair<Type, std::vector<Ident>>> offers;
  std::function<std::vector<Ident>(const std::vector<Ident>&, uint64_t, Type)> pick;
  std::function<void(const std::string&)> on_layer;
};

struct RequestFixture {
  explicit RequestFixture(Mesh mesh = request_mesh())
      : device(std::make_shared<FakeDevice>(hw_versions::Proteo_v2, std::move(mesh))),
        limits(compute_hardware_constraints(IpVersion::v2, SramSize_v2)),
        checker(*device, limits),
        constraints(device),
        mapper(checker, constraints) {
    mapper.reset();
  }
  std::pair<std::vector<hw::Component>, MappingStatus> request(const std::shared_ptr<Layer>& layer,
                                                               std::vector<Ident> reserved = {},
                                                               bool allow_new_pass = false) {
    return mapper.np_request(layer, reserved, false, &new_pass, allow_new_pass);
  }
  std::shared_ptr<FakeDevice> device;
  HardwareConstraints limits;
  FakeChecker checker;
  SteeredConstraints constraints;
  MeshMapper mapper;
  bool new_pass = true;  // np_request must clear it
};

std::vector<Ident> idents(const std::vector<hw::Component>& components) {
  std::vector<Ident> out;
  for (const auto& c : components) out.push_back(c.ident);
  return out;
}

std::shared_ptr<FakeLayer> conv(const std::string& name, uint32_t w = 8, int filters = 8) {
  return make_layer(name, LayerType::Conv2D, {{"kernel_size", 3}, {"filters", filters}}, shape3(w, 8, 4));
}

TEST(NpRequest, ConvolutionTakesTheFirstFreeCnps) {
  RequestFixture f;
  const auto a = conv("a");
  auto [components, status] = f.request(a);
  ASSERT_FALSE(status.failed) << status.to_string();
  EXPECT_EQ(status.message, "Success.");
  EXPECT_TRUE(status.layer_name.empty());
  EXPECT_FALSE(f.new_pass);
  EXPECT_EQ(idents(components), (std::vector<Ident>{{1, 1, 0}}));
  EXPECT_EQ(f.constraints.handled, (std::vector<std::string>{"a"}));
  EXPECT_EQ(f.mapper.available_nps(Type::CNP1), (std::vector<Ident>{{1, 1, 1}, {2, 1, 0}}));
}

TEST(NpRequest, ReservationsAndSupply) {
  RequestFixture f;
  f.constraints.set_cnp_max_width(4);
  const auto wide = conv("wide");  // width 8 in pieces of 4: two CNPs
  auto [components, status] = f.request(wide, {{1, 1, 0}});
  ASSERT_FALSE(status.failed) << status.to_string();
  EXPECT_EQ(idents(components), (std::vector<Ident>{{1, 1, 1}, {2, 1, 0}}));

  // Nothing left and no new pass allowed: the free count is the supply.
  std::tie(components, status) = f.request(conv("next"));
  EXPECT_TRUE(status.failed);
  EXPECT_EQ(status.to_string(),
            "Cannot map layer 'next'. Not enough hardware components of type CNP1 available. 2 are needed but 1 is "
            "available.");
  // With a new pass allowed the supply is every unreserved NP; more than that still fails.
  const auto huge = make_layer("huge", LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 8}}, shape3(16, 8, 4));
  std::tie(components, status) = f.request(huge, {}, true);
  EXPECT_EQ(status.message, "Not enough hardware components of type CNP1 available. 4 are needed but 3 are available.");
  EXPECT_FALSE(f.new_pass);
}

TEST(NpRequest, NewPassFreesEveryNp) {
  RequestFixture f;
  f.constraints.set_cnp_max_width(4);
  ASSERT_FALSE(f.request(conv("first")).second.failed);  // takes (1,1,0) and (1,1,1)
  const auto [components, status] = f.request(conv("second"), {}, true);
  ASSERT_FALSE(status.failed) << status.to_string();
  EXPECT_TRUE(f.new_pass);
  EXPECT_EQ(idents(components), (std::vector<Ident>{{1, 1, 0}, {1, 1, 1}}));
}

TEST(NpRequest, DenseLayers) {
  RequestFixture f;
  const auto dense = make_layer("dense", LayerType::Dense1D, {{"units", 10}}, shape3(1, 1, 64));
  auto [components, status] = f.request(dense);
  ASSERT_FALSE(status.failed);
  ASSERT_EQ(components.size(), 1u);
  EXPECT_EQ(components[0].type, Type::FNP3);
  EXPECT_EQ(components[0].ident, Ident(3, 2, 0));
  EXPECT_EQ(components[0].np->filters, 10u);
  EXPECT_EQ(components[0].np->start_neuron, 0u);
  EXPECT_TRUE(components[0].np->single_buffer);
  EXPECT_TRUE(mapping_testing::same_shape(components[0].np->spatial_partition.shape, shape3(1, 1, 64)));
  EXPECT_TRUE(mapping_testing::same_shape(components[0].np->input_window.shape, shape3(1, 1, 64)));

  std::tie(components, status) = f.request(dense);
  ASSERT_FALSE(status.failed);
  EXPECT_EQ(components[0].type, Type::FNP2);

  // No FNP left: the FNP3 a new pass would give, refused without a new pass...
  std::tie(components, status) = f.request(dense);
  EXPECT_EQ(status.to_string(),
            "Cannot map layer 'dense'. Not enough hardware components of type FNP3 available. 1 is needed but 0 are "
            "available.");
  // ...and given in a new pass.
  std::tie(components, status) = f.request(dense, {}, true);
  ASSERT_FALSE(status.failed);
  EXPECT_TRUE(f.new_pass);
  EXPECT_EQ(components[0].ident, Ident(3, 2, 0));

  const auto rnn = make_layer("rnn", LayerType::StatefulRecurrent, {}, shape3(1, 4, 8));
  std::tie(components, status) = f.request(rnn);
  EXPECT_EQ(status.message, "Not enough hardware components of type TNP_R available. 1 is needed but 0 are available.");
  ASSERT_EQ(components.size(), 1u);
  EXPECT_EQ(components[0].type, Type::TNP_R);
  EXPECT_EQ(components[0].np->filters, 0u);
}

TEST(NpRequest, LayersWithoutHardwarePathAreMisuse) {
  RequestFixture f;
  for (LayerType type : {LayerType::Quantizer, LayerType::Add, LayerType::InputData}) {
    try {
      f.request(make_layer("x", type));
      FAIL();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Mapping a layer with HW backend should use HW components.");
    }
  }
  // A convolution kind that targets no NP is refused before any split.
  auto odd = conv("odd");
  odd->set_target(hw::TargetKind::FNP);
  f.checker.weights = [](uint32_t) -> bool { throw std::logic_error("split ran"); };
  EXPECT_THROW(f.request(odd), std::runtime_error);
}

TEST(NpRequest, TransposedLayersUseHalfTheDefaultPiece) {
  RequestFixture f;
  // Width 40 with the v2 default 64: pieces of at most 32, so two CNPs.
  const auto t = make_layer("t", LayerType::Conv2DTranspose, {{"kernel_size", 3}, {"filters", 4}}, shape3(40, 8, 2));
  auto [components, status] = f.request(t);
  ASSERT_FALSE(status.failed) << status.to_string();
  EXPECT_EQ(components.size(), 2u);
  f.mapper.deallocate_nps();
  // A lower limit wins over the half default.
  f.constraints.set_cnp_max_width(16);
  std::tie(components, status) = f.request(t);
  ASSERT_FALSE(status.failed);
  EXPECT_EQ(components.size(), 3u);
}

TEST(NpRequest, SelectNpsOverrides) {
  struct Case {
    const char* what;
    std::function<std::vector<Ident>(const std::vector<Ident>&, uint64_t, Type)> pick;
    const char* message;  // null: success
    std::vector<Ident> expected;
  };
  const Case cases[] = {
      {"picks the last offered", [](const std::vector<Ident>& a, uint64_t, Type) { return std::vector<Ident>{a.back()}; },
       nullptr, {{2, 1, 0}}},
      {"returns fewer", [](const std::vector<Ident>&, uint64_t, Type) { return std::vector<Ident>{}; },
       "Not enough hardware components of type CNP1 available. 1 is needed but 0 are available.", {}},
      {"returns an NP not offered",
       [](const std::vector<Ident>&, uint64_t, Type) { return std::vector<Ident>{{3, 1, 0}}; },
       "The NP (3, 1, 0, 0) selected for type CNP1 was not offered.", {}},
  };
  for (const Case& c : cases) {
    RequestFixture f;
    f.constraints.pick = c.pick;
    const auto [components, status] = f.request(conv("layer"));
    if (c.message == nullptr) {
      EXPECT_FALSE(status.failed) << c.what;
      EXPECT_EQ(idents(components), c.expected) << c.what;
    } else {
      EXPECT_TRUE(status.failed) << c.what;
      EXPECT_EQ(status.layer_name, "layer") << c.what;
      EXPECT_EQ(status.message, c.message) << c.what;
    }
  }
  // The same NP twice for a split layer: refused, so two parts never share an NP.
  RequestFixture f;
  f.constraints.set_cnp_max_width(4);
  f.constraints.pick = [](const std::vector<Ident>& a, uint64_t, Type) { return std::vector<Ident>{a[0], a[0]}; };
  const auto [components, status] = f.request(conv("twice"));
  EXPECT_EQ(status.to_string(), "Cannot map layer 'twice'. The NP (1, 1, 0, 0) was selected more than once for type CNP1.");
  EXPECT_EQ(f.mapper.available_nps(Type::CNP1).size(), 3u);  // nothing was allocated
}

TEST(NpRequest, HandlerMayChangeTheLimitsBeforePlacement) {
  RequestFixture f;
  f.constraints.on_layer = [&f](const std::string& name) {
    if (name == "narrow") f.constraints.set_cnp_max_width(2);
  };
  const auto [components, status] = f.request(conv("narrow", 6));
  ASSERT_FALSE(status.failed);
  EXPECT_EQ(components.size(), 3u);
  EXPECT_EQ(f.constraints.offers.size(), 1u);
  EXPECT_EQ(f.constraints.offers[0].second.size(), 3u);
}

// input -> a -> b -> add <- a (skip) ; add -> c (merge, needs a load; c feeds a temporal layer)
TEST(NpRequest, SkipDmaChannels) {
  RequestFixture f;
  auto in = make_layer("input", LayerType::InputData);
  auto a = conv("a"), b = conv("b"), c = conv("c");
  auto sum = make_layer("add", LayerType::Add);
  connect(in, a);
  connect(a, b);
  connect(b, sum);
  connect(a, sum);
  connect(sum, c);

  // a is the source of the skip branch: one store channel.
  auto [components, status] = f.request(a);
  ASSERT_FALSE(status.failed) << status.to_string();
  ASSERT_EQ(components.size(), 2u);
  EXPECT_EQ(components[1].type, Type::SKIP_DMA_STORE);
  EXPECT_FALSE(components[1].np.has_value());
  EXPECT_EQ(components[1].ident, Ident(1, 1, 3, 0));
  // b needs nothing; c is a merge: one load channel, whose pool is apart from the store pool.
  ASSERT_EQ(f.request(b).first.size(), 1u);
  std::tie(components, status) = f.request(c);
  ASSERT_FALSE(status.failed);
  ASSERT_EQ(components.size(), 2u);
  EXPECT_EQ(components[1].type, Type::SKIP_DMA_LOAD);
  EXPECT_EQ(components[1].ident, Ident(1, 1, 3, 0));
  EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_STORE), (std::vector<Ident>{{1, 1, 3, 1}}));
  EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_LOAD), (std::vector<Ident>{{1, 1, 3, 1}}));
}

TEST(NpRequest, TemporalLayerTakesBothSkipDmaEngines) {
  RequestFixture f;
  const auto t = make_layer("t", LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 4}}, shape3(4, 4, 4));
  const auto [components, status] = f.request(t);
  ASSERT_FALSE(status.failed) << status.to_string();
  std::vector<Type> types;
  for (const auto& c : components) types.push_back(c.type);
  EXPECT_EQ(types, (std::vector<Type>{Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}));
  EXPECT_EQ(components[0].ident, Ident(4, 1, 0));
}

TEST(NpRequest, RoomForTheNextTemporalLayer) {
  // One skip-DMA channel: taken by an earlier layer, the temporal layer that follows has no store.
  RequestFixture f(request_mesh(1));
  auto src = conv("src"), t = make_layer("t", LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 4}}, shape3(4, 4, 4));
  connect(src, t);
  f.mapper.allocate_np({1, 1, 3, 0}, Type::SKIP_DMA_STORE);
  auto [components, status] = f.request(src);
  EXPECT_EQ(status.to_string(), "Cannot map layer 'src'. The next BufferTempConv t can't be mapped in the current pass.");
  EXPECT_FALSE(f.new_pass);

  // Allowed to open a new pass: every NP is freed and the layer placed again in the new pass.
  RequestFixture g(request_mesh(1));
  connect(conv("unused"), t);  // t keeps its inbound; src2 has t as its only outbound
  auto src2 = conv("src2");
  connect(src2, t);
  g.mapper.allocate_np({1, 1, 3, 0}, Type::SKIP_DMA_STORE);
  g.mapper.allocate_np({1, 1, 0}, Type::None);
  std::tie(components, status) = g.request(src2, {}, true);
  ASSERT_FALSE(status.failed) << status.to_string();
  EXPECT_TRUE(g.new_pass);
  EXPECT_EQ(idents(components), (std::vector<Ident>{{1, 1, 0}}));
  EXPECT_EQ(g.constraints.offers.size(), 2u);  // two attempts

  // Enough temporal NPs counted with the reserved ones: success.
  RequestFixture h(request_mesh(1));
  auto src3 = conv("src3");
  connect(src3, t);
  std::tie(components, status) = h.request(src3, {{4, 1, 0}});
  EXPECT_FALSE(status.failed) << status.to_string();
  // Not enough temporal NPs: refused.
  RequestFixture k(request_mesh(1));
  auto src4 = conv("src4");
  connect(src4, t);
  k.mapper.allocate_np({4, 1, 0}, Type::None);
  k.mapper.allocate_np({4, 1, 1}, Type::None);
  EXPECT_TRUE(k.request(src4).second.failed);
}

TEST(NpRequest, NoSecondAttemptWithoutANewPass) {
  // The next temporal layer finds no free store channel and no new pass may be opened: the layer is
  // placed once and refused; a second attempt would only take more NPs for a layer that fails anyway.
  RequestFixture f(request_mesh(1));
  auto src = conv("src"), t = make_layer("t", LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 4}}, shape3(4, 4, 4));
  connect(src, t);
  f.mapper.allocate_np({1, 1, 3, 0}, Type::SKIP_DMA_STORE);
  const auto [components, status] = f.request(src);
  EXPECT_EQ(status.to_string(), "Cannot map layer 'src'. The next BufferTempConv t can't be mapped in the current pass.");
  EXPECT_FALSE(f.new_pass);
  EXPECT_EQ(idents(components), (std::vector<Ident>{{1, 1, 0}}));
  EXPECT_EQ(f.constraints.offers.size(), 1u);
  EXPECT_EQ(f.mapper.available_nps(Type::CNP1), (std::vector<Ident>{{1, 1, 1}, {2, 1, 0}}));
}

TEST(NpRequest, SanitizeLooksOnlyAtASingleTemporalSuccessor) {
  RequestFixture f(request_mesh(0));
  auto a = conv("a"), b = conv("b");
  connect(a, b);
  bool new_pass = false;
  EXPECT_FALSE(f.mapper.sanitize_tnp_b(*a, &new_pass, true).failed);
  auto t = make_layer("t", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}}, shape3(4, 4, 4));
  EXPECT_FALSE(f.mapper.sanitize_tnp_b(*t, &new_pass, true).failed);  // itself temporal
  auto c = conv("c");
  connect(c, t);
  EXPECT_EQ(f.mapper.sanitize_tnp_b(*c, &new_pass, true).message,
            "The next BufferTempConv t can't be mapped in the current pass.");
  EXPECT_TRUE(new_pass);
}

}  // namespace
}  // namespace ovrix
