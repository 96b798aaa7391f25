// Exact output bytes: fingerprints of the formatted weight blocks of standard convolutions for every
// kernel, both weight widths, filter ranges that end inside a group and both tensor layouts (taken from
// the straightforward implementations that the faster ones replace), and readable golden dumps of the
// whole device program of fixed models mapped on a virtual v2 device in one pass and in several.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "backends/v2/cnp_weights.h"
#include "engine/dma.h"
#include "engine/device.h"
#include "engine/engine.h"
#include "engine/model.h"
#include "engine/params.h"
#include "engine/variables.h"
#include "mapping/mesh.h"
#include "support/golden.h"
#include "support/program_reader.h"

namespace ovrix::v2 {
namespace {

// FNV-1a, 64 bits.
uint64_t fingerprint(const uint8_t* bytes, size_t size) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < size; ++i) {
    h ^= bytes[i];
    h *= 0x100000001B3ull;
  }
  return h;
}

uint64_t fingerprint(const std::vector<uint32_t>& words) {
  return fingerprint(reinterpret_cast<const uint8_t*>(words.data()), words.size() * sizeof(uint32_t));
}

// Deterministic bytes over the whole int8 range, so that the 4-bit formats must drop the high
// nibble themselves.
struct Xorshift {
  uint64_t state;
  uint8_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<uint8_t>(state >> 24);
  }
};

std::shared_ptr<Dense> random_weights(uint32_t k, uint32_t c, uint32_t f, Dense::Layout layout, uint64_t seed) {
  std::shared_ptr<Dense> w = Dense::create(TensorType::int8, Shape{k, k, c, f}, layout);
  Xorshift rng{seed};
  for (std::byte& b : w->mutable_data()) b = static_cast<std::byte>(rng.next());
  return w;
}

struct FormatCase {
  uint32_t kernel;
  uint8_t bits;
  uint32_t channels;
  uint32_t filters;  // of the tensor
  uint32_t first;
  uint32_t count;
  Dense::Layout layout;
  size_t words;
  uint64_t expected;
};

class Conv2dWeightBytes : public ::testing::TestWithParam<FormatCase> {};

TEST_P(Conv2dWeightBytes, Fingerprint) {
  const FormatCase& p = GetParam();
  const auto w = random_weights(p.kernel, p.channels, p.filters, p.layout, 0x1234567 + p.kernel * 31 + p.bits);
  const std::vector<uint32_t> words = format_conv2d_cnp_weights(*w, p.first, p.count, p.bits);
  EXPECT_EQ(words.size(), p.words);
  EXPECT_EQ(fingerprint(words), p.expected) << std::hex << fingerprint(words);
}

constexpr auto RM = Dense::Layout::RowMajor;
constexpr auto RV = Dense::Layout::Reversed;

