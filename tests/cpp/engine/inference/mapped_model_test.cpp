// A v2 model mapped on an emulated device runs through Model::forward: the samples reach the device one
// by one, in order, and its outputs come back stacked.
#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <stdexcept>
#include <vector>

#include "engine/emulation.h"
#include "engine/model.h"
#include "mapping/device_discovery.h"
#include "support/models.h"

namespace ovrix {
namespace {

using test_support::v2_chain;

TEST(MappedModel, RunsItsSamplesOnTheEmulatedDeviceInOrder) {
  auto driver = emulation::make_driver(emulation::parse_devices("v2")[0]);
  auto device = std::make_shared<HostDevice>(HardwareDevice::create(driver.get()));
  auto model = v2_chain(2);
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

}  // namespace
}  // namespace ovrix
