#include "program/serializer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "engine/device.h"
#include "mapping/backend_interfaces.h"
#include "mapping/layer_mapping.h"
#include "support/program_fake_layer.h"
#include "support/program_reader.h"

namespace ovrix {
namespace {

using program_test::FakeLayer;
using program_test::ProgramView;
using program_test::has_field;
using program_test::to_vector;

constexpr HwVersion kVersion(0xBC, 0xA2, 1, 0);

class FakeDevice : public Device {
 public:
  HwVersion version() const override { return kVersion; }
  const char* desc() const override { return "fake"; }
  const Mesh& mesh() const override { throw std::logic_error("the serializer never reads the mesh"); }
  HardwareDevice* hardware() const override { return nullptr; }
};

// One block of a scripted record.
struct Block {
  hw::Ident np;
  dma::Target target;
  std::vector<uint32_t> words;
  bool append_to_last = true;
};

struct RecordScript {
  std::vector<Block> blocks;
  bool fnp2 = false;
  hw::Ident fnp2_np{};
  std::vector<uint32_t> fnp2_words{};

  std::unique_ptr<program::Record> make() const {
    auto record = program::new_record(kVersion);
    for (const Block& b : blocks)
      record->add_np_track(b.np, b.target, 0, b.words, {.append_to_last = b.append_to_last});
    if (fnp2) record->add_fnp2_filters_track(fnp2_np, fnp2_words);
    return record;
  }
};

struct LayerCall {
  std::string layer, other, next;
  bool starts_pass, ends_pass;
  std::vector<hw::Ident> nps;
  bool registers_only, lut_flag;
  int index_at_call;  // the layer mapping's index while recording, -1 without mapping
};

class ScriptedLayerRecorder : public LayerRecorder {
 public:
  ScriptedLayerRecorder(const Device& device, const HardwareConstraints& constraints)
      : LayerRecorder(device, constraints) {}

  std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& other, std::shared_ptr<Layer> next,
                                                bool starts_pass, bool ends_pass, const std::vector<hw::Ident>& nps,
                                                bool registers_only, bool lut_flag) const override {
    auto mapping = layer_mapping(layer);
    calls.push_back({layer.get_name(), other.get_name(), next ? next->get_name() : "", starts_pass, ends_pass, nps,
                     registers_only, lut_flag, mapping ? mapping->index : -1});
    auto it = errors.find(layer.get_name());
    if (it != errors.end()) throw std::runtime_error(it->second);
    auto script = programs.find(layer.get_name());
    return script == programs.end() ? program::new_record(kVersion) : script->second.make();
  }
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool) const override {
    if (learning_error) throw std::runtime_error(*learning_error);
    program::LearnRecordsPtr records;
    records.first = learning[0].make();
    records.second = learning[1].make();
    records.third = learning[2].make();
    if (drop_third) records.third.reset();
    records.learning_value = learning_value + static_cast<uint32_t>(layer.get_name().size());
    return records;
  }
  void sync_learning_vars(std::shared_ptr<Layer>) const override {}

  std::map<std::string, RecordScript> programs;
  std::map<std::string, std::string> errors;
  RecordScript learning[3];
  uint32_t learning_value = 0;
  bool drop_third = false;
  std::optional<std::string> learning_error;
  mutable std::vector<LayerCall> calls;
};

class ScriptedIoRecorder : public IoRecorder {
 public:
  explicit ScriptedIoRecorder(const Device& device) : IoRecorder(device) {}
  std::unique_ptr<program::Record> record_scc(bool a, bool b, bool c, bool d, bool e, const Shape& input,
                                             const Shape& output) const override {
    scc_args = {a, b, c, d, e};
    scc_shapes = {input, output};
    return scc.make();
  }
  std::unique_ptr<std::vector<RegisterWrite>> record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool, bool,
                                                         bool) const override {
    return std::make_unique<std::vector<RegisterWrite>>(epg);
  }
  uint8_t get_input_type(const Layer&) const override { return 0; }
  uint8_t get_output_type(const Layer&, int8_t) const override { return 0; }

  RecordScript scc;
  std::vector<RegisterWrite> epg;
  mutable std::vector<bool> scc_args;
  mutable std::vector<Shape> scc_shapes;
};

// Everything a serializer needs, with a finalize that uses fixed input/output values.
struct Harness {
  FakeDevice device;
  HardwareConstraints constraints{};
  ScriptedLayerRecorder layers{device, constraints};
  ScriptedIoRecorder io{device};
  std::vector<std::shared_ptr<Sequence::Pass>> passes;

  std::shared_ptr<FakeLayer> layer(const std::string& name, LayerType type = LayerType::Conv2D) {
    return std::make_shared<FakeLayer>(name, type);
  }
  std::shared_ptr<Sequence::Pass> pass(std::vector<std::shared_ptr<Layer>> pass_layers = {}) {
    auto p = std::make_shared<Sequence::Pass>();
    p->layers = std::move(pass_layers);
    passes.push_back(p);
    return p;
  }
  std::vector<uint8_t> finalize(SequenceSerializer& s) {
    std::vector<uint8_t> program{0xAA};  // replaced, not appended to
    s.finalize({.version = "9.8.7",
                .input_shape = Shape{32, 32, 3},
                .output_shape = Shape{1, 1, 10},
                .input_type = 0,
                .output_type = 2,
                .output_bits = 4,
                .output_flag = true,
                .output_shift = {1, -2},
                .output_scales = {0.5f},
                .descriptors_per_pass = 3,
                .input_bits = 8,
                .input_signed = false,
                .input_channels_first = true},
               passes, &program);
    return program;
  }
};

