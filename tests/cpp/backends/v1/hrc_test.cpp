// The input convolution on the v1 HRC against tables: the register image (tests/data/v1/hrc_registers.txt),
// the threshold words (hrc_thresholds.txt); then the blocks of its program in order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/v1/compatibility_checker.h"
#include "backends/v1/hrc_conv.h"
#include "backends/v1/hrc_sizes.h"
#include "engine/variables.h"
#include "program/hrc_format.h"
#include "support/fakes.h"
#include "support/message_of.h"
#include "support/v1_table.h"
#include "support/v1_tensors.h"
#include "support/v1_layers.h"

namespace ovrix::v1 {
namespace {

using testing::Case;

std::string hex_words(const std::vector<uint32_t>& words) {
  std::string s;
  char buf[16];
  for (const uint32_t w : words) {
    std::snprintf(buf, sizeof buf, "%08X", w);
    s += (s.empty() ? "" : " ") + std::string(buf);
  }
  return s;
}

TEST(V1HrcRegisters, Table) {
  for (const Case& c : testing::read_table("hrc_registers.txt")) {
    SCOPED_TRACE(c.where());
    const auto params = LayerParams::create(LayerType::InputConvolutional, testing::key_values(c.in.at(0)));
    const std::vector<int> b = testing::values(c.in.at(1));
    const std::array<uint32_t, 4> build = {uint32_t(b.at(0)), uint32_t(b.at(1)), uint32_t(b.at(2)), uint32_t(b.at(3))};
    if (c.fails()) {
      EXPECT_EQ(test_support::message_of([&] { format_hrc_registers(*params, build); }), c.error);
      continue;
    }
    EXPECT_EQ(hex_words(format_hrc_registers(*params, build)), Case::join(c.out));
  }
}

TEST(V1HrcThresholds, Table) {
  for (const Case& c : testing::read_table("hrc_thresholds.txt")) {
    SCOPED_TRACE(c.where());
    const std::vector<int> t = testing::values(c.in.at(0));
    const auto threshold = testing::filled(TensorType::int32, Shape{uint32_t(t.size())}, t);
    const auto steps = testing::filled(TensorType::int32, Shape{uint32_t(t.size())}, testing::values(c.in.at(1)));
    std::vector<uint32_t> out = {7};
    if (c.fails()) {
      EXPECT_EQ(test_support::message_of([&] { format_hrc_thresholds(&out, *threshold, *steps); }), c.error);
      continue;
    }
    format_hrc_thresholds(&out, *threshold, *steps);
    EXPECT_EQ(hex_words(out), Case::join(c.out));
  }
  const auto floats = testing::filled(TensorType::float32, Shape{2}, {1});
  std::vector<uint32_t> out;
  EXPECT_THAT(test_support::message_of([&] { format_hrc_thresholds(&out, *floats, *floats); }),
              ::testing::StartsWith("Wrong requested type"));
}

// The blocks of a record as "target@address/words".
std::vector<std::string> blocks_of(const program::Record& record) {
  std::vector<std::string> out;
  for (const auto& track : record.tracks()) {
    const auto& w = track.words();
    for (size_t i = 0; i < w.size();) {
      EXPECT_EQ(w[i] & 0xFFFFFF, 0u);  // every block goes to the HRC (0, 0, 0)
      const uint32_t size = (w[i + 1] >> 16) & 0xFFF;
      out.push_back(std::to_string(w[i + 1] >> 28) + "@" + std::to_string(w[i + 1] & 0xFFFF) + "/" +
                    std::to_string(size));
      i += 2 + size;
    }
  }
  return out;
}

testing::Built inconv(const std::string& params) {
  return testing::layer_of("inconv", "8x8x3:8", "input_width=8,input_height=8,input_channels=3," + params, "-");
}

TEST(V1HrcRecord, RegistersColourSramsThresholdsThenStart) {
  const test_support::FakeDevice device(hw_versions::Tamsel_v1, Mesh(IpVersion::v1, {}, {}, std::nullopt, {}, {}));
  const testing::Built built = inconv("filters=4,kernel_width=3,kernel_height=3,padding=1,act_bits=4");
  auto vars = built.layer->variables();
  vars->set("weights", testing::filled(vars->get("weights")->type(), vars->get("weights")->shape(), {1, 0, -1},
                                        Dense::Layout::RowMajor));
  vars->set("threshold", testing::filled(TensorType::int32, Shape{4}, {3, -1}));
  const auto lines = format_hrc_weights(*vars->get("weights"));
  ASSERT_GE(lines.size(), 3u);
  const auto record = record_program_hrc_layer(device, *built.layer);
  const std::string r = std::to_string(lines[0].size()), g = std::to_string(lines[1].size()),
                    b = std::to_string(lines[2].size());
  EXPECT_THAT(blocks_of(*record), ::testing::ElementsAre("8@8/8", "8@32/2", "9@40/" + r, "8@32/2", "9@40/" + g,
                                                         "8@32/2", "9@40/" + b, "8@32/2", "9@40/8", "8@8/1",
                                                         "8@0/1", "8@0/1"));
  // The SRAM size counts the weight lines and the threshold words.
  uint64_t words = 8;
  for (const auto& line : lines) words += line.size();
  EXPECT_EQ(get_hrc_sram_size(*built.layer), words);
  EXPECT_THROW(record_program_hrc_layer(device, *testing::layer_of("dense", "1x1x16:4", "units=4", "-").layer),
               std::bad_cast);
}

// The act-step rule runs only when every other rule passed; steps of 1048575 sixteenths fit the HRC.
TEST(V1HrcRules, ActStepRangeAfterTheOtherRules) {
  const test_support::FakeDevice device(hw_versions::Tamsel_v1, Mesh(IpVersion::v1, {}, {}, std::nullopt, {}, {}));
  const HardwareConstraints limits = testing::v1_limits();
  const CompatibilityCheckerImpl checker(device, limits);
  auto status_with = [&](float step, const std::string& params) {
    const testing::Built built = inconv("filters=2,kernel_width=3,kernel_height=3,padding=1,act_bits=4" + params);
    auto vars = built.layer->variables();
    testing::fill_variable(*built.layer, "weights", 1);
    vars->set("act_step", testing::filled(TensorType::float32, Shape{2}, {1, static_cast<int>(step)}));
    return checker.check_layer_compatibility(*built.layer, nullptr, hw_versions::Tamsel_v1).message;
  };
  EXPECT_EQ(status_with(1048575, ""), "Success.");
  EXPECT_EQ(status_with(1048576, ""),
            "The parameter act_step should be between 0 and 1048575. Receives act_step 1048576.");
  EXPECT_EQ(status_with(1048576, ",stride_x=4"), "The parameter stride_x should be 1, 2 or 3.");
}

}  // namespace
}  // namespace ovrix::v1