INSTANTIATE_TEST_SUITE_P(
    Kernels, Conv2dWeightBytes,
    ::testing::Values(
        // 4-bit: 48-bit halves for kernels 1 and 3, 50-bit halves for 5 and 7.
        FormatCase{1, 4, 5, 60, 0, 60, RM, 60, 0xdebd356344d81647ull},
        FormatCase{1, 4, 5, 60, 7, 25, RM, 40, 0x27215ce5f4788684ull},
        FormatCase{1, 4, 3, 30, 1, 13, RV, 12, 0x516479c97a3e207ull},
        FormatCase{3, 4, 6, 40, 0, 40, RM, 360, 0xcf1656e6bfb2a85cull},
        FormatCase{3, 4, 6, 40, 3, 21, RM, 216, 0xa599624a8b3ac78aull},
        FormatCase{3, 4, 4, 17, 1, 9, RV, 96, 0xecf4564ffb0d2c01ull},
        FormatCase{5, 4, 5, 24, 0, 24, RM, 480, 0x2acb011135a3a8aaull},
        FormatCase{5, 4, 5, 24, 5, 11, RM, 320, 0x76be7d9d6aaff372ull},
        FormatCase{5, 4, 3, 12, 2, 7, RV, 96, 0xab028070f2e06508ull},
        FormatCase{7, 4, 4, 20, 0, 20, RM, 1008, 0x23dbd69402e37ac0ull},
        FormatCase{7, 4, 4, 20, 6, 13, RM, 672, 0x5d49e47308647ec9ull},
        FormatCase{7, 4, 2, 9, 1, 5, RV, 168, 0xef91845e44168af1ull},
        // 8-bit, every kernel.
        FormatCase{1, 8, 5, 60, 3, 50, RM, 90, 0xd8b275b25175b88bull},
        FormatCase{3, 8, 6, 40, 3, 21, RM, 324, 0xa870929004f4be80ull},
        FormatCase{4, 8, 3, 20, 1, 17, RV, 324, 0xb72cc74ac1755303ull},
        FormatCase{5, 8, 5, 24, 5, 11, RM, 600, 0x907bab5724da2a80ull},
        FormatCase{7, 8, 4, 20, 6, 13, RM, 1792, 0xb028de92b97deb08ull},
        FormatCase{7, 8, 2, 9, 1, 5, RV, 448, 0xe9184ab12819ed03ull}));

// One sweep for several NPs' shares gives each share the words of its own call, in the order given
// (not sorted, overlapping, partial groups, a share of the whole layer; shares that follow one
// another in whole groups, one ending in a partial group, one following a partial group, a run that
// restarts behind the last); no share, no block.
TEST(Conv2dWeightShares, EachShareAsAloneForEveryKernelAndWidth) {
  const std::vector<std::vector<FilterShare>> share_lists{
      {{16, 8}, {0, 5}, {3, 21}, {0, 40}, {39, 1}, {24, 13}},
      {{0, 8}, {8, 16}, {24, 13}, {37, 3}, {8, 8}, {16, 8}, {24, 8}, {32, 3}, {35, 5}},
  };
  for (const auto& shares : share_lists) {
    for (const uint32_t kernel : {1u, 3u, 4u, 5u, 7u}) {
      for (const uint8_t bits : {uint8_t{4}, uint8_t{8}}) {
        if (kernel == 4 && bits == 4) continue;  // no 4-bit format for kernel 4
        for (const auto layout : {RM, RV}) {
          const auto w = random_weights(kernel, 3, 40, layout, 77 + kernel);
          const WeightView view = WeightView::of(*w);
          const auto all = format_conv2d_cnp_weights(view, shares, bits);
          ASSERT_EQ(all.size(), shares.size());
          for (size_t n = 0; n < shares.size(); ++n)
            EXPECT_EQ(all[n], format_conv2d_cnp_weights(*w, shares[n].first, shares[n].count, bits))
                << "kernel " << kernel << ", " << int(bits) << " bits, share " << n << " of " << shares.size();
          EXPECT_TRUE(format_conv2d_cnp_weights(view, {}, bits).empty());
        }
      }
    }
  }
}

TEST(Conv2dWeightShares, ARangeBeyondTheWeightsIsRefused) {
  const auto w = random_weights(3, 2, 16, RM, 5);
  try {
    format_conv2d_cnp_weights(WeightView::of(*w), {{0, 8}, {12, 8}}, 4);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Filters 12 to 19 are beyond the weights of 16 filters.");
  }
}

// ---- Whole programs

class VirtualDevice : public Device {
 public:
  explicit VirtualDevice(unsigned cnps) : mesh_(make(cnps)) {}
  HwVersion version() const override { return hw_versions::Proteo_v2; }
  const char* desc() const override { return "virtual"; }
  const Mesh& mesh() const override { return mesh_; }
  HardwareDevice* hardware() const override { return nullptr; }