hw::Ident np(uint8_t col, uint8_t row, uint8_t id) { return hw::Ident(col, row, id); }

// The sample lowers the XL threshold so that a short block needs the XL header (and its record keeps an
// empty track); the engine's value is put back afterwards.
constexpr uint32_t kSampleXlThreshold = 16;
uint32_t xl_payload() { return kSampleXlThreshold + 1; }

class XlThreshold {
 public:
  explicit XlThreshold(uint32_t words) { dma::set_xl_threshold(words); }
  ~XlThreshold() { dma::set_xl_threshold(dma::max_normal_block_words); }
  XlThreshold(const XlThreshold&) = delete;
  XlThreshold& operator=(const XlThreshold&) = delete;
};

std::vector<uint32_t> seq(uint32_t n, uint32_t first) {
  std::vector<uint32_t> w(n);
  for (uint32_t i = 0; i < n; ++i) w[i] = first + i;
  return w;
}

// Every track of every record of the program, as the serializer was given it.
using ExpectedTracks = std::vector<std::vector<std::vector<std::vector<uint32_t>>>>;  // pass, record, track, words

ExpectedTracks tracks_of(const std::vector<std::vector<const RecordScript*>>& passes) {
  ExpectedTracks out;
  for (const auto& pass : passes) {
    out.emplace_back();
    for (const RecordScript* script : pass) {
      auto record = script->make();
      std::vector<std::vector<uint32_t>> tracks;
      for (const auto& t : record->tracks()) tracks.push_back(t.words());
      out.back().push_back(tracks);
    }
  }
  return out;
}

TEST(FormatConfigHeaderFb, PacksTheTwoHeaderWordsLowFirst) {
  uint32_t words[2];
  dma::format_config_header(words, np(1, 2, 3), dma::Target::Variables, 9, 0x55, false);
  EXPECT_EQ(format_config_header_fb(np(1, 2, 3), dma::Target::Variables, 9, 0x55),
            uint64_t{words[0]} | uint64_t{words[1]} << 32);
}

TEST(SequenceSerializer, OnePassWithoutLearning) {
  Harness h;
  h.io.scc = {{{np(0, 0, 0), dma::Target::RegisterWrites, {7}}, {np(0, 0, 0), dma::Target::RegisterWrites, {8}}}};
  h.layers.programs["a"] = {{{np(1, 1, 1), dma::Target::NpRegisters, seq(5, 100)},
                             {np(1, 1, 2), dma::Target::Weights, seq(3, 200), false}}};
  auto a = h.layer("a");
  SequenceSerializer s(h.layers, h.io);
  s.serialize_version(kVersion);
  EXPECT_EQ(s.serialize_scc_program(true, false, true, false, true, Shape{32, 32, 3}, Shape{1, 1, 10}), 1u);
  EXPECT_EQ(h.io.scc_args, (std::vector<bool>{true, false, true, false, true}));
  EXPECT_EQ(s.serialize_layer_program(*a, *a, nullptr, false, false, {}, false, true), 2u);
  s.finalize_pass();
  h.pass({a});
  ProgramView p(h.finalize(s));

  ASSERT_EQ(p.data->passes()->size(), 1u);
  EXPECT_EQ(p.data->learning(), nullptr);
  EXPECT_EQ(p.data->dummy_descriptor()->word0(), 0u);
  EXPECT_EQ(p.data->dummy_descriptor()->word1(), 0u);
  const auto expected = tracks_of({{&h.io.scc, &h.layers.programs["a"]}});
  const auto* records = p.info->passes()->Get(0)->records();
  ASSERT_EQ(records->size(), 2u);
  for (size_t r = 0; r < 2; ++r) {
    ASSERT_EQ(records->Get(r)->tracks()->size(), expected[0][r].size());
    for (size_t t = 0; t < expected[0][r].size(); ++t)
      EXPECT_EQ(p.words_of(records->Get(r)->tracks()->Get(t)), expected[0][r][t]) << r << "/" << t;
  }
  // The layer recorder got the arguments unchanged.
  ASSERT_EQ(h.layers.calls.size(), 1u);
  EXPECT_TRUE(h.layers.calls[0].lut_flag);
  EXPECT_EQ(h.layers.calls[0].next, "");
}

TEST(SequenceSerializer, SccProgramAnswersOneWhateverItsTracks) {
  Harness h;
  h.io.scc = {{{np(0, 0, 0), dma::Target::RegisterWrites, {1}, false},
               {np(0, 0, 0), dma::Target::RegisterWrites, {2}, false},
               {np(0, 0, 0), dma::Target::RegisterWrites, {3}, false}}};
  SequenceSerializer s(h.layers, h.io);
  EXPECT_EQ(s.serialize_scc_program(false, false, false, false, false, Shape{1, 1, 1}, Shape{1, 1, 1}), 1u);
  h.io.scc = {};
  EXPECT_EQ(s.serialize_scc_program(false, false, false, false, false, Shape{1, 1, 1}, Shape{1, 1, 1}), 1u);
}

