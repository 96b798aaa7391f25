#include "mapping/mapping_driver.h"

#include <gtest/gtest.h>

#include "support/driver_fakes.h"
#include "mapping/hardware_sequence.h"

namespace ovrix::driver_test {
namespace {

using hw::Ident;
using hw::Type;

std::shared_ptr<HardwareSequence> only_sequence(const DriverRig& rig) {
  EXPECT_EQ(rig.sequences.size(), 1u);
  return rig.sequences.empty() ? nullptr : std::dynamic_pointer_cast<HardwareSequence>(rig.sequences.front());
}

std::vector<std::vector<std::string>> pass_names(const HardwareSequence& sequence) {
  std::vector<std::vector<std::string>> out;
  for (const auto& pass : sequence.passes()) out.push_back(names(pass->layers));
  return out;
}

std::string shortage(const char* type, int available) {
  return std::string("Not enough hardware components of type ") + type + " available. 1 is needed but " +
         std::to_string(available) + (available == 1 ? " is" : " are") + " available.";
}

std::vector<TestLayerPtr> conv_chain(size_t convs) {
  std::vector<TestLayerPtr> layers{input_layer()};
  for (size_t i = 0; i < convs; ++i) layers.push_back(conv("c" + std::to_string(i + 1)));
  chain(layers);
  return layers;
}

TEST(MappingDriver, EmptyListMapsNothing) {
  DriverRig rig;
  LayerList layers;
  const MappingStatusGroup result = rig.map(&layers);
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(result.to_string(), "Success.");
  EXPECT_TRUE(rig.sequences.empty());
  EXPECT_EQ(rig.checker.sequence_checks, 0);
}

TEST(MappingDriver, FirstLayerFailingItsCheckBuildsNothing) {
  DriverRig rig;
  auto layers = conv_chain(2);
  rig.checker.incompatible["input"] = "Nope.";
  LayerList list = as_list(layers);
  const MappingStatusGroup result = rig.map(&list);
  EXPECT_TRUE(result.failed);
  ASSERT_EQ(result.statuses.size(), 1u);
  EXPECT_EQ(result.to_string(), "Cannot map layer 'input'. Nope.");
  EXPECT_EQ(rig.checker.sequence_checks, 0);
  EXPECT_TRUE(rig.sequences.empty());
  EXPECT_EQ(list.size(), 3u);
}

TEST(MappingDriver, ChainMapsIntoOneSequence) {
  DriverRig rig;
  auto layers = conv_chain(3);
  LayerList list = as_list(layers);
  const MappingStatusGroup result = rig.map(&list);
  ASSERT_FALSE(result.failed) << result.to_string();
  EXPECT_TRUE(list.empty());
  const auto sequence = only_sequence(rig);
  ASSERT_NE(sequence, nullptr);
  EXPECT_EQ(sequence->name(), "HW/input-c3");
  EXPECT_EQ(pass_names(*sequence), (std::vector<std::vector<std::string>>{{"input", "c1", "c2", "c3"}}));
  // The whole chain can end a sequence: one check. The NP layers are announced in order.
  EXPECT_EQ(rig.checker.sequence_checks, 1);
  EXPECT_EQ(rig.constraints->handled, (std::vector<std::string>{"c1", "c2", "c3"}));
  // Consecutive layers never share an NP; each component's memory comes from the sizer.
  std::vector<Ident> used;
  for (size_t i = 1; i < layers.size(); ++i) {
    const auto& nps = *mapping_of(layers[i])->nps;
    ASSERT_EQ(nps.size(), 1u);
    for (const auto& c : nps) {
      EXPECT_EQ(c.mem_info.input_size, ScriptedSizer::code(c) + 1);
      EXPECT_EQ(c.mem_info.weight_size, ScriptedSizer::code(c) + 2);
      EXPECT_EQ(c.mem_info.external_size, ScriptedSizer::code(c));
      used.push_back(c.ident);
    }
  }
  EXPECT_NE(used[0], used[1]);
  EXPECT_NE(used[1], used[2]);
  EXPECT_EQ(rig.sizer.anchors, (std::set<const Layer*>{layers[0].get()}));
}

TEST(MappingDriver, TrailingLayerThatCannotEndASequenceIsLeftOut) {
  DriverRig rig;
  auto layers = conv_chain(3);
  rig.checker.cannot_end["c3"] = "It cannot end a sequence.";
  LayerList list = as_list(layers);
  const MappingStatusGroup result = rig.map(&list);
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.to_string(), "Cannot map layer 'c3'. It cannot end a sequence.");
  EXPECT_EQ(names(list), std::vector<std::string>{"c3"});
  const auto sequence = only_sequence(rig);
  ASSERT_NE(sequence, nullptr);
  EXPECT_EQ(sequence->name(), "HW/input-c2");
  EXPECT_EQ(layers[3]->mapping(), nullptr);
  EXPECT_NE(layers[2]->mapping(), nullptr);