 private:
  static Mesh make(unsigned cnps) {
    std::vector<np::Info> nps;
    for (unsigned i = 0; i < cnps; ++i)
      nps.emplace_back(hw::Ident(uint8_t(1 + i / 4), 1, uint8_t(i % 4)),
                       std::set<hw::Type>{hw::Type::CNP1, hw::Type::CNP2});
    std::vector<np::Info> skip{{hw::Ident(0, 2, 0, 8), {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}}};
    return Mesh(IpVersion::v2, hw::Ident(0, 0, 1), hw::Ident(0, 0, 2), std::nullopt, nps, skip);
  }
  Mesh mesh_;
};

struct ConvSpec {
  LayerType type;
  int kernel;
  int filters;
  int weights_bits;
};

// Input 8 x 8 x 32, then convolutions of every kernel at both widths; the 96-channel 3 x 3 layer of
// 128 filters needs three NPs for its weights, the 7 x 7 one two.
std::unique_ptr<Model> fixed_model() {
  auto model = Model::create();
  auto input = LayerParams::create(LayerType::InputData, {{"input_width", 8},
                                                          {"input_height", 8},
                                                          {"input_channels", 32},
                                                          {"input_bits", 8},
                                                          {"input_signed", 0}});
  model->add(Layer::create(input.get(), "input"));
  const ConvSpec specs[] = {
      {LayerType::Conv2D, 3, 48, 8},          {LayerType::Conv2D, 5, 40, 4}, {LayerType::Conv2D, 1, 64, 4},
      {LayerType::Conv2D, 7, 24, 4},          {LayerType::Conv2D, 3, 96, 4}, {LayerType::Conv2D, 3, 128, 8},
      {LayerType::DepthwiseConv2D, 3, 0, 8}, {LayerType::Conv2D, 1, 32, 8}, {LayerType::Conv2D, 5, 16, 8},
  };
  Xorshift rng{0xC0FFEE};
  int index = 0;
  for (const ConvSpec& s : specs) {
    std::map<std::string, int> values{{"kernel_size", s.kernel}, {"kernel_stride", 1}, {"padding", 1},
                                      {"pool_type", 0},          {"activation", 1},     {"weights_bits", s.weights_bits}};
    if (s.filters) values["filters"] = s.filters;
    auto params = LayerParams::create(s.type, values);
    auto layer = Layer::create(params.get(), "conv" + std::to_string(++index));
    model->add(layer);
    auto vars = layer->variables();
    // Weights in their width's range; small shifts, scales and biases.
    const int span = 1 << s.weights_bits;
    for (std::byte& b : vars->get("weights")->mutable_data())
      b = static_cast<std::byte>(static_cast<int8_t>(rng.next() % span - span / 2));
    for (std::byte& b : vars->get("input_shift")->mutable_data()) b = static_cast<std::byte>(rng.next() % 4);
    if (vars->has("output_scales"))
      for (std::byte& b : vars->get("output_scales")->mutable_data()) b = static_cast<std::byte>(1 + rng.next() % 100);
  }
  return model;
}