// Two passes, empty tracks, FNP2 filters tracks with and without tracks, learning, EPG registers and
// the dummy descriptor: what the program-format tests and the sample for the Python reader use.
struct SampleProgram {
  XlThreshold xl{kSampleXlThreshold};
  Harness h;
  std::shared_ptr<FakeLayer> a = h.layer("conv_a"), b = h.layer("conv_b"), c = h.layer("dense_c", LayerType::Dense1D);
  std::vector<uint8_t> program;
  ExpectedTracks expected;

  SampleProgram() {
    h.io.scc = {{{np(0, 0, 0), dma::Target::RegisterWrites, {0x11}}, {np(0, 0, 0), dma::Target::RegisterWrites, {0x22}}}};
    h.layers.programs["conv_a"] = {{{np(1, 2, 0), dma::Target::NpRegisters, seq(16, 0x1000)},
                                    {np(1, 2, 0), dma::Target::Weights, seq(xl_payload(), 0x2000), false},
                                    {np(1, 2, 1), dma::Target::Variables, {}, false}}};
    h.layers.programs["conv_b"] = {{}, true, np(3, 1, 2), seq(6, 0x3000)};  // filters only
    h.layers.programs["dense_c"] = {{{np(2, 2, 3), dma::Target::NpRegisters, seq(4, 0x4000)}}, true, np(2, 2, 3), {}};
    h.layers.learning[0] = {{{np(2, 2, 3), dma::Target::NpRegisters, seq(3, 0x5000)}}};
    h.layers.learning[1] = {{{np(2, 2, 3), dma::Target::Weights, seq(2, 0x6000)},
                             {np(2, 2, 3), dma::Target::Weights, seq(2, 0x6100), false}}};
    h.layers.learning[2] = {{}, true, np(2, 2, 3), seq(5, 0x7000)};
    h.layers.learning_value = 0x70;
    h.io.epg = {{0x100, 1}, {0x104, 0xFFFFFFFF}, {0x0, 7}};

    auto mapping = std::make_shared<LayerMapping>(3);
    mapping->nps->push_back(hw::Component(hw::Type::FNP3));
    mapping->nps->back().ident = np(2, 2, 3);
    c->set_mapping(mapping);

    SequenceSerializer s(h.layers, h.io);
    s.serialize_version(HwVersion(0xBC, 0, 2, 0));
    s.serialize_scc_program(false, true, false, true, true, Shape{32, 32, 3}, Shape{1, 1, 10});
    s.serialize_layer_program(*a, *a, b, false, true, {}, false, false);
    s.serialize_layer_program(*b, *a, nullptr, false, true, {}, false, false);
    s.finalize_pass();
    s.serialize_learning_layer_program(*c, true);
    s.finalize_pass();  // the learning program belongs to no pass
    s.serialize_epg_tracks(*a, 1, 2, 1, false, true, false);
    s.record_dummy_desc_hdr(true);
    h.pass({a, b});
    h.pass({c});
    program = h.finalize(s);
    expected = tracks_of({{&h.io.scc, &h.layers.programs["conv_a"], &h.layers.programs["conv_b"]}, {}});
  }
};

TEST(ProgramFormat, EverySpanLocatesTheWordsOfItsTrack) {
  SampleProgram sample;
  ProgramView p(sample.program);
  const auto* passes = p.info->passes();
  ASSERT_EQ(passes->size(), 2u);
  ASSERT_EQ(p.data->passes()->size(), 2u);
  for (size_t pass = 0; pass < 2; ++pass) {
    const auto& records = sample.expected[pass];
    const auto* data_records = p.data->passes()->Get(pass)->records();
    ASSERT_EQ(data_records->size(), records.size());
    if (records.empty()) {
      EXPECT_FALSE(has_field(passes->Get(pass), fb::PassSpans::VT_RECORDS));
      continue;
    }
    const auto* spans = passes->Get(pass)->records();
    ASSERT_EQ(spans->size(), records.size());
    for (size_t r = 0; r < records.size(); ++r) {
      const auto* data_tracks = data_records->Get(r)->tracks();
      ASSERT_NE(data_tracks, nullptr) << "tracks are always written in the data";
      ASSERT_EQ(data_tracks->size(), records[r].size());
      const auto* track_spans = spans->Get(r)->tracks();
      if (records[r].empty()) continue;
      ASSERT_EQ(track_spans->size(), records[r].size());
      for (size_t t = 0; t < records[r].size(); ++t) {
        EXPECT_EQ(p.words_of(track_spans->Get(t)), records[r][t]);
        EXPECT_EQ(to_vector(data_tracks->Get(t)->words()), records[r][t]);
      }
    }
  }
}

TEST(ProgramFormat, EmptyTrackHasAnEmptyWordsVectorAndASpanOfSizeZero) {
  SampleProgram sample;
  ProgramView p(sample.program);
  size_t empty = 0;
  for (size_t r = 0; r < sample.expected[0].size(); ++r) {
    for (size_t t = 0; t < sample.expected[0][r].size(); ++t) {
      if (!sample.expected[0][r][t].empty()) continue;
      ++empty;
      const auto* words = p.data->passes()->Get(0)->records()->Get(r)->tracks()->Get(t)->words();
      ASSERT_NE(words, nullptr);
      EXPECT_EQ(words->size(), 0u);
      EXPECT_EQ(p.info->passes()->Get(0)->records()->Get(r)->tracks()->Get(t)->size(), 0u);
    }
  }
  EXPECT_EQ(empty, 1u);
}

