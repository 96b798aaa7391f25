#include "mapping/sequence_builder.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/driver_fakes.h"
#include "support/program_reader.h"
#include "program/serializer.h"

namespace ovrix::driver_test {
namespace {

using hw::Component;
using hw::Ident;
using hw::Type;
using program_test::ProgramView;

Component np_at(Type type, Ident ident) {
  Component c(type, hw::NpMapping{});
  c.ident = ident;
  return c;
}
std::vector<Component> on(std::initializer_list<Ident> idents) {
  std::vector<Component> out;
  for (const Ident& id : idents) out.push_back(np_at(Type::CNP1, id));
  return out;
}
constexpr Ident X(1, 1, 0), Y(1, 1, 1), Z(2, 1, 0), W(3, 1, 2);

struct BuilderRig : DriverRig {
  HardwareSequenceBuilder builder{device, limits, io_recorder, layer_recorder};
};

std::vector<uint8_t> program_of_sequence(const HardwareSequence& sequence) {
  return std::vector<uint8_t>(sequence.program().begin(), sequence.program().end());
}

std::string descriptor_message(uint64_t needed) {
  return "Model is too big. The maximum number of descriptors is more than allowed. " + std::to_string(needed) +
         " are needed but 254 are available.";
}

// ---- passes ----

TEST(SequenceBuilder, FirstPassHasNoPreviousPass) {
  BuilderRig rig;
  EXPECT_EQ(rig.builder.last_pass(), nullptr);
  EXPECT_THROW(rig.builder.first_pass(), std::out_of_range);
  auto in = input_layer();
  auto a = conv("a");
  chain({in, a});
  rig.builder.add_layers(as_list({in, a}), as_list({in, a}), {{}, on({X})});
  ASSERT_NE(rig.builder.last_pass(), nullptr);
  EXPECT_EQ(rig.builder.first_pass(), rig.builder.last_pass());
  EXPECT_EQ(rig.builder.last_pass()->size(), 2u);
  EXPECT_EQ(mapping_of(a)->input_index, 0);
  EXPECT_EQ(mapping_of(a)->sources.size(), 2u);  // the DMA, then the input layer's empty list
  // The pass reads from the mesh's DMA event endpoint.
  EXPECT_EQ(mapping_of(a)->sources.front()->front().ident, rig.device->mesh().dma_event);
}

TEST(SequenceBuilder, TrailingSkipLayerOpensTheNextPass) {
  BuilderRig rig;
  auto in = input_layer();
  auto a = conv("a"), b = conv("b"), c = conv("c");
  auto add = make("add", LayerType::Add);
  chain({in, a, b});
  connect(b, add);
  connect(a, add);
  connect(add, c);
  const LayerList all = as_list({in, a, b, add, c});
  rig.builder.add_layers(as_list({in, a, b, add}), all, {{}, on({X}), on({Y}), {}});
  EXPECT_EQ(rig.builder.pending_layer(), add);
  EXPECT_EQ(names(rig.builder.last_pass()->layers), (std::vector<std::string>{"input", "a", "b"}));
  rig.builder.add_layers(as_list({c}), all, {on({Z})});
  EXPECT_EQ(rig.builder.pending_layer(), nullptr);
  ASSERT_EQ(rig.builder.passes().size(), 2u);
  EXPECT_EQ(names(rig.builder.passes()[1]->layers), (std::vector<std::string>{"add", "c"}));
  EXPECT_EQ(names(rig.builder.layers()), (std::vector<std::string>{"input", "a", "b", "add", "c"}));
  EXPECT_EQ(mapping_of(add)->index, 255);

  rig.builder.add_layers(as_list({in, a, b, add}), all, {{}, on({X}), on({Y}), {}});
  rig.builder.clear();
  EXPECT_EQ(rig.builder.pending_layer(), add) << "clear keeps the held-back layer";
  EXPECT_TRUE(rig.builder.passes().empty());
  EXPECT_TRUE(rig.builder.layers().empty());
  EXPECT_EQ(a->mapping(), nullptr) << "the dropped passes unmap their layers";
}

TEST(SequenceBuilder, DescriptorBudget) {
  struct Row {
    uint64_t a, b;
    bool ok;
  } rows[] = {{1, 254, true}, {2, 127, true}, {254, 1, true}, {1, 255, false}, {2, 128, false}, {255, 1, false}};
  for (const Row& row : rows) {
    BuilderRig rig;
    auto a = conv("a");
    rig.builder.add_layers(as_list({a}), as_list({a}), {on({X})});
    const MappingStatus status = rig.builder.check_num_descriptors(a, row.a, row.b);
    SCOPED_TRACE(::testing::Message() << row.a << " x " << row.b);
    EXPECT_EQ(status.failed, !row.ok);
    if (row.ok) {
      EXPECT_EQ(status.message, "Success.");
      EXPECT_EQ(rig.builder.passes().size(), 1u);
    } else {
      EXPECT_EQ(status.to_string(), "Cannot map layer 'a'. " + descriptor_message(row.a * row.b));
      EXPECT_TRUE(rig.builder.layers().empty());
      EXPECT_TRUE(rig.builder.passes().empty());
      EXPECT_TRUE(rig.builder.program().empty());
    }
  }
}

// ---- build ----

TEST(SequenceBuild, OnePassDrivesTheSerializerInOrder) {
  BuilderRig rig;
  auto in = input_layer();
  auto a = conv("a"), b = conv("b");
  chain({in, a, b});
  b->output = shape3(4, 4, 2);
  rig.builder.add_layers(as_list({in, a, b}), as_list({in, a, b}), {{}, on({Z}), on({X, Y})});
  auto [status, sequence] = rig.builder.build_sequence();
  ASSERT_FALSE(status.failed) << status.to_string();
  ASSERT_NE(sequence, nullptr);

  // Every layer of the pass is recorded, against the first mappable layer, with no next pass.
  ASSERT_EQ(rig.layer_recorder.calls.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const RecordCall& call = rig.layer_recorder.calls[i];
    EXPECT_EQ(call.layer, (std::vector<std::string>{"input", "a", "b"})[i]);
    EXPECT_EQ(call.other, "a");
    EXPECT_EQ(call.next, "");
    EXPECT_FALSE(call.starts_pass || call.ends_pass || call.registers_only || call.lut_flag);
    EXPECT_TRUE(call.nps.empty());
  }
  EXPECT_EQ(rig.io_recorder.scc_flags, (std::vector<bool>{false, true, false, true, true}));
  EXPECT_EQ(rig.io_recorder.scc_input, shape3(8, 8, 4));
  EXPECT_EQ(rig.io_recorder.scc_output, shape3(4, 4, 2));
  // The output stage spans the columns of the first layer's NPs.
  ASSERT_EQ(rig.io_recorder.epg_calls.size(), 1u);
  const auto& epg = rig.io_recorder.epg_calls[0];
  EXPECT_EQ(epg.layer, "a");
  EXPECT_EQ(epg.lo, 2);
  EXPECT_EQ(epg.hi, 2);
  EXPECT_EQ(epg.c, 1);
  EXPECT_FALSE(epg.d);
  EXPECT_FALSE(epg.e);
  EXPECT_TRUE(epg.f);

  // One pass leaves the buffering as the split chose it.
  EXPECT_FALSE(mapping_of(b)->nps->front().np->single_buffer);
  ProgramView view(std::vector<uint8_t>(sequence->program().begin(), sequence->program().end()));
  EXPECT_EQ(view.info->descriptors_per_pass(), 1 + 0 + 1 + 2 + 1);  // input stage, in, a, b, plus one
  EXPECT_EQ(view.data->passes()->size(), 1u);
  EXPECT_EQ(view.data->passes()->Get(0)->records()->size(), 4u);
  EXPECT_EQ(view.data->dummy_descriptor()->word0(), 0u);
  EXPECT_EQ(view.data->dummy_descriptor()->word1(), 0u);
  EXPECT_EQ(sequence->name(), "HW/input-b");
  EXPECT_EQ(sequence->passes().size(), 1u);
  EXPECT_EQ(sequence->layers().size(), 3u);
  // The builder is empty and can serve again.
  EXPECT_TRUE(rig.builder.layers().empty());
  EXPECT_TRUE(rig.builder.passes().empty());
  EXPECT_TRUE(rig.builder.program().empty());
}

TEST(SequenceBuild, PassBoundaryKeepsTwoBuffersOnSharedNps) {
  BuilderRig rig;
  auto in = input_layer();
  auto a = conv("a"), b = conv("b"), c = conv("c"), d = conv("d");
  chain({in, a, b, c, d});
  const LayerList all = as_list({in, a, b, c, d});
  rig.builder.add_layers(as_list({in, a, b}), all, {{}, on({X}), on({Y, Z})});
  rig.builder.add_layers(as_list({c, d}), all, {on({Z, W}), on({X})});
  auto [status, sequence] = rig.builder.build_sequence();
  ASSERT_FALSE(status.failed) << status.to_string();

  const auto& bn = *mapping_of(b)->nps;
  const auto& cn = *mapping_of(c)->nps;
  EXPECT_TRUE(mapping_of(a)->nps->front().np->single_buffer);
  EXPECT_TRUE(bn[0].np->single_buffer);   // Y is not used by c
  EXPECT_FALSE(bn[1].np->single_buffer);  // Z carries b into c
  EXPECT_FALSE(cn[0].np->single_buffer);
  EXPECT_TRUE(cn[1].np->single_buffer);
  EXPECT_TRUE(mapping_of(d)->nps->front().np->single_buffer);

  // Pass flags, the next pass's first layer, and the unused-NP program of the first pass.
  const auto& calls = rig.layer_recorder.calls;
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[2].layer, "b");
  EXPECT_TRUE(calls[2].ends_pass);
  EXPECT_FALSE(calls[2].starts_pass);
  EXPECT_EQ(calls[2].next, "c");
  EXPECT_EQ(calls[3].layer, "c");
  EXPECT_TRUE(calls[3].registers_only);
  EXPECT_EQ(calls[3].nps, (std::vector<Ident>{X, Y, Z}));
  EXPECT_EQ(calls[4].layer, "c");
  EXPECT_TRUE(calls[4].starts_pass);
  EXPECT_FALSE(calls[4].ends_pass);
  EXPECT_EQ(calls[5].layer, "d");
  EXPECT_FALSE(calls[5].starts_pass || calls[5].ends_pass);