  // A layer that cannot end a sequence but is followed by one that can is kept.
  DriverRig again;
  auto more = conv_chain(3);
  again.checker.cannot_end["c2"] = "It cannot end a sequence.";
  LayerList all = as_list(more);
  EXPECT_FALSE(again.map(&all).failed);
  EXPECT_TRUE(all.empty());
}

TEST(MappingDriver, LayersAfterTheLongestPassingPrefixArePending) {
  DriverRig rig;
  auto layers = conv_chain(4);
  rig.checker.cannot_end = {{"c1", "c1 cannot end."}, {"c3", "c3 cannot end."}, {"c4", "c4 cannot end."}};
  LayerList list = as_list(layers);
  const MappingStatusGroup result = rig.map(&list);
  ASSERT_EQ(result.statuses.size(), 2u);
  EXPECT_EQ(result.statuses[0].message, "c3 cannot end.");
  EXPECT_EQ(result.statuses[1].message, "c4 cannot end.");
  EXPECT_EQ(names(list), (std::vector<std::string>{"c3", "c4"}));
  EXPECT_EQ(only_sequence(rig)->name(), "HW/input-c2");
  EXPECT_EQ(rig.checker.sequence_checks, 3);  // c4, c3, then c2 passes

  DriverRig none;
  auto short_chain = conv_chain(1);
  none.checker.cannot_end = {{"input", "input cannot end."}, {"c1", "c1 cannot end."}};
  LayerList all = as_list(short_chain);
  const MappingStatusGroup failed = none.map(&all);
  ASSERT_EQ(failed.statuses.size(), 2u);
  EXPECT_EQ(failed.statuses[0].layer_name, "input");
  EXPECT_EQ(failed.statuses[1].layer_name, "c1");
  EXPECT_TRUE(none.sequences.empty());
  EXPECT_EQ(all.size(), 2u);
}

TEST(MappingDriver, FailingLayerStopsTheWalkAndIsReportedLast) {
  DriverRig rig;
  auto layers = conv_chain(3);
  rig.checker.bad_mapping["c2"] = "Bad components.";
  rig.checker.cannot_end["c1"] = "It cannot end a sequence.";
  LayerList list = as_list(layers);
  const MappingStatusGroup result = rig.map(&list);
  ASSERT_EQ(result.statuses.size(), 2u);
  EXPECT_EQ(result.statuses[0].layer_name, "c1");
  EXPECT_EQ(result.statuses[1].layer_name, "c2");
  EXPECT_EQ(result.statuses[1].message, "Bad components.");
  // Only the input layer could end a sequence, and it runs on no component: nothing is built.
  EXPECT_TRUE(rig.sequences.empty());
  EXPECT_EQ(names(list), (std::vector<std::string>{"input", "c1", "c2", "c3"}));
}

TEST(MappingDriver, HrcLayerNeedsAnHrc) {
  for (bool has_hrc : {false, true}) {
    DriverRig rig(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 4, 0, 0, has_hrc));
    auto h = make("h", LayerType::InputConv2D);
    auto a = conv("a");
    chain({h, a});
    LayerList list = as_list({h, a});
    const MappingStatusGroup result = rig.map(&list);
    SCOPED_TRACE(has_hrc);
    if (!has_hrc) {
      EXPECT_EQ(result.to_string(),
                "Cannot map layer 'h'. Layer should be mapped on HRC but the device does not have this hardware "
                "component.");
      EXPECT_TRUE(rig.sequences.empty());
      EXPECT_EQ(list.size(), 2u);
      EXPECT_EQ(rig.checker.sequence_checks, 0);
    } else {
      ASSERT_FALSE(result.failed) << result.to_string();
      const auto& nps = *mapping_of(h)->nps;
      ASSERT_EQ(nps.size(), 1u);
      EXPECT_EQ(nps[0].type, Type::HRC);
      EXPECT_EQ(nps[0].ident, Ident());
      EXPECT_FALSE(nps[0].np);
      EXPECT_EQ(rig.constraints->handled, std::vector<std::string>{"a"});
    }
  }
}