TEST(ProgramFormat, FiltersOnlyRecordHasNoTrackSpans) {
  SampleProgram sample;
  ProgramView p(sample.program);
  const auto* spans = p.info->passes()->Get(0)->records()->Get(2);
  EXPECT_FALSE(has_field(spans, fb::RecordSpans::VT_TRACKS));
  ASSERT_NE(spans->fnp2_filters(), nullptr);
  const auto* f = spans->fnp2_filters();
  EXPECT_EQ(p.words_at(f->offset(), f->size()), seq(6, 0x3000));
  EXPECT_EQ(f->np().col(), 3);
  EXPECT_EQ(f->np().row(), 1);
  EXPECT_EQ(f->np().id(), 2);
  const auto* data = p.data->passes()->Get(0)->records()->Get(2);
  ASSERT_NE(data->tracks(), nullptr);
  EXPECT_EQ(data->tracks()->size(), 0u);
  EXPECT_EQ(data->fnp2_filters()->np()->col(), 3);
  // A record without filters track writes none.
  EXPECT_FALSE(has_field(p.info->passes()->Get(0)->records()->Get(1), fb::RecordSpans::VT_FNP2_FILTERS));
  EXPECT_EQ(p.data->passes()->Get(0)->records()->Get(1)->fnp2_filters(), nullptr);
}

TEST(ProgramFormat, LearningProgramIsLocatedOutsideThePasses) {
  SampleProgram sample;
  ProgramView p(sample.program);
  const auto* learning = p.data->learning();
  ASSERT_NE(learning, nullptr);
  EXPECT_EQ(learning->np()->col(), 2);
  EXPECT_EQ(learning->np()->id(), 3);
  EXPECT_EQ(learning->learning_value(), 0x70u + 7);
  EXPECT_EQ(p.data->passes()->Get(1)->records()->size(), 0u);

  const auto* info = p.info->learning();
  ASSERT_NE(info, nullptr);
  auto first = sample.h.layers.learning[0].make();
  auto second = sample.h.layers.learning[1].make();
  EXPECT_EQ(p.words_of(info->first_track()), first->tracks()[0].words());
  EXPECT_EQ(p.words_of(info->second_track()), second->tracks()[0].words());
  ASSERT_NE(info->third_record(), nullptr);
  EXPECT_FALSE(has_field(info->third_record(), fb::RecordSpans::VT_TRACKS));
  const auto* f = info->third_record()->fnp2_filters();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(p.words_at(f->offset(), f->size()), seq(5, 0x7000));
  EXPECT_EQ(info->np()->row(), 2);
}

TEST(ProgramFormat, ScalarsAndVectorsAreWrittenOrLeftOutByRule) {
  SampleProgram sample;
  ProgramView p(sample.program);
  const auto* info = p.info;
  EXPECT_EQ(info->version()->str(), "9.8.7");
  EXPECT_EQ(to_vector(info->input_dims()), (std::vector<uint32_t>{32, 32, 3}));
  EXPECT_EQ(to_vector(info->output_dims()), (std::vector<uint32_t>{1, 1, 10}));
  EXPECT_FALSE(has_field(info, fb::ProgramInfo::VT_INPUT_TYPE));  // 0 is left out
  EXPECT_EQ(info->output_type(), fb::IoType::Spatial);
  EXPECT_EQ(info->output_bits(), 4);
  EXPECT_TRUE(info->output_flag());
  EXPECT_FALSE(has_field(info, fb::ProgramInfo::VT_INPUT_CONV_PARAM_A));
  EXPECT_FALSE(has_field(info, fb::ProgramInfo::VT_INPUT_CONV_PARAM_B));
  EXPECT_EQ(info->descriptors_per_pass(), 3);
  EXPECT_EQ(info->output_shift()->size(), 2u);
  EXPECT_EQ(info->output_shift()->Get(1), -2);
  EXPECT_FLOAT_EQ(info->output_scales()->Get(0), 0.5f);
  EXPECT_EQ(info->input_bits(), 8);
  EXPECT_FALSE(has_field(info, fb::ProgramInfo::VT_INPUT_SIGNED));
  EXPECT_TRUE(info->input_channels_first());
  EXPECT_FALSE(has_field(info, fb::ProgramInfo::VT_LUMO_POST_PROCESSING));
  // Empty input vectors are still written.
  ASSERT_TRUE(has_field(info, fb::ProgramInfo::VT_INPUT_SCALES));
  EXPECT_EQ(info->input_scales()->size(), 0u);
  ASSERT_TRUE(has_field(info, fb::ProgramInfo::VT_INPUT_ZERO_POINTS));
  EXPECT_EQ(info->input_zero_points()->size(), 0u);
  // Device version 0xBC.0.2.0: the zero bytes are left out.
  const auto* dv = info->device_version();
  EXPECT_TRUE(has_field(dv, fb::DeviceVersion::VT_VENDOR_ID));
  EXPECT_FALSE(has_field(dv, fb::DeviceVersion::VT_PRODUCT_ID));
  EXPECT_EQ(dv->major_rev(), 2);
  EXPECT_FALSE(has_field(dv, fb::DeviceVersion::VT_MINOR_REV));
  // EPG register writes in the recorder's order.
  ASSERT_EQ(info->epg_registers()->size(), 3u);
  EXPECT_EQ(info->epg_registers()->Get(1)->address(), 0x104u);
  EXPECT_EQ(info->epg_registers()->Get(1)->value(), 0xFFFFFFFFu);
  EXPECT_EQ(info->epg_registers()->Get(2)->address(), 0u);
}

