#include "mapping/layer_mapping.h"

#include <gtest/gtest.h>

#include "support/driver_fakes.h"
#include "mapping/hardware_pass.h"
#include "mapping/skipdma_channels.h"

namespace ovrix::driver_test {
namespace {

using hw::Component;
using hw::Ident;
using hw::Type;

constexpr Ident kDma(0, 0, 1);

Component np_at(Type type, Ident ident) {
  Component c(type, hw::NpMapping{});
  c.ident = ident;
  return c;
}
Component engine(Type type, uint8_t channel) {
  Component c(type);
  c.ident = Ident(0, 2, 0, channel);
  return c;
}
std::vector<Component> cnp(uint8_t id) { return {np_at(Type::CNP1, Ident(1, 1, id))}; }

// ---- accessors ----

struct StoreIndexRow {
  size_t stores;
  bool merge_info;
  bool dual;
  int32_t store, dual_store;
};

TEST(LayerMappingAccessors, StoreIndexes) {
  const StoreIndexRow rows[] = {
      {0, false, false, -1, -1}, {1, false, false, 0, -1}, {1, true, false, 0, -1}, {1, true, true, -1, 0},
      {2, false, false, 0, -1},  {2, true, true, 0, 1},    {3, false, false, -1, -1}, {3, true, true, -1, 2},
  };
  for (const auto& row : rows) {
    LayerMapping m;
    for (size_t i = 0; i < row.stores; ++i) m.skipdma_stores.push_back(engine(Type::SKIP_DMA_STORE, uint8_t(i)));
    if (row.merge_info) {
      m.merge_info = std::make_unique<MergeLayerMapInfo>();
      m.merge_info->dual_output = row.dual;
    }
    SCOPED_TRACE(::testing::Message() << row.stores << " stores, dual " << row.dual);
    EXPECT_EQ(m.get_skipdma_store_index(), row.store);
    EXPECT_EQ(m.get_skipdma_store_dual_output_index(), row.dual_store);
    EXPECT_EQ(m.skipdma_store(), row.store < 0 ? nullptr : &m.skipdma_stores[row.store]);
    EXPECT_EQ(m.skipdma_store_dual_output(), row.dual_store < 0 ? nullptr : &m.skipdma_stores[row.dual_store]);
  }
  LayerMapping m;
  EXPECT_EQ(m.skipdma_load(), nullptr);
  m.skipdma_loads = {engine(Type::SKIP_DMA_LOAD, 3), engine(Type::SKIP_DMA_LOAD, 4)};
  EXPECT_EQ(m.skipdma_load(), &m.skipdma_loads.front());
  EXPECT_EQ(m.output_index, 255);
}

TEST(LayerMappingAccessors, RequiredMappingNamesTheLayer) {
  auto a = conv("a");
  EXPECT_EQ(runtime_message([&] { require_layer_mapping(*a); }), "Layer 'a' has no hardware mapping.");
}

// ---- one pass ----

TEST(LayerMappingPass, PositionNumbersCountTemporalLayersTwice) {
  auto in = input_layer();
  auto a = conv("a");
  auto t = temporal("t", 3);
  auto b = conv("b");
  chain({in, a, t, b});
  const LayerList pass = as_list({in, a, t, b});
  LayerMappingBuilder::build_layer_mapping(
      pass, pass, {{}, cnp(0), {np_at(Type::TNP_B, Ident(30, 3, 0)), engine(Type::SKIP_DMA_STORE, 0),
                                 engine(Type::SKIP_DMA_LOAD, 1)},
                   cnp(1)},
      kDma);
  EXPECT_EQ(mapping_of(in)->index, 0);
  EXPECT_EQ(mapping_of(a)->index, 1);
  EXPECT_EQ(mapping_of(t)->index, 3);
  EXPECT_EQ(mapping_of(b)->index, 4);
  // The engines go to their own lists; the temporal layer knows it has them.
  EXPECT_EQ(mapping_of(t)->nps->size(), 1u);
  EXPECT_EQ(mapping_of(t)->skipdma_stores.size(), 1u);
  EXPECT_EQ(mapping_of(t)->skipdma_loads.size(), 1u);
  EXPECT_TRUE(mapping_of(t)->tnp_b_with_skip_dma);
  EXPECT_FALSE(mapping_of(a)->tnp_b_with_skip_dma);
  // The temporal FIFO: store (fifo_size + 1, direct, place in the sequence), load on its first number.
  const auto& store = *mapping_of(t)->store_channel_info;
  EXPECT_EQ(store.depth, 4);
  EXPECT_EQ(store.direct, 1);
  EXPECT_EQ(store.slot, 2);
  const auto& load = *mapping_of(t)->load_channel_info;
  EXPECT_EQ(load.channel, 2);
  EXPECT_EQ(load.depth, 4);
  EXPECT_EQ(load.slot, 2);
  EXPECT_EQ(load.sram_shift, 0u);
  // The layer before it feeds its NP and, through a copy of the list, its FIFO load.
  const auto& dests = mapping_of(a)->destinations;
  ASSERT_EQ(dests.size(), 2u);
  EXPECT_EQ(dests[0], mapping_of(t)->nps);
  EXPECT_EQ(*dests[1], mapping_of(t)->skipdma_loads);
  EXPECT_EQ(mapping_of(a)->output_index, 3);
}

TEST(LayerMappingPass, ChainLinksShareComponentLists) {
  auto in = input_layer();
  auto a = conv("a");
  auto b = conv("b");
  auto c = conv("c");
  chain({in, a, b, c});
  const LayerList pass = as_list({in, a, b, c});
  LayerMappingBuilder::build_layer_mapping(pass, pass, {{}, cnp(0), cnp(1), cnp(2)}, kDma);

  const auto ma = mapping_of(a), mb = mapping_of(b), mc = mapping_of(c);
  // The first mappable layer reads from the DMA, the last writes to it.
  ASSERT_EQ(ma->sources.size(), 2u);
  EXPECT_EQ(ma->sources[0]->front().type, Type::DMA);
  EXPECT_EQ(ma->sources[0]->front().ident, kDma);
  EXPECT_EQ(ma->sources[1], mapping_of(in)->nps);  // the input layer holds no NP
  ASSERT_EQ(mc->destinations.size(), 1u);
  EXPECT_EQ(mc->destinations[0]->front().type, Type::DMA);
  EXPECT_TRUE(mc->output_to_dma);
  EXPECT_FALSE(mb->output_to_dma);
  // Neighbours are linked by pointer: a later change of b's NPs shows through a's destinations.
  ASSERT_EQ(ma->destinations.size(), 1u);
  EXPECT_EQ(ma->destinations[0], mb->nps);
  ASSERT_EQ(mb->sources.size(), 1u);
  EXPECT_EQ(mb->sources[0], ma->nps);
  mb->nps->front().ident.id = 9;
  EXPECT_EQ(ma->destinations[0]->front().ident.id, 9);
  EXPECT_EQ(ma->output_index, mb->index);
  EXPECT_EQ(mb->output_index, mc->index);
  EXPECT_EQ(mc->output_index, 255);
}

TEST(LayerMappingPass, SingleLayerPassReadsAndWritesTheDma) {
  auto a = conv("a");
  LayerMappingBuilder::build_layer_mapping(as_list({a}), as_list({a}), {cnp(0)}, kDma);
  const auto m = mapping_of(a);
  EXPECT_EQ(m->index, 1);
  ASSERT_EQ(m->sources.size(), 1u);
  EXPECT_EQ(m->sources[0]->front().type, Type::DMA);
  ASSERT_EQ(m->destinations.size(), 1u);
  EXPECT_EQ(m->destinations[0]->front().type, Type::DMA);
  EXPECT_TRUE(m->output_to_dma);
}

TEST(LayerMappingPass, HrcFirstLayerReadsFromTheHrc) {
  auto h = make("h", LayerType::InputConv2D);
  auto a = conv("a");
  chain({h, a});
  LayerMappingBuilder::build_layer_mapping(as_list({h, a}), as_list({h, a}), {{Component(Type::HRC)}, cnp(0)}, kDma);
  const auto mh = mapping_of(h);
  EXPECT_EQ(mh->index, 0);
  ASSERT_EQ(mh->sources.size(), 1u);
  EXPECT_EQ(mh->sources[0]->front().type, Type::HRC);
  EXPECT_EQ(mh->sources[0]->front().ident, Ident());
  EXPECT_EQ(mapping_of(a)->index, 1);
  EXPECT_EQ(mapping_of(a)->sources.size(), 1u);  // only h's components, no DMA input
}

TEST(LayerMappingPass, ComponentListsMustMatchTheLayers) {
  auto a = conv("a");
  auto b = conv("b");
  chain({a, b});
  EXPECT_THROW(LayerMappingBuilder::build_layer_mapping(as_list({a, b}), as_list({a, b}), {cnp(0)}, kDma),
               std::invalid_argument);
  EXPECT_EQ(a->mapping(), nullptr);
}

// ---- skip connections ----

// in -> a -> b -> c -> add -> d, with a also feeding add (the skip branch).
struct Residual {
  TestLayerPtr in = input_layer(), a = conv("a"), b = conv("b"), c = conv("c"), d = conv("d");
  TestLayerPtr add = make("add", LayerType::Add);
  explicit Residual(bool deep_input_first = true) {
    chain({in, a, b, c});
    if (deep_input_first) {
      connect(c, add);
      connect(a, add);
    } else {
      connect(a, add);
      connect(c, add);
    }
    connect(add, d);
  }
  std::vector<TestLayerPtr> order() const { return {in, a, b, c, add, d}; }
  ComponentLists components() const {
    return {{},
            {np_at(Type::CNP1, Ident(1, 1, 0)), engine(Type::SKIP_DMA_STORE, 0)},
            cnp(1),
            cnp(2),
            {},
            {np_at(Type::CNP1, Ident(1, 1, 3)), engine(Type::SKIP_DMA_LOAD, 1)}};
  }
};

TEST(SkipDmaChannels, ResidualAddStoreLoadAndMerge) {
  Residual g;
  const LayerList pass = as_list(g.order());
  LayerMappingBuilder::build_layer_mapping(pass, pass, g.components(), kDma);

  // a opens the skip branch: its store, depth gap 2 (a at 2, the add at 4), slot 1 + 2 x 1.
  const auto ma = mapping_of(g.a);
  ASSERT_TRUE(ma->store_channel_info);
  EXPECT_EQ(ma->store_channel_info->depth, 2);
  EXPECT_EQ(ma->store_channel_info->direct, 0);
  EXPECT_EQ(ma->store_channel_info->slot, 3);
  EXPECT_EQ(ma->output_index, mapping_of(g.b)->index);

  // d merges: 6 sequence layers give base 7; a and d need engines, so d's block starts at 15.
  const auto md = mapping_of(g.d);
  ASSERT_TRUE(md->merge_info);
  EXPECT_TRUE(md->merge_info->is_add);
  EXPECT_EQ(md->merge_info->channel, 16);
  EXPECT_FALSE(md->merge_info->dual_output);
  EXPECT_TRUE(md->merge_info->not_first);
  ASSERT_TRUE(md->load_channel_info);
  EXPECT_EQ(md->load_channel_info->channel, 15);
  EXPECT_EQ(md->load_channel_info->depth, 2);
  EXPECT_EQ(md->load_channel_info->slot, ma->store_channel_info->slot);
  EXPECT_EQ(md->load_channel_info->sram_shift, 0u);
  // The merge is fed by the deeper branch's last layer.
  EXPECT_EQ(md->sources.back(), mapping_of(g.c)->nps);
  EXPECT_EQ(mapping_of(g.c)->output_index, md->index);
  // The add itself holds no position and no links.
  EXPECT_EQ(mapping_of(g.add)->index, 255);
  EXPECT_TRUE(mapping_of(g.add)->sources.empty());
  EXPECT_TRUE(mapping_of(g.add)->destinations.empty());
}

TEST(SkipDmaChannels, AddShiftsBelongToTheDeeperInput) {
  for (bool deep_first : {true, false}) {
    Residual g(deep_first);
    auto a_shift = std::shared_ptr<Dense>(Dense::create(TensorType::uint8, Shape{4}));
    auto b_shift = std::shared_ptr<Dense>(Dense::create(TensorType::uint8, Shape{4}));
    auto out_shift = std::shared_ptr<Dense>(Dense::create(TensorType::int8, Shape{4}));
    g.add->vars->set("a_shift", a_shift);
    g.add->vars->set("b_shift", b_shift);
    g.add->vars->set("output_shift", out_shift);
    const LayerList pass = as_list(g.order());
    LayerMappingBuilder::build_layer_mapping(pass, pass, g.components(), kDma);
    const auto& info = *mapping_of(g.d)->merge_info;
    SCOPED_TRACE(deep_first);
    // The add's first input is c (deeper) or a (shallower, so the shifts are exchanged).
    EXPECT_EQ(info.a_shift, deep_first ? a_shift : b_shift);
    EXPECT_EQ(info.b_shift, deep_first ? b_shift : a_shift);
    EXPECT_EQ(info.output_shift, out_shift);
  }
}

TEST(SkipDmaChannels, StoreFeedingASkipLayerDirectlyTakesChannelKPlus2) {
  // c's only outbound layer is the skip-DMA layer; a has two outbound layers.
  Residual g;
  const LayerList pass = as_list(g.order());
  ComponentLists components = g.components();
  components[3].push_back(engine(Type::SKIP_DMA_STORE, 5));
  LayerMappingBuilder::map_standalone(pass, components, kDma);
  DepthMemo memo;
  set_skipdma_store_channel_info(g.c, pass, pass, &memo);
  set_skipdma_store_channel_info(g.a, pass, pass, &memo);
  const auto mc = mapping_of(g.c);
  EXPECT_EQ(mc->store_channel_info->direct, 1);
  // Block of c: base 7 plus 4 for a (c itself needs no engine by the graph); its output on k + 2.
  EXPECT_EQ(mc->output_index, 7 + 4 + 2);
  EXPECT_EQ(mc->store_channel_info->depth, 0);  // the add shares c's depth
  const auto ma = mapping_of(g.a);
  EXPECT_EQ(ma->store_channel_info->direct, 0);
  EXPECT_EQ(ma->output_index, 255);
}

TEST(SkipDmaChannels, ChannelBlockCountsPassLayersNeedingEngines) {
  // Five sequence layers (base 6); the pass's second and fourth layers need a store: block 14.
  Residual g;
  const LayerList sequence = as_list({g.in, g.a, g.b, g.c, g.add});
  const LayerList pass = as_list({g.b, g.a, g.c, g.d});
  EXPECT_EQ(skipdma_channel_base(g.b, pass, sequence), 6u);      // first entry
  EXPECT_EQ(skipdma_channel_base(g.a, pass, sequence), 10u);     // a counts itself
  EXPECT_EQ(skipdma_channel_base(g.d, pass, sequence), 14u);     // a and d
  EXPECT_EQ(skipdma_channel_base(g.add, pass, sequence), 14u);   // absent: the whole pass
  EXPECT_EQ(skipdma_store_slot(g.in, sequence), 1u);             // first entry
  EXPECT_EQ(skipdma_store_slot(g.a, sequence), 3u);
  EXPECT_EQ(skipdma_dual_output_slot(g.a, sequence), 4u);
  EXPECT_EQ(skipdma_store_slot(g.d, sequence), 3u);  // absent: the whole list
}

// in -> a -> b -> c -> cat -> d with a -> cat; cat's inputs in the given order.
struct Concat {
  TestLayerPtr in = input_layer(), a = conv("a"), b = conv("b"), c = conv("c"), d = conv("d");
  TestLayerPtr cat = make("cat", LayerType::Concatenate);
  explicit Concat(bool shallow_first) {
    chain({in, a, b, c});
    a->output = shape3(8, 8, 6);
    c->output = shape3(8, 8, 10);
    if (shallow_first) {
      connect(a, cat);
      connect(c, cat);
    } else {
      connect(c, cat);
      connect(a, cat);
    }
    connect(cat, d);
  }
};

TEST(SkipDmaChannels, ConcatenateSramShifts) {
  for (bool shallow_first : {true, false}) {
    Concat g(shallow_first);
    const LayerList pass = as_list({g.in, g.a, g.b, g.c, g.cat, g.d});
    ComponentLists components = {{},
                                 {np_at(Type::CNP1, Ident(1, 1, 0)), engine(Type::SKIP_DMA_STORE, 0)},
                                 cnp(1),
                                 cnp(2),
                                 {},
                                 {np_at(Type::CNP1, Ident(1, 1, 3)), engine(Type::SKIP_DMA_LOAD, 1)}};
    LayerMappingBuilder::build_layer_mapping(pass, pass, components, kDma);
    SCOPED_TRACE(shallow_first);
    const auto mc = mapping_of(g.c);
    const auto md = mapping_of(g.d);
    ASSERT_TRUE(md->merge_info);
    EXPECT_FALSE(md->merge_info->is_add);
    ASSERT_TRUE(md->load_channel_info);
    if (shallow_first) {
      // The deeper second input writes after the first input's 6 channels.
      ASSERT_TRUE(mc->output_sram_shift);
      EXPECT_EQ(*mc->output_sram_shift, 6u);
      EXPECT_EQ(md->load_channel_info->sram_shift, 0u);
    } else {
      // The second input is the shallower one: nothing shifts its output; the load carries c's 10.
      EXPECT_FALSE(mc->output_sram_shift);
      EXPECT_FALSE(mapping_of(g.a)->output_sram_shift);
      EXPECT_EQ(md->load_channel_info->sram_shift, 10u);
    }
  }
}

// in -> a -> p -> add1 <- a; add1 -> d -> g -> add2 -> h; add1 -> add2 skips d and g, so d's dual
// output goes to a store and h's load reads it.
struct DualOutput {
  TestLayerPtr in = input_layer(), a = conv("a"), p = conv("p"), d = conv("d"), g = conv("g"), h = conv("h");
  TestLayerPtr add1 = make("add1", LayerType::Add), add2 = make("add2", LayerType::Add);
  DualOutput() {
    chain({in, a, p});
    connect(p, add1);
    connect(a, add1);
    connect(add1, d);
    connect(d, g);
    connect(g, add2);
    connect(add1, add2);
    connect(add2, h);
  }
  std::vector<TestLayerPtr> order() const { return {in, a, p, add1, d, g, add2, h}; }
};

TEST(SkipDmaChannels, DualOutputToStoreDmaPairsWithTheLaterLoad) {
  DualOutput x;
  ASSERT_TRUE(is_dual_output_layer(x.d));
  ASSERT_TRUE(is_dual_output_to_store_dma(x.d));
  const LayerList pass = as_list(x.order());
  ComponentLists components = {{},
                               {np_at(Type::CNP1, Ident(1, 1, 0)), engine(Type::SKIP_DMA_STORE, 0)},
                               cnp(1),
                               {},
                               {np_at(Type::CNP1, Ident(1, 1, 2)), engine(Type::SKIP_DMA_LOAD, 1),
                                engine(Type::SKIP_DMA_STORE, 2)},
                               cnp(3),
                               {},
                               {np_at(Type::CNP2, Ident(2, 1, 0)), engine(Type::SKIP_DMA_LOAD, 3)}};
  LayerMappingBuilder::build_layer_mapping(pass, pass, components, kDma);
  const auto md = mapping_of(x.d);
  // One store and a dual output: the store serves the dual output only.
  EXPECT_EQ(md->skipdma_store(), nullptr);
  ASSERT_NE(md->skipdma_store_dual_output(), nullptr);
  EXPECT_FALSE(md->store_channel_info);
  ASSERT_TRUE(md->store_dual_output_channel_info);
  // Depth gap after the split add1 (depth 3): d at 4, add2 at 5.
  EXPECT_EQ(md->store_dual_output_channel_info->depth, 2);
  EXPECT_EQ(md->store_dual_output_channel_info->direct, 0);
  // Slots: a (store) and d (dual output) count: d's dual slot is 2 + 2 x 2.
  EXPECT_EQ(md->store_dual_output_channel_info->slot, 6);
  // Base 9; a and d need engines: d's block is 17..20, the dual output leaves on 20.
  ASSERT_TRUE(md->merge_info);
  EXPECT_TRUE(md->merge_info->dual_output);
  EXPECT_EQ(md->merge_info->channel, 18);
  EXPECT_EQ(md->merge_info->dual_output_target, 20);
  // h reads the dual-output store.
  const auto mh = mapping_of(x.h);
  ASSERT_TRUE(mh->load_channel_info);
  EXPECT_EQ(mh->load_channel_info->slot, md->store_dual_output_channel_info->slot);
  EXPECT_EQ(mh->load_channel_info->depth, 2);  // g at 5, add1 at 3
}

TEST(SkipDmaChannels, DualOutputToANeighbourTargetsItsPosition) {
  // add1 feeds d and e of the same depth; d -> g -> add2 <- e -> ... -> h.
  auto in = input_layer();
  auto a = conv("a"), p = conv("p"), d = conv("d"), e = conv("e"), g = conv("g"), h = conv("h");
  auto add1 = make("add1", LayerType::Add), add2 = make("add2", LayerType::Add);
  chain({in, a, p});
  connect(p, add1);
  connect(a, add1);
  connect(add1, d);
  connect(add1, e);
  connect(d, g);
  connect(g, add2);
  connect(e, add2);
  connect(add2, h);
  ASSERT_TRUE(is_dual_output_layer(d));
  ASSERT_FALSE(is_dual_output_to_store_dma(d));
  const LayerList pass = as_list({in, a, p, add1, d, e, g, add2, h});
  ComponentLists components = {{},
                               {np_at(Type::CNP1, Ident(1, 1, 0)), engine(Type::SKIP_DMA_STORE, 0)},
                               cnp(1),
                               {},
                               {np_at(Type::CNP1, Ident(1, 1, 2)), engine(Type::SKIP_DMA_LOAD, 1)},
                               {np_at(Type::CNP1, Ident(1, 1, 3)), engine(Type::SKIP_DMA_STORE, 2)},
                               {np_at(Type::CNP2, Ident(2, 1, 1))},
                               {},
                               {np_at(Type::CNP2, Ident(2, 1, 0)), engine(Type::SKIP_DMA_LOAD, 3)}};
  LayerMappingBuilder::build_layer_mapping(pass, pass, components, kDma);
  const auto md = mapping_of(d);
  EXPECT_TRUE(md->merge_info->dual_output);
  EXPECT_EQ(md->merge_info->dual_output_target, mapping_of(e)->index);
  EXPECT_FALSE(md->store_dual_output_channel_info);
  // h reads the store of e, the shallower source of add2.
  EXPECT_EQ(mapping_of(h)->load_channel_info->slot, mapping_of(e)->store_channel_info->slot);

  // The same graph with e left for a later pass cannot be mapped.
  const LayerList without_e = as_list({in, a, p, add1, d});
  ComponentLists fewer(components.begin(), components.begin() + 5);
  EXPECT_EQ(runtime_message([&] { LayerMappingBuilder::build_layer_mapping(without_e, without_e, fewer, kDma); }),
            "Cannot map layer 'd'. Hardware partial reconfiguration with layers on the second branch is not "
            "supported.");
}

// in -> a; a -> b and a -> c (same depth); b, c -> cat -> d.
TEST(SkipDmaChannels, AlternativeBranchLayerFeedsBothBranches) {
  auto in = input_layer();
  auto a = conv("a"), b = conv("b"), c = conv("c"), d = conv("d");
  auto cat = make("cat", LayerType::Concatenate);
  chain({in, a, b});
  connect(a, c);
  connect(b, cat);
  connect(c, cat);
  connect(cat, d);
  const LayerList pass = as_list({in, a, b, c, cat, d});
  ComponentLists components = {{},
                               cnp(0),
                               {np_at(Type::CNP1, Ident(1, 1, 1)), np_at(Type::CNP1, Ident(1, 1, 2)),
                                engine(Type::SKIP_DMA_STORE, 0)},
                               {np_at(Type::CNP2, Ident(2, 1, 0))},
                               {},
                               {np_at(Type::CNP2, Ident(2, 1, 1)), engine(Type::SKIP_DMA_LOAD, 1)}};
  LayerMappingBuilder::build_layer_mapping(pass, pass, components, kDma);
  const auto ma = mapping_of(a), mb = mapping_of(b), mc = mapping_of(c);
  ASSERT_TRUE(mb->alt_info);
  ASSERT_TRUE(mc->alt_info);
  EXPECT_EQ(mb->alt_info->is_second, 0);
  EXPECT_EQ(mb->alt_info->first_branch_index, 0);
  EXPECT_EQ(mb->alt_info->component_count, 3u);
  EXPECT_EQ(mc->alt_info->is_second, 1);
  EXPECT_EQ(mc->alt_info->first_branch_index, mb->index);
  EXPECT_EQ(mc->alt_info->component_count, 3u);
  EXPECT_EQ(ma->output_index, mb->index);
  // Both branches, once each: the branches' own links do not add a again.
  ASSERT_EQ(ma->destinations.size(), 2u);
  EXPECT_EQ(ma->destinations[0], mb->nps);
  EXPECT_EQ(ma->destinations[1], mc->nps);
  EXPECT_EQ(mc->sources.back(), ma->nps);

  // With c outside the pass, a cannot open its branches.
  const LayerList partial = as_list({in, a, b});
  ComponentLists fewer(components.begin(), components.begin() + 3);
  EXPECT_EQ(runtime_message([&] { LayerMappingBuilder::build_layer_mapping(partial, partial, fewer, kDma); }),
            "Cannot map layer 'a'. Hardware partial reconfiguration with layers on the second branch is not "
            "supported.");
}

TEST(SkipDmaChannels, TemporalLayerMissingFromTheSequence) {
  auto in = input_layer();
  auto t = temporal("t", 2);
  chain({in, t});
  const LayerList pass = as_list({in, t});
  ComponentLists components = {
      {}, {np_at(Type::TNP_B, Ident(30, 3, 0)), engine(Type::SKIP_DMA_STORE, 0), engine(Type::SKIP_DMA_LOAD, 1)}};
  EXPECT_EQ(runtime_message([&] { LayerMappingBuilder::build_layer_mapping(pass, as_list({in}), components, kDma); }),
            "Cannot map layer 't'. Layer not found in the sequence.");
}

// ---- 8-bit numbers ----

LayerList padded(size_t count, const LayerList& tail) {
  LayerList out;
  for (size_t i = 0; i < count; ++i) out.push_back(input_layer("pad" + std::to_string(i)));
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

TEST(SkipDmaChannels, ChannelNumbersBeyond254AreRefused) {
  // d's merge channel is (sequence size + 1) + 8 + 1: 254 with 238 padding layers fits, 255 does not.
  for (size_t pad : {size_t(238), size_t(239)}) {
    Residual g;
    const LayerList pass = as_list(g.order());
    const LayerList sequence = padded(pad, pass);
    SCOPED_TRACE(pad);
    if (pad == 238) {
      ASSERT_NO_THROW(LayerMappingBuilder::build_layer_mapping(pass, sequence, g.components(), kDma));
      EXPECT_EQ(mapping_of(g.d)->merge_info->channel, 254);
      EXPECT_EQ(mapping_of(g.d)->load_channel_info->channel, 253);
    } else {
      EXPECT_EQ(runtime_message([&] { LayerMappingBuilder::build_layer_mapping(pass, sequence, g.components(), kDma); }),
                "Cannot map layer 'd'. The skip-DMA channel number 255 does not fit in 8 bits: the model needs too "
                "many skip connections.");
    }
  }
}

TEST(SkipDmaChannels, SlotNumbersBeyond255AreRefused) {
  // A temporal layer's slot is its place in the sequence.
  for (size_t pad : {size_t(255), size_t(256)}) {
    auto in = input_layer();
    auto t = temporal("t", 2);
    chain({in, t});
    const LayerList pass = as_list({in, t});
    const LayerList sequence = padded(pad, as_list({t}));
    ComponentLists components = {
        {}, {np_at(Type::TNP_B, Ident(30, 3, 0)), engine(Type::SKIP_DMA_STORE, 0), engine(Type::SKIP_DMA_LOAD, 1)}};
    SCOPED_TRACE(pad);
    if (pad == 255) {
      ASSERT_NO_THROW(LayerMappingBuilder::build_layer_mapping(pass, sequence, components, kDma));
      EXPECT_EQ(mapping_of(t)->store_channel_info->slot, 255);
    } else {
      EXPECT_EQ(runtime_message([&] { LayerMappingBuilder::build_layer_mapping(pass, sequence, components, kDma); }),
                "Cannot map layer 't'. The skip-DMA slot number 256 does not fit in 8 bits: the model needs too many "
                "skip connections.");
    }
  }
}

TEST(SkipDmaChannels, PositionNumbersBeyond254AreRefused) {
  std::vector<TestLayerPtr> layers;
  ComponentLists components;
  for (int i = 0; i < 255; ++i) {
    layers.push_back(conv("c" + std::to_string(i)));
    components.push_back(cnp(0));
  }
  chain(layers);
  const LayerList pass = as_list(layers);
  EXPECT_EQ(runtime_message([&] { LayerMappingBuilder::map_standalone(pass, components, kDma); }),
            "Cannot map layer 'c254'. The position number 255 does not fit in 8 bits: the model needs too many layers "
            "in one hardware pass.");
  layers.pop_back();
  components.pop_back();
  LayerMappingBuilder::map_standalone(as_list(layers), components, kDma);
  EXPECT_EQ(mapping_of(layers.back())->index, 254);
}

// ---- passes ----

TEST(HardwarePassLinks, SecondPassTakesOverThePreviousOutput) {
  auto in = input_layer();
  auto a = conv("a"), b = conv("b"), c = conv("c");
  chain({in, a, b, c});
  const LayerList sequence = as_list({in, a, b, c});
  auto first = std::make_shared<HardwarePass>(as_list({in, a, b}), sequence, ComponentLists{{}, cnp(0), cnp(1)}, kDma,
                                              nullptr);
  const auto mb = mapping_of(b);
  EXPECT_TRUE(mb->output_to_dma);
  auto second = std::make_shared<HardwarePass>(as_list({c}), sequence, ComponentLists{cnp(0)}, kDma, first);
  const auto mc = mapping_of(c);
  EXPECT_FALSE(mb->output_to_dma);
  ASSERT_EQ(mb->destinations.size(), 1u);
  EXPECT_EQ(mb->destinations[0], mc->nps);
  EXPECT_EQ(mb->output_index, mb->index + 1);
  EXPECT_EQ(mc->input_index, mb->index + 1);
  // The DMA input stays first, then the previous pass's NPs.
  ASSERT_EQ(mc->sources.size(), 2u);
  EXPECT_EQ(mc->sources[0]->front().type, Type::DMA);
  EXPECT_EQ(mc->sources[1], mb->nps);
  EXPECT_EQ(first->size(), 3u);
  EXPECT_EQ(second->size(), 1u);
}

TEST(HardwarePassLinks, DestroyingAPassUnmapsItsLayersButNotALaterMapping) {
  auto a = conv("a");
  auto first = std::make_shared<HardwarePass>(as_list({a}), as_list({a}), ComponentLists{cnp(0)}, kDma, nullptr);
  ASSERT_NE(a->mapping(), nullptr);
  auto second = std::make_shared<HardwarePass>(as_list({a}), as_list({a}), ComponentLists{cnp(1)}, kDma, nullptr);
  const auto newer = a->mapping();
  first.reset();
  EXPECT_EQ(a->mapping(), newer);
  second.reset();
  EXPECT_EQ(a->mapping(), nullptr);
}

TEST(HardwarePassLinks, LinkingNeedsMappedLayers) {
  auto a = conv("a"), b = conv("b");
  chain({a, b});
  LayerMappingBuilder::build_layer_mapping(as_list({b}), as_list({a, b}), {cnp(1)}, kDma);
  EXPECT_EQ(runtime_message([&] { LayerMappingBuilder::link_to_previous_pass(b, a); }),
            "Layer 'a' has no hardware mapping.");
  EXPECT_EQ(mapping_of(b)->sources.size(), 1u) << "nothing linked";
  EXPECT_EQ(runtime_message([&] { LayerMappingBuilder::link_to_previous_pass(nullptr, a); }),
            "Consecutive hardware passes need a layer running on hardware on each side.");
}

TEST(HardwarePassLinks, FailedPassLeavesNoMappingBehind) {
  Residual g;
  const LayerList pass = as_list(g.order());
  const LayerList sequence = padded(239, pass);
  EXPECT_THROW(HardwarePass(pass, sequence, g.components(), kDma, nullptr), std::runtime_error);
  for (const auto& layer : g.order()) EXPECT_EQ(layer->mapping(), nullptr) << layer->get_name();
}

}  // namespace
}  // namespace ovrix::driver_test
