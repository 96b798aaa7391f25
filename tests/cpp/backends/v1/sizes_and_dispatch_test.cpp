// The v1 memory sizer and the layer recorder's dispatch, case by case from
// tests/data/v1/sizes_and_dispatch.txt.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "backends/v1/layer_recorder.h"
#include "backends/v1/memory_sizer.h"
#include "program/record.h"
#include "support/v1_table.h"
#include "support/v1_layers.h"

namespace ovrix::v1 {
namespace {

using namespace testing;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

// "TYPE:filters:partition:window".
hw::Component component_of(const std::string& text) {
  static const std::map<std::string, hw::Type> types = {{"CNP1", hw::Type::CNP1}, {"CNP2", hw::Type::CNP2},
                                                        {"FNP2", hw::Type::FNP2}, {"FNP3", hw::Type::FNP3},
                                                        {"HRC", hw::Type::HRC}};
  std::stringstream in(text);
  std::string type, filters, partition, window;
  std::getline(in, type, ':');
  std::getline(in, filters, ':');
  std::getline(in, partition, ':');
  std::getline(in, window, ':');
  hw::NpMapping np;
  np.filters = static_cast<uint32_t>(num(filters));
  np.spatial_partition = NpSpace(0, 0, shape_of(partition));
  np.input_window = NpSpace(0, 0, shape_of(window));
  return hw::Component(types.at(type), np);
}

// The size, or the short name of the error it throws.
template <class F>
std::string size_or_error(F&& size) {
  const std::map<std::string, std::string> errors = {
      {"Invalid v1 layer type.", "invalid"}};
  try {
    return std::to_string(size());
  } catch (const std::exception& e) {
    const auto it = errors.find(e.what());
    return it == errors.end() ? std::string("unexpected: ") + e.what() : it->second;
  }
}

TEST(V1SizesAndDispatch, Table) {
  const auto device = v1_device(hw_versions::Tamsel_v1);
  const HardwareConstraints limits = v1_limits();
  const MemorySizerImpl sizer;
  const LayerRecorderImpl recorder(*device, limits);
  for (const Case& c : read_table("sizes_and_dispatch.txt")) {
    SCOPED_TRACE(c.where());
    const std::string& what = c.in.at(0);
    const Built built = layer_of(c.in.at(1), c.in.at(2), c.in.at(3), "-");
    const std::shared_ptr<Layer>& layer = built.layer;
    if (what == "mem") {
      const hw::Component component = component_of(c.in.at(4));
      const std::vector<std::string> got = {
          size_or_error([&] { return sizer.get_input_memory_size(layer, component, layer); }),
          size_or_error([&] { return sizer.get_weight_memory_size(layer, component); }),
          size_or_error([&] { return sizer.get_external_memory_size(layer, component, false, false); })};
      EXPECT_EQ(got, c.out);
      // The v1 edition has none of the lumo SRAMs.
      EXPECT_EQ(sizer.get_fsram_64b_memory_size(layer) + sizer.get_tsram_51b_memory_size(layer) +
                    sizer.get_evsram_32b_memory_size(layer) + sizer.get_stsram_32b_memory_size(layer),
                0u);
      continue;
    }
    auto run = [&]() -> size_t {
      if (what == "learn") return recorder.record_learning_layer(*layer, false).first ? 1 : 0;
      if (what == "sync") {
        recorder.sync_learning_vars(layer);
        return 0;
      }
      return recorder.record_layer(*layer, *layer, nullptr, false, false, {}, false, false)->tracks().size();
    };
    if (c.fails()) {
      EXPECT_THAT(run, ThrowsMessage<std::runtime_error>(StrEq(c.error)));
    } else {
      EXPECT_EQ(std::to_string(run()), c.out.at(0));
    }
  }
}

}  // namespace
}  // namespace ovrix::v1
