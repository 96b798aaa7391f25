// Dense layers on v1 FNPs against tables: weight-memory and input sizes (tests/data/v1/fnp_sizes.txt),
// the packed weight memory (fnp_ram.txt), the learning registers (learning_registers.txt) and the FNP
// register images (fnp_register_images.txt); then what a dense record holds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/v1/compatibility_checker.h"
#include "backends/v1/fnp_ram.h"
#include "backends/v1/fnp_registers.h"
#include "backends/v1/fnp_sizes.h"
#include "backends/v1/learning_registers.h"
#include "backends/v1/np_registers.h"
#include "engine/dma.h"
#include "support/fakes.h"
#include "support/message_of.h"
#include "support/v1_fnp_layers.h"
#include "support/v1_layers.h"

namespace ovrix::v1 {
namespace {

using testing::Case;

const test_support::FakeDevice& device() {
  static const test_support::FakeDevice d(HwVersion(0xBC, 0xA1, 3, 6),
                                          Mesh(IpVersion::v1, hw::Ident(), hw::Ident(1, 0, 0), std::nullopt, {}, {}));
  return d;
}

// "NxM" as a weights shape (N neurons, M inputs).
Shape matrix_of(const std::string& text) {
  const auto p = testing::parts(text, 'x');
  return Shape{uint32_t(std::stoul(p.at(0))), uint32_t(std::stoul(p.at(1))), 1, 1};
}

// Restores the DMA XL threshold a case lowered.
struct XlThreshold {
  explicit XlThreshold(uint32_t words) { dma::set_xl_threshold(words); }
  ~XlThreshold() { dma::set_xl_threshold(dma::max_normal_block_words); }
};

TEST(V1FnpSizes, Table) {
  for (const Case& c : testing::read_table("fnp_sizes.txt")) {
    SCOPED_TRACE(c.where());
    const std::string& what = c.in.at(0);
    std::string got;
    if (what == "sram") {
      got = std::to_string(fnp_sram_size(matrix_of(c.in.at(1)), int(testing::num(c.in.at(2)))));
    } else {
      const testing::Built built = testing::layer_of("dense", c.in.at(1), c.in.at(2), "-");
      if (what == "input") {
        got = std::to_string(get_fnp_input_size(*built.layer));
      } else {
        const XlThreshold xl(uint32_t(testing::num(c.in.at(3))));
        got = std::to_string(get_fnp_sram_size(*built.layer));
      }
    }
    EXPECT_EQ(got, Case::join(c.out));
  }
}

// "k.i=w,k.i=w" (or "-") as int8 weights of a (n, m) matrix stored reversed, as the engine keeps them.
std::shared_ptr<Dense> weights_of(const std::string& text, const Shape& shape) {
  auto w = testing::filled(TensorType::int8, shape, {0});
  if (text == "-") return w;
  const auto strides = w->strides();
  for (const auto& item : testing::parts(text, ',')) {
    const auto eq = item.find('=');
    const auto at = testing::parts(item.substr(0, eq), '.');
    w->mutable_data_as<int8_t>()[std::stoul(at.at(0)) * strides[0] + std::stoul(at.at(1)) * strides[1]] =
        static_cast<int8_t>(std::stoi(item.substr(eq + 1)));
  }
  return w;
}

TEST(V1FnpRam, Table) {
  for (const Case& c : testing::read_table("fnp_ram.txt")) {
    SCOPED_TRACE(c.where());
    ASSERT_EQ(c.in.size(), 6u);
    const int bits = int(testing::num(c.in[0]));
    const Shape shape = matrix_of(c.in[1]);
    const auto weights = weights_of(c.in[2], shape);
    const auto threshold = testing::filled(TensorType::int32, Shape{shape[0]}, testing::values(c.in[3]));
    const auto step = testing::filled(TensorType::int32, Shape{shape[0]}, testing::values(c.in[4]));
    const bool with_thresholds = c.in[5] == "act";
    auto run = [&] { return format_fnp_ram(*weights, *threshold, *step, bits, with_thresholds); };
    if (c.fails()) {
      EXPECT_EQ(test_support::message_of(run), c.error);
      continue;
    }
    const auto ram = run();
    EXPECT_EQ(ram.size(), fnp_sram_size(shape, bits));
    EXPECT_EQ(testing::sparse_text(ram), Case::join(c.out));
  }
}

TEST(V1LearningRegisters, Table) {
  for (const Case& c : testing::read_table("learning_registers.txt")) {
    SCOPED_TRACE(c.where());
    std::vector<uint32_t> regs = default_np_regs();
    regs[36] = testing::hex(c.in.at(0));
    std::shared_ptr<LearningParams> params;
    if (c.in.at(1) != "none") {
      const auto v = testing::parts(c.in.at(1), ',');
      params = LearningParams::create(LearningType::Unsupervised, {{"num_weights", std::stod(v.at(0))},
                                                                   {"initial_plasticity", std::stod(v.at(1))},
                                                                   {"learning_competition", std::stod(v.at(2))},
                                                                   {"min_plasticity", std::stod(v.at(3))},
                                                                   {"plasticity_decay", std::stod(v.at(4))}});
    }
    auto run = [&] { format_learning_common_regs(&regs, params.get()); };
    if (c.fails()) {
      EXPECT_EQ(test_support::message_of(run), c.error);
      continue;
    }
    run();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%08X %08X %08X", regs[36], regs[37], regs[38]);
    EXPECT_EQ(std::string(buf), Case::join(c.out));
  }
  std::vector<uint32_t> regs(50, 0);
  format_learning_cnp_regs(&regs, 0xFFFF, 0xFFF);
  EXPECT_EQ(regs[39], 0xFFFFu);
  EXPECT_EQ(regs[41], 0xFFFu);
  EXPECT_EQ(test_support::message_of([&] { format_learning_cnp_regs(&regs, 0, 0x1000); }),
            "Attempted to write value 4096 into a 12-bit field, which will cause an overflow.");
}

TEST(V1FnpRegisterImages, Table) {
  for (const Case& c : testing::read_table("fnp_register_images.txt")) {
    SCOPED_TRACE(c.where());
    const testing::Keys keys = testing::keys_of(c.in);
    const testing::MappedLayers layers = testing::mapped_dense(keys);
    const bool learning = testing::key(keys, "learning", 0) != 0;
    const bool spikes = testing::key(keys, "spikes", 0) != 0, flag = testing::key(keys, "oflag", 0) != 0;
    auto run = [&] { return format_fnp_regs(device(), *layers.layer, learning, nullptr, spikes, flag); };
    if (c.fails()) {
      EXPECT_EQ(test_support::message_of(run), c.error);
      continue;
    }
    const auto regs = run();
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs.begin()->first, testing::ident_of(testing::parts(keys.find("np")->second, '/').at(1)));
    EXPECT_EQ(testing::sparse_text(regs.begin()->second), Case::join(c.out));
  }
}

// The tracks of a record: "target/words" for each NP track, "fnp2/words" for the filters track.
std::string tracks_of(const program::Record& record) {
  std::string s;
  for (const auto& track : record.tracks()) {
    const auto& w = track.words();
    for (size_t i = 0; i < w.size();) {
      const uint32_t size = (w[i + 1] >> 16) & 0xFFF;
      s += (s.empty() ? "" : " ") + std::to_string(w[i + 1] >> 28) + "/" + std::to_string(size);
      i += 2 + size;
    }
  }
  if (const auto* f = record.fnp2_filters_track()) s += " fnp2/" + std::to_string(f->words.size());
  return s;
}

constexpr const char* kDense = "in=1x1x40 ib=1 units=3 wb=2 act=1 ab=1 index=2 out=3 src=1.0.0 dst=3.0.0 w=1,0,-1 t=5 step=1";

TEST(V1DenseRecord, RegistersThenWeightsOnFnp3AndFilterTrackOnFnp2) {
  const auto fnp3 = testing::mapped_dense(testing::keys_of(testing::split(std::string(kDense) + " np=FNP3/2.0.0")));
  EXPECT_EQ(tracks_of(*record_program_dense_layer(device(), *fnp3.layer, nullptr, false, false, {}, false)),
            "7/50 6/24");
  EXPECT_EQ(tracks_of(*record_program_dense_layer(device(), *fnp3.layer, nullptr, false, false, {}, true)), "7/50");
  EXPECT_EQ(tracks_of(*record_program_dense_layer(device(), *fnp3.layer, nullptr, false, false,
                                                  {hw::Ident(2, 0, 0)}, false)),
            "");
  const auto fnp2 = testing::mapped_dense(testing::keys_of(testing::split(std::string(kDense) + " np=FNP2/2.0.0")));
  const auto record = record_program_dense_layer(device(), *fnp2.layer, nullptr, false, false, {}, false);
  EXPECT_EQ(tracks_of(*record), "7/50 fnp2/24");
  // The filters hold the thresholds (step 1 is 16 sixteenths) and the weights of every neuron.
  EXPECT_EQ(record->fnp2_filters_track()->words, format_layer_fnp_ram(*fnp2.layer));
  EXPECT_EQ(record->fnp2_filters_track()->words[0], 5u);
  EXPECT_EQ(record->fnp2_filters_track()->words[1], 16u);
}

TEST(V1DenseRecord, RefusalsFailTheWholeRecord) {
  const auto big = testing::mapped_dense(testing::keys_of(
      testing::split("in=1x1x2048 ib=1 units=1000 wb=1 index=2 src=1.0.0 dst=3.0.0 np=FNP3/2.0.0")));
  EXPECT_EQ(test_support::message_of([&] { record_program_dense_layer(device(), *big.layer, nullptr, false, false, {}, false); }),
            "Attempted to write value 68000 into a 16-bit field, which will cause an overflow.");
  const auto negative = testing::mapped_dense(testing::keys_of(
      testing::split("in=1x1x8 ib=1 units=2 wb=1 index=2 src=1.0.0 dst=3.0.0 np=FNP3/2.0.0 w=0,-1")));
  EXPECT_EQ(test_support::message_of([&] { record_program_dense_layer(device(), *negative.layer, nullptr, false, false, {}, false); }),
            "Backend hardware(FullyConnected): weight -1 of neuron 0 at input 1 does not fit in 1-bit weights.");
  EXPECT_THROW(record_program_dense_layer(device(), *testing::mapped_layers(testing::keys_of(testing::split(
                                              "kind=conv in=4x4x1 f=2 src=1.0.0 dst=3.0.0 np=1.0.0/0,0,4x4x1/0,0,4x4x1/0/2")))
                                              .layer,
                                          nullptr, false, false, {}, false),
               std::bad_cast);
}

// The input-size rule needs an FNP input memory smaller than the element limits allow.
TEST(V1DenseRules, InputSizeAgainstTheFnpInputMemory) {
  HardwareConstraints limits = testing::v1_limits();
  limits.fnp_input_max_bytes = 10;  // words
  const CompatibilityCheckerImpl checker(device(), limits);
  const auto fits = testing::layer_of("dense", "1x1x320:1", "units=2", "-");
  EXPECT_EQ(checker.check_layer_compatibility(*fits.layer, nullptr, hw_versions::Tamsel_v1).message, "Success.");
  const auto over = testing::layer_of("dense", "1x1x321:1", "units=2", "-");
  EXPECT_EQ(checker.check_layer_compatibility(*over.layer, nullptr, hw_versions::Tamsel_v1).message,
            "Input size exceeds memory. Maximum size is 40 bytes. (got 44 bytes).");
}

// A learning layer keeps exactly num_weights non-zero weights per neuron.
TEST(V1DenseRules, NumWeightsPerNeuronOfALearningLayer) {
  const HardwareConstraints limits = testing::v1_limits();  // the checker keeps a reference
  const CompatibilityCheckerImpl checker(device(), limits);
  const std::string base = "in=1x1x8 ib=1 units=2 wb=1 np=FNP3/2.0.0 learn=3,0.5,0.1,0.1,0.9 ";
  const auto exact = testing::mapped_dense(testing::keys_of(testing::split(base + "w=1,1,1,0,0,0,0,0")));
  EXPECT_EQ(checker.check_layer_compatibility(*exact.layer, nullptr, hw_versions::Tamsel_v1).message, "Success.");
  const auto second_off =
      testing::mapped_dense(testing::keys_of(testing::split(base + "w=1,1,1,0,0,0,0,0,1,1,0,0,0,0,0,0")));
  EXPECT_EQ(checker.check_layer_compatibility(*second_off.layer, nullptr, hw_versions::Tamsel_v1).message,
            "The number of weights per neuron should match the num_weights OvrixUnsupervised parameter.");
}

}  // namespace
}  // namespace ovrix::v1