// The program as readable lines: per pass, record and track, one line for each DMA block (identifier,
// target, parameter, payload size, then the payload, or its FNV-1a when longer than 8 words), one for
// each FNP2 filters track, and the program information as words. A changed byte shows where it is.
std::vector<std::string> program_dump(const std::vector<uint8_t>& program) {
  program_test::ProgramView view(program);
  std::vector<std::string> lines;
  const auto payload = [](const uint32_t* words, size_t n) {
    if (n > 8) return fmt::format("fnv {:016x}", fingerprint(reinterpret_cast<const uint8_t*>(words), 4 * n));
    std::string out;
    for (size_t i = 0; i < n; ++i) out += fmt::format("{}{:08x}", i ? " " : "", words[i]);
    return out;
  };
  const auto* passes = view.data->passes();
  for (uint32_t p = 0; passes && p < passes->size(); ++p) {
    const auto* records = passes->Get(p)->records();
    for (uint32_t r = 0; records && r < records->size(); ++r) {
      const fb::Record* record = records->Get(r);
      for (uint32_t t = 0; record->tracks() && t < record->tracks()->size(); ++t) {
        const std::vector<uint32_t> words = program_test::to_vector(record->tracks()->Get(t)->words());
        for (size_t pos = 0; pos + 2 <= words.size();) {
          const dma::ConfigHeader h = dma::parse_config_header(&words[pos]);
          const size_t n = std::min<size_t>(h.size, words.size() - pos - 2);
          lines.push_back(fmt::format("{} {} {} | {}.{}.{}.{} {} {} {} | {}", p, r, t, h.ident.col, h.ident.row,
                                      h.ident.id, h.ident.channel, static_cast<uint32_t>(h.target), h.parameter,
                                      h.size, payload(&words[pos + 2], n)));
          pos += 2 + n;
        }
      }
      if (const auto* filters = record->fnp2_filters()) {
        const std::vector<uint32_t> words = program_test::to_vector(filters->words());
        lines.push_back(fmt::format("{} {} fnp2 | {}.{}.{} | {}", p, r, filters->np()->col(), filters->np()->row(),
                                    filters->np()->id(), payload(words.data(), words.size())));
      }
    }
  }
  std::vector<uint32_t> info((view.info_size + 3) / 4);
  std::memcpy(info.data(), program.data(), view.info_size);
  std::string text;
  for (uint32_t w : info) text += fmt::format("{}{:08x}", text.empty() ? "" : " ", w);
  lines.push_back("info | " + text);
  return lines;
}

// tests/data/v2/program_<name>.txt holds the dump of the fixed model mapped on a device of that many CNPs;
// OVRIX_UPDATE_GOLDEN=1 writes the dumps instead of comparing them.
struct ProgramCase {
  const char* name;
  unsigned cnps;
  size_t passes;
};

// The program information holds the engine's version text: its line is compared under this version only.
constexpr const char* GOLDEN_VERSION = "0.1.0";

class ProgramBytes : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramBytes, GoldenDump) {
  const ProgramCase& p = GetParam();
  auto device = std::make_shared<VirtualDevice>(p.cnps);
  auto model = fixed_model();
  model->map(device, true, nullptr);
  ASSERT_EQ(model->sequences().size(), 1u);
  const Sequence& sequence = *model->sequences().front();
  EXPECT_EQ(sequence.passes().size(), p.passes);
  const auto bytes = sequence.program();
  const std::vector<std::string> actual = program_dump(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  const std::string file = std::string("v2/program_") + p.name + ".txt";
  if (std::getenv("OVRIX_UPDATE_GOLDEN")) {
    std::ofstream out(std::string(OVRIX_TEST_DATA_DIR) + "/" + file);
    out << "# The fixed model of program_bytes_test.cpp on " << p.cnps << " CNPs: pass record track | identifier "
        << "target parameter size | payload (fnv: FNV-1a of a longer one); fnp2: a filters track; info: its words.\n";
    for (const std::string& line : actual) out << line << "\n";
    return;
  }
  const std::vector<golden::Case> expected = golden::cases(file);
  for (size_t i = 0; i < std::max(actual.size(), expected.size()); ++i) {
    if (i + 1 == actual.size() && std::string(version()) != GOLDEN_VERSION) continue;
    std::string line;
    if (i < expected.size())
      for (const std::string& field : expected[i].fields) line += (line.empty() ? "" : " | ") + field;
    ASSERT_EQ(i < actual.size() ? actual[i] : "(end of the program)", line)
        << (i < expected.size() ? expected[i].where : file + ": (end of the file)");
  }
}

INSTANTIATE_TEST_SUITE_P(Models, ProgramBytes,
                         ::testing::Values(ProgramCase{"one_pass", 16, 1}, ProgramCase{"several_passes", 4, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ovrix::v2