TEST(MappingDriver, RecurrentFirstLayerEmptiesTheLayerList) {
  std::vector<np::Info> nps{{Ident(1, 1, 0), {Type::TNP_R}}};
  DriverRig rig(hw_versions::Lumo_Proteo, Mesh(IpVersion::lumo, Ident(0, 0, 1), Ident(0, 0, 2), std::nullopt, nps, {}));
  auto in = input_layer();
  auto r = make("r", LayerType::StatefulRecurrent), s = make("s", LayerType::StatefulRecurrent);
  auto post = make("post", LayerType::LumoPostProcessing);
  chain({in, r, s, post});
  rig.checker.cannot_end["post"] = "It cannot end a sequence.";
  LayerList list = as_list({in, r, s, post});
  const MappingStatusGroup result = rig.map(&list);
  // post is left out of the sequence, yet the list is emptied.
  EXPECT_EQ(result.to_string(), "Cannot map layer 'post'. It cannot end a sequence.");
  EXPECT_TRUE(list.empty());
  const auto sequence = only_sequence(rig);
  ASSERT_NE(sequence, nullptr);
  EXPECT_EQ(pass_names(*sequence), (std::vector<std::vector<std::string>>{{"input", "r", "s"}}));
  // s was placed with the chain, on no component of its own.
  EXPECT_TRUE(mapping_of(s)->nps->empty());
  EXPECT_EQ(rig.constraints->handled, std::vector<std::string>{"r"});
}

TEST(MappingDriver, SingleProgramDevicesNeverStartANewPass) {
  const Mesh v1_mesh = make_mesh(IpVersion::v1, 2);
  DriverRig single(hw_versions::Quor_v1, v1_mesh);
  auto layers = conv_chain(3);
  LayerList list = as_list(layers);
  const MappingStatusGroup result = single.map(&list);
  EXPECT_EQ(result.to_string(), "Cannot map layer 'c3'. " + shortage("CNP1", 0));
  EXPECT_EQ(names(list), std::vector<std::string>{"c3"});
  ASSERT_NE(only_sequence(single), nullptr);
  EXPECT_EQ(only_sequence(single)->passes().size(), 1u);

  // The same mesh on a multi-pass device: c3 opens a second pass, away from c2's NP.
  DriverRig multi(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 2));
  auto again = conv_chain(3);
  LayerList all = as_list(again);
  ASSERT_FALSE(multi.map(&all).failed);
  const auto sequence = only_sequence(multi);
  EXPECT_EQ(pass_names(*sequence), (std::vector<std::vector<std::string>>{{"input", "c1", "c2"}, {"c3"}}));
  EXPECT_NE(mapping_of(again[3])->nps->front().ident, mapping_of(again[2])->nps->front().ident);
  EXPECT_EQ(mapping_of(again[3])->nps->front().ident, mapping_of(again[1])->nps->front().ident);
  // The mapping check hears of the new pass.
  ASSERT_EQ(multi.checker.mapping_checks.size(), 3u);
  EXPECT_FALSE(multi.checker.mapping_checks[1].new_pass);
  EXPECT_TRUE(multi.checker.mapping_checks[2].new_pass);
  // In a multi-pass program every NP reads with one buffer except across the pass boundary.
  EXPECT_TRUE(mapping_of(again[1])->nps->front().np->single_buffer);
  EXPECT_EQ(mapping_of(again[3])->nps->front().mem_info.external_size,
            ScriptedSizer::code(mapping_of(again[3])->nps->front()) + 8);
}

TEST(MappingDriver, NoNewPassBeyond255Groups) {
  // Two NPs: every pair of convolutions fills a pass, so c511 would open the 256th.
  DriverRig rig(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 2));
  auto layers = conv_chain(512);
  LayerList list = as_list(layers);
  const MappingStatusGroup result = rig.map(&list);
  ASSERT_EQ(result.statuses.size(), 2u);
  // 255 passes never fit the descriptor budget; the walk's own failure is still reported.
  EXPECT_EQ(result.statuses[0].message.rfind("Model is too big.", 0), 0u) << result.statuses[0].message;
  EXPECT_EQ(result.statuses[1].layer_name, "c511");
  EXPECT_EQ(result.statuses[1].message, shortage("CNP1", 0));
  EXPECT_TRUE(rig.sequences.empty());
  EXPECT_EQ(list.size(), layers.size());
  for (const auto& layer : layers) ASSERT_EQ(layer->mapping(), nullptr) << layer->get_name();
}

