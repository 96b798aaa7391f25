// The v1 checks asked while layers are placed and grouped, case by case from
// tests/data/v1/mapping_checks.txt: component assignments, sequences, input fits and split values.
#include <gtest/gtest.h>

#include <sstream>

#include "backends/v1/compatibility_checker.h"
#include "support/v1_table.h"
#include "support/v1_layers.h"

namespace ovrix::v1 {
namespace {

using namespace testing;

// "type@x,y,width,filters;..." as components; the partition is 8 rows of 4 channels.
std::vector<hw::Component> components_of(const std::string& text) {
  static const std::map<std::string, hw::Type> types = {{"CNP1", hw::Type::CNP1}, {"CNP2", hw::Type::CNP2},
                                                        {"FNP3", hw::Type::FNP3}, {"HRC", hw::Type::HRC}};
  std::vector<hw::Component> out;
  if (text == "-") return out;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ';');) {
    const size_t at = part.find('@');
    const std::vector<int> v = values(part.substr(at + 1));
    hw::NpMapping np;
    np.filters = static_cast<uint32_t>(v.at(3));
    np.spatial_partition = NpSpace(v.at(0), v.at(1), Shape{static_cast<uint32_t>(v.at(2)), 8, 4});
    out.emplace_back(types.at(part.substr(0, at)), np);
  }
  return out;
}

// The chain "P,C,D" on an 8 x 8 x 4 input: P a convolution with max pooling, C one without, S a
// separable convolution with max pooling, D a dense layer.
Chain letters_chain(const std::string& letters) {
  const std::map<char, std::string> tokens = {
      {'C', "conv:padding=1,filters=4,weights_bits=4"},
      {'P', "conv:padding=1,filters=4,weights_bits=4,pool_type=1"},
      {'S', "sep:padding=1,filters=4,weights_bits=4,pool_type=1"},
      {'D', "dense:units=4"}};
  std::vector<std::string> layers;
  for (char k : letters)
    if (k != ',') layers.push_back(tokens.at(k));
  return chain_of("8x8x4:4", layers);
}

std::string text_of(const MappingStatus& status) {
  return status.failed ? status.layer_name + " " + status.message : status.message;
}

TEST(V1MappingChecks, Table) {
  const HardwareConstraints limits = v1_limits();
  for (const Case& c : read_table("mapping_checks.txt")) {
    SCOPED_TRACE(c.where());
    const std::string& what = c.in.at(0);
    const HwVersion version = what == "components" ? version_of(c.in.at(1)) : hw_versions::Tamsel_v1;
    const auto device = v1_device(version);
    const CompatibilityCheckerImpl checker(*device, limits);
    if (what == "components") {
      const Built built = layer_of(c.in.at(2), c.in.at(3), c.in.at(4), "-");
      const MappingStatus status = checker.check_layer_mappings(*built.layer, components_of(c.in.at(5)), false);
      EXPECT_EQ(status.failed ? "L " + status.message : status.message, Case::join(c.out) == "Success."
                                                                               ? "Success."
                                                                               : "L " + Case::join(c.out));
    } else if (what == "sequence") {
      const Chain chain = letters_chain(c.in.at(1));
      const auto first = chain.layers.cbegin() + num(c.in.at(2));
      const auto last = chain.layers.cbegin() + num(c.in.at(3)) + 1;
      EXPECT_EQ(text_of(checker.check_layer_sequence(first, last, version)), Case::join(c.out));
    } else if (what == "fit") {
      const auto height = static_cast<uint32_t>(num(c.in.at(1))), width = static_cast<uint32_t>(num(c.in.at(2)));
      const auto channels = static_cast<uint32_t>(num(c.in.at(3)));
      const auto bits = static_cast<uint8_t>(num(c.in.at(4)));
      EXPECT_EQ(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, height, width, channels, 0, bits, 0),
                num(c.out.at(0)) == 1);
      EXPECT_EQ(checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, height, width, channels, 0, bits, 0),
                num(c.out.at(1)) == 1);
    } else if (what == "split") {
      const auto params = LayerParams::create(
          LayerType::Convolutional,
          {{"kernel_width", int(num(c.in.at(1)))}, {"kernel_height", int(num(c.in.at(2)))},
           {"pool_type", int(num(c.in.at(3)))}, {"pooling_width", int(num(c.in.at(4)))},
           {"pooling_height", int(num(c.in.at(5)))}, {"filters", int(num(c.in.at(6)))}});
      const NpSplitParams split = checker.np_split_params(hw::Type::CNP1, *params);
      std::vector<std::string> got;
      for (size_t i = 0; i < 8; ++i) got.push_back(std::to_string(split[i]));
      EXPECT_EQ(got, c.out);
    } else {
      ADD_FAILURE() << "unknown case kind " << what;
    }
  }
}

}  // namespace
}  // namespace ovrix::v1