TEST(ProgramFormat, DummyDescriptorSpanPointsAtTheHeaderStruct) {
  SampleProgram sample;
  ProgramView p(sample.program);
  const auto* span = p.info->dummy_descriptor();
  ASSERT_NE(span, nullptr);
  EXPECT_EQ(span->size(), 2u);
  const uint64_t expected = format_config_header_fb(hw::Ident(0, 0, 0, 0), dma::Target::RegisterWrites, 1, 0);
  EXPECT_EQ(p.u32_at(p.info_size + span->offset()), static_cast<uint32_t>(expected));
  EXPECT_EQ(p.u32_at(p.info_size + span->offset() + 4), static_cast<uint32_t>(expected >> 32));
  EXPECT_EQ(p.data->dummy_descriptor()->word0(), static_cast<uint32_t>(expected));
}

TEST(ProgramFormat, SizePrefixesCountTheBytesAfterThem) {
  SampleProgram sample;
  const auto& bytes = sample.program;
  uint32_t s1, s2;
  std::memcpy(&s1, bytes.data(), 4);
  ASSERT_LE(size_t{s1} + 8, bytes.size());
  std::memcpy(&s2, bytes.data() + 4 + s1, 4);
  EXPECT_EQ(size_t{s1} + s2 + 8, bytes.size());
  EXPECT_EQ(s1 % 4, 0u);
  EXPECT_EQ(s2 % 4, 0u);
}

TEST(ProgramFormat, SameInputGivesTheSameBytes) {
  SampleProgram first, second;
  EXPECT_EQ(first.program, second.program);
}

TEST(ProgramFormat, ProgramWithoutLearningOrRegistersLeavesThemOut) {
  Harness h;
  SequenceSerializer s(h.layers, h.io);
  s.serialize_version(HwVersion());
  s.finalize_pass();
  s.serialize_epg_tracks(*h.layer("x"), 0, 0, 1, false, false, false);
  s.record_dummy_desc_hdr(false);
  h.pass();
  ProgramView p(h.finalize(s));
  EXPECT_FALSE(has_field(p.info, fb::ProgramInfo::VT_EPG_REGISTERS));
  EXPECT_FALSE(has_field(p.info, fb::ProgramInfo::VT_LEARNING));
  EXPECT_FALSE(has_field(p.data, fb::ProgramData::VT_LEARNING));
  EXPECT_TRUE(has_field(p.data, fb::ProgramData::VT_DUMMY_DESCRIPTOR));
  EXPECT_EQ(p.data->dummy_descriptor()->word0(), 0u);
  // An all-zero device version is an empty table.
  const auto* dv = p.info->device_version();
  ASSERT_NE(dv, nullptr);
  for (auto field : {fb::DeviceVersion::VT_VENDOR_ID, fb::DeviceVersion::VT_PRODUCT_ID,
                     fb::DeviceVersion::VT_MAJOR_REV, fb::DeviceVersion::VT_MINOR_REV})
    EXPECT_FALSE(has_field(dv, field));
  // A pass without records: an empty vector in the data, no records field in its spans.
  EXPECT_EQ(p.data->passes()->Get(0)->records()->size(), 0u);
  EXPECT_FALSE(has_field(p.info->passes()->Get(0), fb::PassSpans::VT_RECORDS));
  EXPECT_FALSE(has_field(p.info->passes()->Get(0), fb::PassSpans::VT_SKIPDMA_STORES));
  EXPECT_FALSE(has_field(p.info->passes()->Get(0), fb::PassSpans::VT_SKIPDMA_LOADS));
}

TEST(SequenceSerializer, RecordingErrorBecomesAMappingErrorAndLeavesThePassAsItWas) {
  Harness h;
  h.layers.programs["good"] = {{{np(1, 0, 0), dma::Target::NpRegisters, {1, 2}}}};
  h.layers.errors["bad"] = "weights too wide";
  auto good = h.layer("good");
  auto bad = h.layer("bad");
  SequenceSerializer s(h.layers, h.io);
  s.serialize_version(kVersion);
  try {
    s.serialize_layer_program(*bad, *good, nullptr, false, false, {}, false, false);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot map layer 'bad'. Error: weights too wide.");
  }
  EXPECT_EQ(s.serialize_layer_program(*good, *good, nullptr, false, false, {}, false, false), 1u);
  s.finalize_pass();
  h.pass({good});
  ProgramView p(h.finalize(s));
  EXPECT_EQ(p.data->passes()->Get(0)->records()->size(), 1u);
}

TEST(SequenceSerializer, SerializeLayerAnswersTracksAndTheRecordOffset) {
  Harness h;
  h.layers.programs["l"] = {{{np(1, 0, 0), dma::Target::NpRegisters, {1}, false},
                             {np(1, 0, 0), dma::Target::NpRegisters, {2}, false},
                             {np(1, 0, 0), dma::Target::NpRegisters, {3}, false}}};
  auto l = h.layer("l");
  SequenceSerializer s(h.layers, h.io);
  const auto [tracks, offset] = s.serialize_layer(*l, *l, nullptr, false, false, {}, false, false);
  EXPECT_EQ(tracks, 3u);
  EXPECT_GT(offset, 0u);
}

