#include "mapping/forward_samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "support/test_programs.h"
#include "engine/emulation.h"
#include "engine/model.h"
#include "engine/params.h"
#include "mapping/device_discovery.h"
#include "support/fakes.h"
#include "support/models.h"

namespace ovrix {
namespace {

using device_testing::build_program;
using device_testing::TestProgram;
using Calls = std::vector<std::string>;

std::shared_ptr<Layer> layer_of(LayerType type, const char* name) {
  const auto params = LayerParams::create(type, {});
  return Layer::create(params.get(), name);
}

struct Road : ::testing::Test {
  std::unique_ptr<emulation::EmulatedDriver> driver = emulation::make_driver(emulation::parse_devices("v2")[0]);
  std::shared_ptr<HostDevice> device = std::make_shared<HostDevice>(HardwareDevice::create(driver.get()));
  emulation::EmulatedDevice& emulated = dynamic_cast<emulation::EmulatedDevice&>(*device->hardware());
  std::vector<uint8_t> first = build_program(TestProgram().tagged(1));
  std::vector<uint8_t> second = build_program(TestProgram().tagged(2));
  std::vector<std::shared_ptr<Layer>> add_last{layer_of(LayerType::Dequantizer, "deq"), layer_of(LayerType::Add, "add")};
  std::vector<std::shared_ptr<Layer>> dequantizer_last{layer_of(LayerType::Add, "add"),
                                                       layer_of(LayerType::Dequantizer, "deq")};
  int syncs = 0;

  std::vector<std::shared_ptr<const Tensor>> inputs(size_t n, uint8_t seed = 0) {
    std::vector<std::shared_ptr<const Tensor>> out;
    for (size_t i = 0; i < n; ++i) {
      std::vector<char> bytes(16, static_cast<char>(seed + i));
      out.push_back(std::shared_ptr<const Tensor>(Dense::copy(bytes.data(), bytes.size(), TensorType::uint8,
                                                              Shape{4, 4, 1})));
    }
    return out;
  }

  std::vector<std::shared_ptr<Tensor>> run(const std::vector<uint8_t>& program, size_t n,
                                           const std::vector<int32_t>* labels = nullptr,
                                           const std::vector<std::shared_ptr<Layer>>* layers = nullptr) {
    return forward_samples(*device, program, layers ? *layers : add_last, inputs(n), labels, [this] { ++syncs; });
  }
};

TEST_F(Road, NeedsHardwareBeforeTouchingAnything) {
  const test_support::FakeDevice none(hw_versions::Proteo_v2, Mesh{IpVersion::v2, {}, {}, std::nullopt, {}, {}});
  const std::vector<int32_t> labels{1};
  for (const std::vector<int32_t>* l : {static_cast<const std::vector<int32_t>*>(nullptr), &labels}) {
    try {
      forward_samples(none, first, add_last, inputs(1), l, [this] { ++syncs; });
      FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "An actual hardware device is required.");
    }
  }
  EXPECT_EQ(syncs, 0);
}

TEST_F(Road, LoadsAProgramOnlyWhenTheDeviceHoldsAnother) {
  run(first, 2);
  run(first, 3);
  EXPECT_EQ(emulated.calls(), (Calls{"program", "set_batch_size", "forward", "set_batch_size", "forward"}));
  EXPECT_EQ(emulated.batch_size(), 3u);
  run(second, 1);
  run(first, 1);
  EXPECT_EQ(std::count(emulated.calls().begin(), emulated.calls().end(), "program"), 3);
  const auto loaded = device->hardware()->program();
  EXPECT_TRUE(std::equal(loaded.begin(), loaded.end(), first.begin(), first.end()));
  // A program of the same size with other bytes is another program.
  ASSERT_EQ(first.size(), second.size());
  run(second, 1);
  EXPECT_EQ(std::count(emulated.calls().begin(), emulated.calls().end(), "program"), 4);
}

TEST_F(Road, LearningFollowsTheLabels) {
  const std::vector<int32_t> labels{1, 2};
  run(first, 2);
  run(first, 2, &labels);
  run(first, 2, &labels);
  run(first, 2);
  EXPECT_EQ(emulated.calls(), (Calls{"program", "set_batch_size", "forward",                      //
                                     "set_batch_size", "set_learn_enabled", "fit",               //
                                     "set_batch_size", "fit",                                    //
                                     "set_batch_size", "set_learn_enabled", "forward"}));
  EXPECT_FALSE(device->hardware()->learn_enabled());
  EXPECT_EQ(syncs, 2);
}

TEST_F(Road, PredictAfterADequantizerAndFitWhateverTheLastLayer) {
  const std::vector<int32_t> labels{};
  const auto predicted = run(first, 2, nullptr, &dequantizer_last);
  ASSERT_EQ(predicted.size(), 2u);
  EXPECT_EQ(predicted[0]->type(), TensorType::float32);
  const auto fitted = run(first, 2, &labels, &dequantizer_last);
  EXPECT_EQ(fitted[0]->type(), TensorType::int32);
  EXPECT_EQ(emulated.calls().back(), "fit");
  EXPECT_EQ(run(first, 1)[0]->type(), TensorType::int32);
  EXPECT_EQ(emulated.calls().back(), "forward");
}

TEST_F(Road, OutputsKeepTheirOrder) {
  const auto in = inputs(3, 40);
  const auto outs = forward_samples(*device, first, add_last, in, nullptr, {});
  ASSERT_EQ(outs.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const uint64_t h = emulation::sample_hash(in[i]->data());
    int32_t expected;
    emulation::output_value(h, 0, TensorType::int32, reinterpret_cast<std::byte*>(&expected));
    EXPECT_EQ(outs[i]->data_as<int32_t>()[0], expected) << i;
  }
}

TEST_F(Road, AFailedReadBackLeavesTheProgramAndLearningOn) {
  const std::vector<int32_t> labels{3};
  EXPECT_THROW(forward_samples(*device, first, add_last, inputs(2), &labels,
                               [] { throw std::runtime_error("Learning not implemented on v2."); }),
               std::runtime_error);
  EXPECT_TRUE(device->hardware()->learn_enabled());
  EXPECT_EQ(device->hardware()->program().size(), first.size());
  EXPECT_EQ(emulated.calls().back(), "fit");
}

// Reprogramming: what the model learnt since it was mapped goes into the device's learning memory at
// every call, also when the device already holds the program (a copy of the model may have run it).
TEST_F(Road, TheLearningMemoryIsWrittenAtEveryCall) {
  int writes = 0;
  bool fail = false;
  const auto go = [&](const std::vector<uint8_t>& program) {
    forward_samples(*device, program, add_last, inputs(1), nullptr, {}, [&] {
      ++writes;
      if (fail) throw std::runtime_error("the memory does not match");
    });
  };
  go(first);
  go(first);
  EXPECT_EQ(writes, 2);
  go(second);
  go(first);
  EXPECT_EQ(writes, 4);
  EXPECT_EQ(std::count(emulated.calls().begin(), emulated.calls().end(), "program"), 3);
  // A program whose memory could not be written is not left loaded with another memory: the next call
  // loads it again, whether the failed call loaded it or found it loaded.
  for (const auto* program : {&second, &second}) {
    fail = true;
    EXPECT_THROW(go(*program), std::runtime_error);
    EXPECT_TRUE(device->hardware()->program().empty());
    fail = false;
    go(*program);
  }
  EXPECT_EQ(writes, 8);
  EXPECT_EQ(std::count(emulated.calls().begin(), emulated.calls().end(), "program"), 6);
}

}  // namespace
}  // namespace ovrix

