// A v2 model mapped on an emulated device runs through Model::forward: the samples reach the device one
// by one, in order, and its outputs come back stacked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/emulation.h"
#include "engine/model.h"
#include "mapping/device_discovery.h"

namespace ovrix {
namespace {

std::unique_ptr<Model> v2_chain(int filters = 4) {
  auto model = Model::create();
  auto input = LayerParams::create(LayerType::InputData, {{"input_width", 4},
                                                          {"input_height", 4},
                                                          {"input_channels", 1},
                                                          {"input_bits", 8},
                                                          {"input_signed", 0}});
  model->add(Layer::create(input.get(), "input"));
  auto conv = LayerParams::create(LayerType::Conv2D, {{"kernel_size", 3},
                                                      {"kernel_stride", 1},
                                                      {"padding", 1},
                                                      {"filters", filters},
                                                      {"weights_bits", 4},
                                                      {"activation", 1}});
  for (const char* name : {"c1", "c2"}) model->add(Layer::create(conv.get(), name));
  return model;
}

TEST(MappedModel, RunsItsSamplesOnTheEmulatedDeviceInOrder) {
  auto driver = emulation::make_driver(emulation::parse_devices("v2")[0]);
  auto device = std::make_shared<HostDevice>(HardwareDevice::create(driver.get()));
  auto model = v2_chain();
  model->map(device, false, nullptr);
  ASSERT_FALSE(model->sequences().empty());
  EXPECT_EQ(model->sequences().front()->backend(), BackendType::Hardware);

  std::vector<uint8_t> bytes(3 * 16);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  auto input = std::shared_ptr<Dense>(
      Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), TensorType::uint8, Shape{3, 4, 4, 1}));
  auto out = model->forward(input, 0);
  ASSERT_TRUE(out->shape() == (Shape{3, 4, 4, 4}));
  // Each sample's output is the emulated device's function of that sample's bytes alone.
  const size_t per_sample = 4 * 4 * 4, esize = element_size(out->type());
  for (size_t s = 0; s < 3; ++s) {
    const uint64_t hash = emulation::sample_hash(std::as_bytes(std::span(bytes.data() + s * 16, 16)));
    for (size_t k = 0; k < per_sample; ++k) {
      std::byte want[4] = {};
      emulation::output_value(hash, k, out->type(), want);
      ASSERT_EQ(std::memcmp(out->data().data() + (s * per_sample + k) * esize, want, esize), 0)
          << "sample " << s << " element " << k;
    }
  }
  // v2 devices do not learn.
  EXPECT_THROW(model->fit(input, {0}, 0), std::runtime_error);
}

size_t count(const std::vector<std::string>& calls, const std::string& name) {
  return static_cast<size_t>(std::count(calls.begin(), calls.end(), name));
}

// The device keeps its program between runs: it is programmed once for two runs of one model, and
// again only when another model's sequence runs on it.
TEST(MappedModel, ReprogramsTheDeviceOnlyWhenAnotherSequenceRuns) {
  auto driver = emulation::make_driver(emulation::parse_devices("v2")[0]);
  auto device = std::make_shared<HostDevice>(HardwareDevice::create(driver.get()));
  auto* emulated = dynamic_cast<emulation::EmulatedDevice*>(device->hardware());
  ASSERT_NE(emulated, nullptr);
  auto first = v2_chain(4), second = v2_chain(8);
  first->map(device, false, nullptr);
  second->map(device, false, nullptr);
  ASSERT_NE(first->sequences().front()->program().size(), 0u);

  std::vector<uint8_t> bytes(2 * 16, 3);
  auto input = std::shared_ptr<Dense>(
      Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), TensorType::uint8, Shape{2, 4, 4, 1}));
  const auto& calls = emulated->calls();
  first->forward(input, 0);
  first->forward(input, 0);
  EXPECT_EQ(count(calls, "program"), 1u);
  EXPECT_EQ(count(calls, "forward"), 2u);
  second->forward(input, 0);
  EXPECT_EQ(count(calls, "program"), 2u);
  first->forward(input, 0);
  EXPECT_EQ(count(calls, "program"), 3u);
  const auto loaded = emulated->program();
  const auto own = first->sequences().front()->program();
  EXPECT_TRUE(std::equal(loaded.begin(), loaded.end(), own.begin(), own.end()));
}

}  // namespace
}  // namespace ovrix