TEST(SequenceSerializer, UnusedNpsAreRecordedUnderTheInputIndex) {
  Harness h;
  auto next = h.layer("next");
  auto first = h.layer("first");
  auto mapping = std::make_shared<LayerMapping>(5);
  mapping->input_index = 9;
  next->set_mapping(mapping);
  h.layers.programs["next"] = {{{np(4, 0, 0), dma::Target::NpRegisters, {1}}}};
  SequenceSerializer s(h.layers, h.io);
  const std::vector<hw::Ident> used{np(1, 0, 0), np(2, 0, 1)};
  EXPECT_EQ(s.serialize_unused_nps_program(next, first, used), 1u);
  ASSERT_EQ(h.layers.calls.size(), 1u);
  const LayerCall& call = h.layers.calls[0];
  EXPECT_EQ(call.layer, "next");
  EXPECT_EQ(call.other, "first");
  EXPECT_EQ(call.next, "next");
  EXPECT_FALSE(call.starts_pass);
  EXPECT_FALSE(call.ends_pass);
  EXPECT_EQ(call.nps, used);
  EXPECT_TRUE(call.registers_only);
  EXPECT_FALSE(call.lut_flag);
  EXPECT_EQ(call.index_at_call, 9);
  EXPECT_EQ(mapping->index, 5);

  // Restored on failure too.
  h.layers.errors["next"] = "boom";
  EXPECT_THROW(s.serialize_unused_nps_program(next, first, used), std::runtime_error);
  EXPECT_EQ(mapping->index, 5);
}

TEST(SequenceSerializer, UnusedNpsNeedTheLayersMapping) {
  Harness h;
  SequenceSerializer s(h.layers, h.io);
  try {
    s.serialize_unused_nps_program(h.layer("lone"), h.layer("first"), {});
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Layer 'lone' has no mapping", 0), 0u) << e.what();
  }
  EXPECT_TRUE(h.layers.calls.empty());
}

struct LearningHarness : Harness {
  std::shared_ptr<FakeLayer> learner = layer("learner", LayerType::FullyConnected);
  LearningHarness() {
    auto mapping = std::make_shared<LayerMapping>(1);
    mapping->nps->push_back(hw::Component(hw::Type::FNP2));
    mapping->nps->back().ident = np(5, 6, 7);
    learner->set_mapping(mapping);
    layers.learning[0] = {{{np(5, 6, 7), dma::Target::NpRegisters, {1}}}};
    layers.learning[1] = {{{np(5, 6, 7), dma::Target::Weights, {2}}}};
    layers.learning[2] = {{{np(5, 6, 7), dma::Target::Weights, {3}}}};
  }
};

TEST(SequenceSerializer, LearningCountsTheSecondAndThirdRecordsTracks) {
  LearningHarness h;
  h.layers.learning[1].blocks.clear();
  h.layers.learning[2].blocks.clear();
  for (uint32_t i = 0; i < 200; ++i) h.layers.learning[1].blocks.push_back({np(5, 6, 7), dma::Target::Weights, {i}, false});
  for (uint32_t i = 0; i < 100; ++i) h.layers.learning[2].blocks.push_back({np(5, 6, 7), dma::Target::Weights, {i}, false});
  SequenceSerializer s(h.layers, h.io);
  EXPECT_EQ(s.serialize_learning_layer_program(*h.learner, false), 300u);
}

TEST(SequenceSerializer, SecondLearningProgramReplacesTheFirst) {
  LearningHarness h;
  SequenceSerializer s(h.layers, h.io);
  s.serialize_learning_layer_program(*h.learner, false);
  h.layers.learning[0] = {{{np(5, 6, 7), dma::Target::NpRegisters, {0xBEEF}}}};
  s.serialize_learning_layer_program(*h.learner, false);
  s.finalize_pass();
  h.pass({h.learner});
  ProgramView p(h.finalize(s));
  ASSERT_NE(p.info->learning(), nullptr);
  EXPECT_EQ(p.words_of(p.info->learning()->first_track()).back(), 0xBEEFu);
  // The third record has tracks and no filters: only its first track is located.
  const auto* third = p.info->learning()->third_record();
  ASSERT_EQ(third->tracks()->size(), 1u);
  EXPECT_EQ(p.words_of(third->tracks()->Get(0)).back(), 3u);
  EXPECT_FALSE(has_field(third, fb::RecordSpans::VT_FNP2_FILTERS));
}

struct LearningFault {
  const char* name;
  std::function<void(LearningHarness&)> spoil;
  const char* message;
};

class LearningFaults : public ::testing::TestWithParam<LearningFault> {};