namespace ovrix {
namespace {

// A v2 model mapped by the main road runs its hardware sequence on an emulated v2 device.
using test_support::v2_chain;

TEST(MappedModelOnEmulatedDevice, ProgramsOnceRunsAgainAndReprogramsForAnotherSequence) {
  auto driver = emulation::make_driver(emulation::parse_devices("v2")[0]);
  auto device = std::make_shared<HostDevice>(HardwareDevice::create(driver.get()));
  auto& emulated = dynamic_cast<emulation::EmulatedDevice&>(*device->hardware());
  auto first = v2_chain(2, 4), second = v2_chain(2, 8);
  first->map(device, false, nullptr);
  second->map(device, false, nullptr);
  ASSERT_EQ(first->sequences().size(), 1u);
  ASSERT_EQ(second->sequences().size(), 1u);
  const auto first_program = first->sequences()[0]->program();
  ASSERT_FALSE(std::ranges::equal(first_program, second->sequences()[0]->program()));

  std::vector<char> bytes(2 * 16);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 5);
  const auto input = std::shared_ptr<Dense>(Dense::copy(bytes.data(), bytes.size(), TensorType::uint8, Shape{2, 4, 4, 1}));
  const auto loads = [&] { return std::count(emulated.calls().begin(), emulated.calls().end(), "program"); };

  const auto out = first->forward(input, 0);
  const auto again = first->forward(input, 0);
  EXPECT_EQ(loads(), 1);
  EXPECT_EQ(std::count(emulated.calls().begin(), emulated.calls().end(), "forward"), 2);
  EXPECT_EQ(emulated.batch_size(), 2u);
  ASSERT_TRUE(out->shape() == again->shape());
  EXPECT_TRUE(std::ranges::equal(out->data(), again->data()));

  second->forward(input, 0);
  EXPECT_EQ(loads(), 2);
  first->forward(input, 0);
  EXPECT_EQ(loads(), 3);
  EXPECT_TRUE(std::ranges::equal(device->hardware()->program(), first_program));
  EXPECT_FALSE(device->hardware()->learn_enabled());
}

}  // namespace
}  // namespace ovrix