TEST(MappingDriver, DenseLayersNeverReuseAnFnp2OfTheRun) {
  for (unsigned fnp2s : {2u, 1u}) {
    DriverRig rig(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 4, fnp2s));
    auto in = input_layer();
    auto f1 = dense("f1"), a = conv("a"), b = conv("b"), c = conv("c"), d = conv("d"), e = conv("e");
    auto f2 = dense("f2");
    chain({in, f1, a, b, c, d, e, f2});
    LayerList list = as_list({in, f1, a, b, c, d, e, f2});
    const MappingStatusGroup result = rig.map(&list);
    SCOPED_TRACE(fnp2s);
    if (fnp2s == 2) {
      ASSERT_FALSE(result.failed) << result.to_string();
      // f2 sits in a second pass, where every NP was free again, yet not on f1's FNP2.
      EXPECT_EQ(only_sequence(rig)->passes().size(), 2u);
      EXPECT_EQ(mapping_of(f1)->nps->front().ident, Ident(20, 2, 0));
      EXPECT_EQ(mapping_of(f2)->nps->front().ident, Ident(21, 2, 0));
    } else {
      EXPECT_EQ(result.to_string(), "Cannot map layer 'f2'. " + shortage("FNP2", 0));
      EXPECT_EQ(names(list), std::vector<std::string>{"f2"});
    }
  }
}

TEST(MappingDriver, PreviousLayerNpsAreReservedUnlessNpsLoopOnThemselves) {
  for (bool loop : {false, true}) {
    // One NP that is both a CNP and an FNP2.
    DriverRig rig(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 1, 0, 0, false, {Type::CNP1, Type::FNP2}));
    rig.constraints->set_hwpr_loopitself(loop);
    auto in = input_layer();
    auto a = conv("a");
    auto f = dense("f");
    chain({in, a, f});
    LayerList list = as_list({in, a, f});
    const MappingStatusGroup result = rig.map(&list);
    SCOPED_TRACE(loop);
    if (!loop) {
      EXPECT_EQ(result.to_string(), "Cannot map layer 'f'. " + shortage("FNP2", 0));
    } else {
      ASSERT_FALSE(result.failed) << result.to_string();
      EXPECT_EQ(pass_names(*only_sequence(rig)), (std::vector<std::vector<std::string>>{{"input", "a"}, {"f"}}));
      EXPECT_EQ(mapping_of(f)->nps->front().ident, mapping_of(a)->nps->front().ident);
    }
  }
}

TEST(MappingDriver, SkipEnginesGetTheirMemory) {
  DriverRig rig;
  auto in = input_layer();
  auto a = conv("a"), b = conv("b"), c = conv("c"), d = conv("d");
  auto add = make("add", LayerType::Add);
  chain({in, a, b, c});
  connect(c, add);
  connect(a, add);
  connect(add, d);
  LayerList list = as_list({in, a, b, c, add, d});
  ASSERT_FALSE(rig.map(&list).failed);
  const auto ma = mapping_of(a);
  ASSERT_NE(ma->skipdma_store(), nullptr);
  const hw::Component& store = *ma->skipdma_store();
  EXPECT_EQ(store.mem_info.input_size, ScriptedSizer::code(store) + 1);
  EXPECT_EQ(store.mem_info.external_size, ScriptedSizer::code(store));
  // Loads use no memory of their own.
  ASSERT_NE(mapping_of(d)->skipdma_load(), nullptr);
  EXPECT_EQ(mapping_of(d)->skipdma_load()->mem_info, MemoryInfo());
  EXPECT_EQ(mapping_of(d)->load_channel_info->slot, ma->store_channel_info->slot);
}

TEST(MappingDriver, BuildFailureAfterAnEarlierFailureReportsBoth) {
  DriverRig rig;
  auto layers = conv_chain(3);
  rig.layer_recorder.extra_tracks["c1"] = 300;
  rig.checker.incompatible["c3"] = "Unsupported here.";
  LayerList list = as_list(layers);
  const MappingStatusGroup result = rig.map(&list);
  ASSERT_EQ(result.statuses.size(), 2u);
  EXPECT_EQ(result.to_string(),
            "Cannot map layer 'c1':\n"
            "  * Layer 'c1': Model is too big. The maximum number of descriptors is more than allowed. 302 are needed "
            "but 254 are available.\n"
            "  * Layer 'c3': Unsupported here.");
  EXPECT_TRUE(rig.sequences.empty());
  EXPECT_EQ(list.size(), 4u);
  for (const auto& layer : layers) EXPECT_EQ(layer->mapping(), nullptr) << layer->get_name();

  // Without an earlier failure, the budget failure comes alone.
  DriverRig alone;
  auto more = conv_chain(2);
  alone.layer_recorder.extra_tracks["c1"] = 300;
  LayerList all = as_list(more);
  EXPECT_EQ(alone.map(&all).to_string(),
            "Cannot map layer 'c1'. Model is too big. The maximum number of descriptors is more than allowed. 302 are "
            "needed but 254 are available.");
}