TEST_P(LearningFaults, AreReportedForTheLayer) {
  LearningHarness h;
  GetParam().spoil(h);
  SequenceSerializer s(h.layers, h.io);
  try {
    s.serialize_learning_layer_program(*h.learner, false);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), GetParam().message);
  }
  // Nothing of the failed program reaches the data.
  s.finalize_pass();
  h.pass();
  ProgramView p(h.finalize(s));
  EXPECT_EQ(p.data->learning(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Learning, LearningFaults,
    ::testing::Values(
        LearningFault{"RecorderError", [](LearningHarness& h) { h.layers.learning_error = "no plasticity"; },
                      "Cannot map layer 'learner'. Error: no plasticity."},
        LearningFault{"FirstWithoutTrack", [](LearningHarness& h) { h.layers.learning[0].blocks.clear(); },
                      "Cannot map layer 'learner'. Error: the first learning record has no track."},
        LearningFault{"SecondWithoutTrack", [](LearningHarness& h) { h.layers.learning[1].blocks.clear(); },
                      "Cannot map layer 'learner'. Error: the second learning record has no track."},
        LearningFault{"ThirdWithoutTrack", [](LearningHarness& h) { h.layers.learning[2].blocks.clear(); },
                      "Cannot map layer 'learner'. Error: the third learning record has no track."},
        LearningFault{"ThirdMissing", [](LearningHarness& h) { h.layers.drop_third = true; },
                      "Cannot map layer 'learner'. Error: the learning program needs three records."},
        LearningFault{"NoMapping", [](LearningHarness& h) { h.learner->set_mapping(nullptr); },
                      "Layer 'learner' has no mapping; its first component receives the learning program."},
        LearningFault{"NoComponent", [](LearningHarness& h) { h.learner->set_mapping(std::make_shared<LayerMapping>()); },
                      "Layer 'learner' is mapped on no NP; the learning program has no target."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SequenceSerializer, DummyDescriptorIsSetOnlyWhenAsked) {
  Harness h;
  SequenceSerializer s(h.layers, h.io);
  s.record_dummy_desc_hdr(true);
  s.record_dummy_desc_hdr(false);  // leaves it
  s.finalize_pass();
  h.pass();
  ProgramView p(h.finalize(s));
  const uint64_t expected = format_config_header_fb(hw::Ident(), dma::Target::RegisterWrites, 1, 0);
  EXPECT_EQ(p.data->dummy_descriptor()->word0(), static_cast<uint32_t>(expected));
  EXPECT_EQ(p.data->dummy_descriptor()->word1(), static_cast<uint32_t>(expected >> 32));
}

TEST(SequenceSerializer, RefusesFewerPassesThanItClosed) {
  Harness h;
  SequenceSerializer s(h.layers, h.io);
  s.finalize_pass();
  s.finalize_pass();
  h.pass();
  std::vector<uint8_t> program;
  EXPECT_THROW(s.finalize({.version = "v",
                           .input_shape = Shape{1},
                           .output_shape = Shape{1},
                           .output_bits = 8,
                           .descriptors_per_pass = 1,
                           .input_bits = 8},
                          h.passes, &program),
               std::invalid_argument);
  // Nothing was written: with the second pass the program can still be finished.
  h.pass();
  EXPECT_NO_THROW(h.finalize(s));
}

TEST(SequenceSerializer, IsSpentOnceTheProgramIsWritten) {
  Harness h;
  auto l = h.layer("l");
  SequenceSerializer s(h.layers, h.io);
  s.finalize_pass();
  h.pass();
  const auto program = h.finalize(s);
  EXPECT_THROW(h.finalize(s), std::logic_error);
  EXPECT_THROW(s.finalize_pass(), std::logic_error);
  EXPECT_THROW(s.serialize_version(kVersion), std::logic_error);
  EXPECT_THROW(s.serialize_layer_program(*l, *l, nullptr, false, false, {}, false, false), std::runtime_error);
}

hw::Component engine(hw::Type type, hw::Ident id) {
  hw::Component c(type);
  c.ident = id;
  return c;
}

TEST(ProgramFormat, SkipDmaBuffersOfThePassLayers) {
  Harness h;
  // An ordinary layer with a store and a dual-output store (two store engines).
  auto split = h.layer("split");
  split->output = Shape{10, 4, 2};
  split->out_bits = 4;
  split->inputs = {Shape{7, 3, 5}};
  split->in_bits = 8;
  auto m1 = std::make_shared<LayerMapping>(1);
  m1->skipdma_stores = {engine(hw::Type::SKIP_DMA_STORE, hw::Ident(9, 0, 1, 4)),
                        engine(hw::Type::SKIP_DMA_STORE, hw::Ident(9, 0, 1, 5))};
  m1->merge_info = std::make_unique<MergeLayerMapInfo>();
  m1->merge_info->dual_output = true;
  m1->store_channel_info = std::make_unique<StoreChannelInfo>(StoreChannelInfo{3, 1, 5});
  m1->store_dual_output_channel_info = std::make_unique<StoreChannelInfo>(StoreChannelInfo{2, 0, 6});
  split->set_mapping(m1);
  // A TNP-B layer with its FIFO store and load.
  auto temporal = h.layer("temporal", LayerType::BufferTempConv);
  temporal->target = hw::TargetKind::TNP_B;
  temporal->inputs = {Shape{3, 2, 33}};
  temporal->in_bits = 8;
  auto m2 = std::make_shared<LayerMapping>(3);
  m2->skipdma_stores = {engine(hw::Type::SKIP_DMA_STORE, hw::Ident(9, 0, 2, 1))};
  m2->skipdma_loads = {engine(hw::Type::SKIP_DMA_LOAD, hw::Ident(9, 0, 3, 1))};
  m2->store_channel_info = std::make_unique<StoreChannelInfo>(StoreChannelInfo{4, 1, 2});
  m2->load_channel_info = std::make_unique<LoadChannelInfo>(LoadChannelInfo{2, 4, 2, 0});
  temporal->set_mapping(m2);
  // A merge layer with a load only, and a layer without mapping.
  auto merge = h.layer("merge");
  auto m3 = std::make_shared<LayerMapping>(4);
  m3->skipdma_loads = {engine(hw::Type::SKIP_DMA_LOAD, hw::Ident(9, 1, 0, 7))};
  m3->load_channel_info = std::make_unique<LoadChannelInfo>(LoadChannelInfo{13, 2, 5, 16});
  merge->set_mapping(m3);
  auto plain = h.layer("plain");

  SequenceSerializer s(h.layers, h.io);
  s.finalize_pass();
  h.pass({split, temporal, merge, plain});
  ProgramView p(h.finalize(s));
  const auto* stores = p.info->passes()->Get(0)->skipdma_stores();
  const auto* loads = p.info->passes()->Get(0)->skipdma_loads();
  ASSERT_NE(stores, nullptr);
  ASSERT_NE(loads, nullptr);
  ASSERT_EQ(stores->size(), 3u);
  ASSERT_EQ(loads->size(), 2u);

  struct Expected {
    uint8_t col, row, id, channel, tnp_b, depth, slot;
    uint32_t size;
  };
  auto check = [](const fb::SkipDmaSpan* s, const Expected& e) {
    EXPECT_EQ(s->col(), e.col);
    EXPECT_EQ(s->row(), e.row);
    EXPECT_EQ(s->id(), e.id);
    EXPECT_EQ(s->channel(), e.channel);
    EXPECT_EQ(s->tnp_b(), e.tnp_b);
    EXPECT_EQ(s->depth(), e.depth);
    EXPECT_EQ(s->slot(), e.slot);
    EXPECT_EQ(s->size(), e.size);
  };
  // Store of "split": ceil(4 x 10 / 32) x 4 x 2 = 16 words; its dual output: ceil(8 x 7 / 32) x 3 x 5 = 30.
  check(stores->Get(0), {9, 0, 1, 4, 0, 3, 5, 16});
  check(stores->Get(1), {9, 0, 1, 5, 0, 2, 6, 30});
  // FIFO of "temporal": ceil(8 x 33 / 32) x 3 x 2 = 54 words.
  check(stores->Get(2), {9, 0, 2, 1, 1, 4, 2, 54});
  check(loads->Get(0), {9, 0, 3, 1, 1, 4, 2, 0});
  check(loads->Get(1), {9, 1, 0, 7, 0, 2, 5, 0});
}

TEST(ProgramFormat, SingleStoreOfADualOutputLayerIsItsDualOutputStore) {
  Harness h;
  auto layer = h.layer("dual");
  layer->inputs = {Shape{32, 1, 1}};
  layer->in_bits = 8;
  auto m = std::make_shared<LayerMapping>(1);
  m->skipdma_stores = {engine(hw::Type::SKIP_DMA_STORE, hw::Ident(8, 0, 0, 2))};
  m->merge_info = std::make_unique<MergeLayerMapInfo>();
  m->merge_info->dual_output = true;
  m->store_dual_output_channel_info = std::make_unique<StoreChannelInfo>(StoreChannelInfo{1, 0, 2});
  layer->set_mapping(m);
  SequenceSerializer s(h.layers, h.io);
  s.finalize_pass();
  h.pass({layer});
  ProgramView p(h.finalize(s));
  const auto* stores = p.info->passes()->Get(0)->skipdma_stores();
  ASSERT_EQ(stores->size(), 1u);
  EXPECT_EQ(stores->Get(0)->slot(), 2);
  EXPECT_EQ(stores->Get(0)->size(), 8u);  // ceil(8 x 32 / 32) x 1 x 1
}

// Leaves the sample program where the Python reader of the program format finds it.
TEST(ProgramFormat, WritesTheSampleForTheIndependentReader) {
  const char* dir = std::getenv("OVRIX_SAMPLE_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "OVRIX_SAMPLE_DIR is not set";
  SampleProgram sample;
  const std::string base = std::string(dir) + "/";
  {
    std::ofstream out(base + "sample_program.bin", std::ios::binary);
    out.write(reinterpret_cast<const char*>(sample.program.data()), static_cast<std::streamsize>(sample.program.size()));
    ASSERT_TRUE(out.good());
  }
  // The words of every track as the records held them, for the reader to find through the spans.
  std::ofstream json(base + "sample_expected.json");
  json << "{\"passes\": [";
  for (size_t p = 0; p < sample.expected.size(); ++p) {
    json << (p ? ", " : "") << "[";
    for (size_t r = 0; r < sample.expected[p].size(); ++r) {
      json << (r ? ", " : "") << "[";
      for (size_t t = 0; t < sample.expected[p][r].size(); ++t) {
        json << (t ? ", " : "") << "[";
        for (size_t w = 0; w < sample.expected[p][r][t].size(); ++w) json << (w ? ", " : "") << sample.expected[p][r][t][w];
        json << "]";
      }
      json << "]";
    }
    json << "]";
  }
  const uint64_t dummy = format_config_header_fb(hw::Ident(), dma::Target::RegisterWrites, 1, 0);
  json << "], \"filters\": [3, 1, 2, [";
  for (size_t i = 0; i < 6; ++i) json << (i ? ", " : "") << 0x3000 + i;
  json << "]], \"learning_third\": [";
  for (size_t i = 0; i < 5; ++i) json << (i ? ", " : "") << 0x7000 + i;
  json << "], \"dummy\": [" << static_cast<uint32_t>(dummy) << ", " << static_cast<uint32_t>(dummy >> 32) << "]}\n";
  ASSERT_TRUE(json.good());
}

}  // namespace
}  // namespace ovrix