  ProgramView view(std::vector<uint8_t>(sequence->program().begin(), sequence->program().end()));
  ASSERT_EQ(view.data->passes()->size(), 2u);
  // The unused NPs are programmed under the number the previous pass's output arrives with; c
  // keeps its own number afterwards.
  const auto* unused = view.data->passes()->Get(0)->records()->Get(4);
  const auto words = program_test::to_vector(unused->tracks()->Get(0)->words());
  EXPECT_EQ(mapping_of(c)->input_index, mapping_of(b)->index + 1);
  EXPECT_EQ(words[2], mapping_of(c)->input_index);  // after the two header words
  EXPECT_EQ(mapping_of(c)->index, 1);
  const auto* own = view.data->passes()->Get(1)->records()->Get(0);
  EXPECT_EQ(program_test::to_vector(own->tracks()->Get(0)->words())[2], 1u);
  // Multi-pass programs carry the dummy descriptor header; the column range covers both passes.
  const uint64_t dummy = format_config_header_fb(Ident(0, 0, 0), dma::Target::RegisterWrites, 1, 0);
  EXPECT_EQ(view.data->dummy_descriptor()->word0(), uint32_t(dummy));
  EXPECT_EQ(view.data->dummy_descriptor()->word1(), uint32_t(dummy >> 32));
  EXPECT_NE(dummy, 0u);
  ASSERT_EQ(rig.io_recorder.epg_calls.size(), 1u);
  EXPECT_EQ(rig.io_recorder.epg_calls[0].lo, 1);
  EXPECT_EQ(rig.io_recorder.epg_calls[0].hi, 3);
  EXPECT_TRUE(rig.io_recorder.epg_calls[0].e);
}

TEST(SequenceBuild, DescriptorsPerPassFollowTheLargestPass) {
  BuilderRig rig;
  auto a = conv("a"), c = conv("c");
  chain({a, c});
  rig.layer_recorder.extra_tracks = {{"a", 7}, {"c", 19}};
  rig.builder.add_layers(as_list({a}), as_list({a, c}), {on({X})});
  rig.builder.add_layers(as_list({c}), as_list({a, c}), {on({Y})});
  auto [status, sequence] = rig.builder.build_sequence();
  ASSERT_FALSE(status.failed) << status.to_string();
  // Pass 1: input stage 1 + a 8 + unused NPs 1 = 10; pass 2: c 20.
  ProgramView view(std::vector<uint8_t>(sequence->program().begin(), sequence->program().end()));
  EXPECT_EQ(view.info->descriptors_per_pass(), 21);
}

TEST(SequenceBuild, DescriptorBudgetOfOnePass) {
  struct Row {
    int extra;
    const char* failing;  // null: fits
    uint64_t needed;
  } rows[] = {{250, nullptr, 0}, {251, "b", 255}, {252, "b", 255}, {253, "a", 255}};
  for (const Row& row : rows) {
    BuilderRig rig;
    auto a = conv("a"), b = conv("b");
    chain({a, b});
    rig.layer_recorder.extra_tracks = {{"a", row.extra}};
    rig.builder.add_layers(as_list({a, b}), as_list({a, b}), {on({X}), on({Y})});
    auto [status, sequence] = rig.builder.build_sequence();
    SCOPED_TRACE(row.extra);
    if (!row.failing) {
      ASSERT_FALSE(status.failed) << status.to_string();
      ProgramView view(std::vector<uint8_t>(sequence->program().begin(), sequence->program().end()));
      EXPECT_EQ(view.info->descriptors_per_pass(), 254);
      continue;
    }
    // 1 + (1 + extra) + 1 counted descriptors, then one more per pass: 253 is the most one pass holds.
    EXPECT_EQ(sequence, nullptr);
    EXPECT_EQ(status.to_string(), std::string("Cannot map layer '") + row.failing + "'. " + descriptor_message(row.needed));
    EXPECT_TRUE(rig.builder.passes().empty());
    EXPECT_TRUE(rig.builder.program().empty());
  }
}

TEST(SequenceBuild, SkipEnginesAddDescriptorsOnlyInMultiPassPrograms) {
  for (bool two_passes : {false, true}) {
    BuilderRig rig;
    auto in = input_layer();
    auto a = conv("a"), b = conv("b"), c = conv("c"), d = conv("d"), e = conv("e");
    auto add = make("add", LayerType::Add);
    chain({in, a, b, c});
    connect(c, add);
    connect(a, add);
    connect(add, d);
    connect(d, e);
    const LayerList all = as_list({in, a, b, c, add, d, e});
    Component store(Type::SKIP_DMA_STORE), load(Type::SKIP_DMA_LOAD);
    store.ident = Ident(0, 2, 0, 0);
    load.ident = Ident(0, 2, 0, 1);
    ComponentLists first = {{}, {np_at(Type::CNP1, X), store}, on({Y}), on({Z}), {}, {np_at(Type::CNP1, W), load}};
    if (two_passes) {
      rig.builder.add_layers(as_list({in, a, b, c, add, d}), all, first);
      rig.builder.add_layers(as_list({e}), all, {on({X})});
    } else {
      first.push_back(on({X}));
      rig.builder.add_layers(all, all, first);
    }
    auto [status, sequence] = rig.builder.build_sequence();
    ASSERT_FALSE(status.failed) << status.to_string();
    ProgramView view(std::vector<uint8_t>(sequence->program().begin(), sequence->program().end()));
    SCOPED_TRACE(two_passes);
    // Input stage, a, b, c, d (and e, or the unused NPs); a's store adds 4 and d's load 1 with passes.
    EXPECT_EQ(view.info->descriptors_per_pass(), two_passes ? 1 + 4 + 5 + 1 + 1 : 1 + 5 + 1);
  }
}

TEST(SequenceBuild, DenseFirstLayerReadsAFlatInput) {
  BuilderRig rig;
  auto f = dense("f");
  f->input = shape3(4, 2, 3);
  rig.builder.add_layers(as_list({f}), as_list({f}), {{np_at(Type::FNP2, Ident(20, 2, 0))}});
  auto [status, sequence] = rig.builder.build_sequence();
  ASSERT_FALSE(status.failed);
  EXPECT_EQ(rig.io_recorder.scc_input, shape3(1, 1, 24));

  BuilderRig empty;
  auto g = dense("g");
  g->input = shape3(4, 0, 3);
  empty.builder.add_layers(as_list({g}), as_list({g}), {{np_at(Type::FNP2, Ident(20, 2, 0))}});
  EXPECT_EQ(runtime_message([&] { empty.builder.build_sequence(); }), "Cannot have a shape with dimension 2 set to 0");
}

TEST(SequenceBuild, RecurrentLayerEndsTheVisitOfItsPass) {
  BuilderRig rig;
  auto in = input_layer();
  auto r = make("r", LayerType::StatefulRecurrent), s = make("s", LayerType::StatefulRecurrent);
  chain({in, r, s});
  rig.builder.add_layers(as_list({in, r, s}), as_list({in, r, s}),
                         {{}, {np_at(Type::TNP_R, X)}, {}});
  auto [status, sequence] = rig.builder.build_sequence();
  ASSERT_FALSE(status.failed);
  EXPECT_EQ(rig.layer_recorder.calls.size(), 2u);
  // r's track is in the program but not counted: input stage only, plus one.
  ProgramView view(std::vector<uint8_t>(sequence->program().begin(), sequence->program().end()));
  EXPECT_EQ(view.info->descriptors_per_pass(), 2);
  EXPECT_EQ(view.data->passes()->Get(0)->records()->size(), 3u);
}

TEST(SequenceBuild, OutputTypeThreeHasNoOutputStage) {
  for (uint8_t output_type : {0, 3}) {
    BuilderRig rig;
    rig.io_recorder.output_type = output_type;
    auto a = conv("a");
    rig.builder.add_layers(as_list({a}), as_list({a}), {on({X})});
    auto [status, sequence] = rig.builder.build_sequence();
    ASSERT_FALSE(status.failed);
    EXPECT_EQ(rig.io_recorder.epg_calls.size(), output_type == 3 ? 0u : 1u);
    EXPECT_EQ(rig.io_recorder.scc_flags[3], output_type == 0);
  }
}

TEST(SequenceBuild, LookupTableActivationMovesToTheNextLayer) {
  struct Row {
    LayerType next_type;
    uint8_t bits;
    ActivationType act;
    bool same_pass;
    bool lut;
  } rows[] = {
      {LayerType::Dense1D, 4, ActivationType::LUT, true, true},
      {LayerType::BufferTempConv, 8, ActivationType::LUT, true, true},
      {LayerType::Dense1D, 4, ActivationType::ReLU, true, false},
      {LayerType::Conv2D, 4, ActivationType::LUT, true, false},
      {LayerType::Dense1D, 4, ActivationType::LUT, false, false},
  };
  for (const Row& row : rows) {
    BuilderRig rig;
    auto a = conv("a");
    a->act = row.act;
    a->out_bits = row.bits;
    auto n = make("n", row.next_type, {{"units", 4}, {"filters", 4}, {"fifo_size", 2}, {"weights_bits", 4}});
    chain({a, n});
    Component engine_store(Type::SKIP_DMA_STORE), engine_load(Type::SKIP_DMA_LOAD);
    engine_store.ident = Ident(0, 2, 0, 0);
    engine_load.ident = Ident(0, 2, 0, 1);
    std::vector<Component> n_components{np_at(Type::FNP2, Ident(20, 2, 0))};
    if (row.next_type == LayerType::BufferTempConv) n_components = {np_at(Type::TNP_B, W), engine_store, engine_load};
    if (row.same_pass) {
      rig.builder.add_layers(as_list({a, n}), as_list({a, n}), {on({X}), n_components});
    } else {
      rig.builder.add_layers(as_list({a}), as_list({a, n}), {on({X})});
      rig.builder.add_layers(as_list({n}), as_list({a, n}), {n_components});
    }
    auto [status, sequence] = rig.builder.build_sequence();
    ASSERT_FALSE(status.failed) << status.to_string();
    SCOPED_TRACE(::testing::Message() << int(row.next_type) << " bits " << int(row.bits));
    EXPECT_EQ(rig.layer_recorder.calls.front().lut_flag, row.lut);
  }
}

TEST(SequenceBuild, LearningLayerIsRecordedOutsideThePasses) {
  BuilderRig rig;
  auto a = conv("a");
  auto f = dense("f");
  f->learning = true;
  chain({a, f});
  rig.builder.add_layers(as_list({a, f}), as_list({a, f}), {on({X}), {np_at(Type::FNP2, Ident(20, 2, 0))}});
  auto [status, sequence] = rig.builder.build_sequence();
  ASSERT_FALSE(status.failed);
  EXPECT_EQ(rig.layer_recorder.learning_calls, std::vector<std::string>{"f"});
  ProgramView view(std::vector<uint8_t>(sequence->program().begin(), sequence->program().end()));
  ASSERT_NE(view.data->learning(), nullptr);
  EXPECT_EQ(view.data->learning()->np()->col(), 20);
  // Input stage, a, and the learning program's second and third records, plus one.
  EXPECT_EQ(view.info->descriptors_per_pass(), 1 + 1 + 2 + 1);
}

// ---- the sequence ----

TEST(HardwareSequenceTest, ProgramPartsAndName) {
  BuilderRig rig;
  auto a = conv("a");
  rig.builder.add_layers(as_list({a}), as_list({a}), {on({X})});
  auto [status, sequence] = rig.builder.build_sequence();
  EXPECT_EQ(sequence->name(), "HW/a");
  EXPECT_EQ(sequence->backend(), BackendType::Hardware);
  const auto parts = sequence->program_parts();
  const auto program = sequence->program();
  uint32_t prefix;
  std::memcpy(&prefix, program.data(), 4);
  EXPECT_EQ(parts.program_info.data(), program.data());
  EXPECT_EQ(parts.program_info.size(), prefix + 4u);
  EXPECT_EQ(parts.program_data.data(), program.data() + prefix + 4);
  EXPECT_EQ(parts.program_info.size() + parts.program_data.size(), program.size());

  const std::vector<std::vector<uint8_t>> malformed = {{}, {1, 0, 0}, {5, 0, 0, 0, 1, 2, 3, 4}, {0xFF, 0xFF, 0xFF, 0xFF, 0}};
  for (const auto& bytes : malformed) {
    HardwareSequence bad(rig.device, rig.limits, as_list({a}), {}, bytes);
    EXPECT_THROW(bad.program_parts(), std::runtime_error) << bytes.size();
  }
  HardwareSequence exact(rig.device, rig.limits, as_list({a}), {}, {4, 0, 0, 0, 9, 9, 9, 9});
  EXPECT_EQ(exact.program_parts().program_info.size(), 8u);
  EXPECT_TRUE(exact.program_parts().program_data.empty());
}

TEST(HardwareSequenceTest, RunningNeedsAHardwareDevice) {
  BuilderRig rig;
  auto a = conv("a");
  rig.builder.add_layers(as_list({a}), as_list({a}), {on({X})});
  auto sequence = rig.builder.build_sequence().second;
  const std::vector<int32_t> labels{1};
  EXPECT_EQ(runtime_message([&] { sequence->forward_samples({}, nullptr); }), "An actual hardware device is required.");
  EXPECT_EQ(runtime_message([&] { sequence->forward_samples({}, &labels); }),
            "An actual hardware device is required.");
}

TEST(HardwareSequenceTest, RunsLoadTheProgramOnlyWhenTheDeviceHoldsAnother) {
  BuilderRig rig;
  CountingHardware hw;
  rig.device->set_hardware(&hw);
  auto a = conv("a"), b = conv("b");
  chain({a, b});
  rig.builder.add_layers(as_list({a}), as_list({a}), {on({X})});
  auto first = rig.builder.build_sequence().second;
  rig.builder.add_layers(as_list({b}), as_list({b}), {on({Y})});
  auto second = rig.builder.build_sequence().second;
  ASSERT_NE(program_of_sequence(*first), program_of_sequence(*second));

  const std::vector<std::shared_ptr<const Tensor>> inputs(3, std::shared_ptr<const Tensor>(
                                                                 Dense::create(TensorType::uint8, Shape{1})));
  EXPECT_EQ(first->forward_samples(inputs, nullptr).size(), 3u);
  first->forward_samples(inputs, nullptr);
  EXPECT_EQ(hw.loads, 1);
  EXPECT_EQ(hw.batch, 3u);
  second->forward_samples(inputs, nullptr);
  EXPECT_EQ(hw.loads, 2);
  first->forward_samples(inputs, nullptr);
  EXPECT_EQ(hw.loads, 3);
  EXPECT_EQ(hw.loaded, program_of_sequence(*first));
  EXPECT_EQ(hw.learn_switches, 0);
  EXPECT_EQ(hw.runs, std::vector<std::string>(4, "forward"));
}

TEST(HardwareSequenceTest, LabelsSwitchLearningOnAndLearntVariablesAreReadBack) {
  BuilderRig rig;
  CountingHardware hw;
  rig.device->set_hardware(&hw);
  auto a = conv("a");
  auto f = dense("f");
  chain({a, f});
  rig.builder.add_layers(as_list({a, f}), as_list({a, f}), {on({X}), {np_at(Type::FNP2, Ident(20, 2, 0))}});
  auto sequence = rig.builder.build_sequence().second;
  const std::vector<std::shared_ptr<const Tensor>> inputs(1, std::shared_ptr<const Tensor>(
                                                                 Dense::create(TensorType::uint8, Shape{1})));
  const std::vector<int32_t> labels{2};
  // The device runs fit; reading back fails afterwards (v2 has no learning), learning stays on.
  EXPECT_EQ(runtime_message([&] { sequence->forward_samples(inputs, &labels); }), "Learning not implemented on v2.");
  EXPECT_TRUE(hw.learn);
  EXPECT_EQ(hw.runs, std::vector<std::string>{"fit"});
  // A layer on two NPs cannot learn either, also after the device has run fit.
  mapping_of(f)->nps->push_back(np_at(Type::FNP2, Ident(21, 2, 0)));
  EXPECT_EQ(runtime_message([&] { sequence->forward_samples(inputs, &labels); }),
            "Learning is not supported for layers mapped on more than 1 NP.");
  EXPECT_EQ(hw.runs.size(), 2u);
  EXPECT_EQ(hw.learn_switches, 1);
  // Without labels learning goes off again.
  sequence->forward_samples(inputs, nullptr);
  EXPECT_FALSE(hw.learn);
  EXPECT_EQ(hw.learn_switches, 2);
  EXPECT_EQ(hw.runs.back(), "forward");
  EXPECT_EQ(hw.loads, 1);
}

TEST(HardwareSequenceTest, DequantizedOutputsArePredicted) {
  BuilderRig rig;
  CountingHardware hw;
  rig.device->set_hardware(&hw);
  auto a = conv("a");
  auto q = make("q", LayerType::Dequantizer);
  q->vars->set("scales", std::shared_ptr<Dense>(Dense::create(TensorType::float32, Shape{4})));
  chain({a, q});
  rig.builder.add_layers(as_list({a, q}), as_list({a, q}), {on({X}), {}});
  auto sequence = rig.builder.build_sequence().second;
  sequence->forward_samples({}, nullptr);
  EXPECT_EQ(hw.runs, std::vector<std::string>{"predict"});
}

TEST(HardwareSequenceTest, LearningReadBackByEdition) {
  BuilderRig rig;
  auto a = conv("a");
  auto f = dense("f");
  chain({a, f});
  rig.builder.add_layers(as_list({a, f}), as_list({a, f}), {on({X}), {np_at(Type::FNP2, Ident(20, 2, 0))}});
  auto sequence = rig.builder.build_sequence().second;
  EXPECT_EQ(runtime_message([&] { sequence->sync_learning_vars(); }), "Learning not implemented on v2.");
  rig.device->set_version(HwVersion(0xBC, 0xB1, 1, 0));
  EXPECT_EQ(runtime_message([&] { sequence->sync_learning_vars(); }), "Learning not implemented on v2.");
  rig.device->set_version(HwVersion(0xBC, 0xC7, 1, 0));
  EXPECT_EQ(runtime_message([&] { sequence->sync_learning_vars(); }), "Unsupported IP version in sync_learning_vars.");
  // More than one NP is refused whatever the edition.
  mapping_of(f)->nps->push_back(np_at(Type::FNP2, Ident(21, 2, 0)));
  EXPECT_EQ(runtime_message([&] { sequence->sync_learning_vars(); }),
            "Learning is not supported for layers mapped on more than 1 NP.");
}

}  // namespace
}  // namespace ovrix::driver_test