TEST(MappingDriver, RecordingErrorsLeaveTheModelUnmapped) {
  DriverRig rig;
  auto layers = conv_chain(2);
  rig.layer_recorder.errors["c2"] = "no weights";
  LayerList list = as_list(layers);
  EXPECT_EQ(runtime_message([&] { rig.map(&list); }), "Cannot map layer 'c2'. Error: no weights.");
  EXPECT_EQ(list.size(), 3u);
  for (const auto& layer : layers) EXPECT_EQ(layer->mapping(), nullptr) << layer->get_name();
}

// A recording error of a layer placed before the walk stopped is reported after the failure that
// stopped it, which is usually its cause; with no earlier failure it still leaves as an exception.
TEST(MappingDriver, RecordingErrorAfterAnEarlierFailureReportsTheCauseFirst) {
  DriverRig rig;
  auto layers = conv_chain(3);
  rig.layer_recorder.errors["c1"] = "no weights";
  rig.checker.incompatible["c3"] = "Unsupported here.";
  LayerList list = as_list(layers);
  const MappingStatusGroup result = rig.map(&list);
  EXPECT_EQ(result.to_string(),
            "Cannot map layer 'c3':\n"
            "  * Layer 'c3': Unsupported here.\n"
            "  * Cannot map layer 'c1'. Error: no weights.");
  EXPECT_TRUE(rig.sequences.empty());
  EXPECT_EQ(list.size(), 4u);
  for (const auto& layer : layers) EXPECT_EQ(layer->mapping(), nullptr) << layer->get_name();
}

// in -> a -> b -> c -> add <- a; add -> d -> t (temporal) -> e: a skip connection, a FIFO and, on four
// CNPs, a second pass for e.
std::vector<TestLayerPtr> rich_model() {
  auto in = input_layer();
  auto a = conv("a"), b = conv("b"), c = conv("c"), d = conv("d"), e = conv("e");
  auto add = make("add", LayerType::Add);
  auto t = temporal("t", 3);
  chain({in, a, b, c});
  connect(c, add);
  connect(a, add);
  connect(add, d);
  chain({d, t, e});
  return {in, a, b, c, add, d, t, e};
}

std::vector<uint8_t> program_of(const std::shared_ptr<Sequence>& sequence) {
  return std::vector<uint8_t>(sequence->program().begin(), sequence->program().end());
}

TEST(MappingDriver, MappingTheSameModelTwiceGivesTheSameProgram) {
  const auto model = rich_model();
  DriverRig rig;
  LayerList first = as_list(model);
  ASSERT_FALSE(rig.map(&first).failed);
  const auto one = only_sequence(rig);
  ASSERT_EQ(one->passes().size(), 2u);
  const std::vector<uint8_t> bytes = program_of(one);

  // Again, while the first sequence is still held.
  LayerList second = as_list(model);
  ASSERT_FALSE(rig.map(&second).failed);
  ASSERT_EQ(rig.sequences.size(), 2u);
  EXPECT_EQ(program_of(rig.sequences[1]), bytes);
  // Dropping the first sequence leaves the layers with the second one's mappings.
  const auto current = model[1]->mapping();
  rig.sequences.erase(rig.sequences.begin());
  EXPECT_EQ(model[1]->mapping(), current);
  for (const auto& layer : model) EXPECT_NE(layer->mapping(), nullptr) << layer->get_name();

  // And on a fresh back-end with a model built the same way.
  DriverRig fresh;
  LayerList other = as_list(rich_model());
  ASSERT_FALSE(fresh.map(&other).failed);
  EXPECT_EQ(program_of(fresh.sequences.front()), bytes);
}

TEST(MappingDriver, ProjectionsOfTheGroups) {
  auto a = conv("a"), b = conv("b");
  MappableLayers groups;
  hw::Component c(Type::CNP1);
  groups.groups = {{{a, {c}}, {b, {}}}, {{b, {c, c}}}};
  EXPECT_EQ(groups.build_mappable_layers(), (std::vector<LayerList>{{a, b}, {b}}));
  const auto components = groups.build_mappable_components();
  ASSERT_EQ(components.size(), 2u);
  EXPECT_EQ(components[0][0].size(), 1u);
  EXPECT_EQ(components[0][1].size(), 0u);
  EXPECT_EQ(components[1][0].size(), 2u);
}

}  // namespace
}  // namespace ovrix::driver_test
