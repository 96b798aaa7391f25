#include "engine/emulation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "support/test_programs.h"

namespace ovrix::emulation {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;

using ovrix::device_testing::build_program;
using ovrix::device_testing::TestProgram;

DeviceSpec spec_of(const char* text) { return parse_devices(text).at(0); }

// --- the device list -------------------------------------------------------------------------

TEST(ParseDevices, BlankTextGivesNoDevice) {
  EXPECT_TRUE(parse_devices("").empty());
  EXPECT_TRUE(parse_devices("  \t").empty());
}

TEST(ParseDevices, NamesAndOptions) {
  const auto specs = parse_devices(" v2 ,v1:soc, lumo:soc+flash,Quor_v2:hrc-timeout,BC.a2.1.0:mismatch+clock=0xFFFFFFF0,"
                                   "ZMX2400_v1:flash=null+fail+busy=stuck+clock=12");
  ASSERT_EQ(specs.size(), 6u);
  EXPECT_EQ(specs[0].name, "v2");
  EXPECT_EQ(specs[0].version, hw_versions::Proteo_v2);
  EXPECT_FALSE(specs[0].soc || specs[0].flash || specs[0].fail_open || specs[0].mismatch);
  EXPECT_EQ(specs[1].version, hw_versions::Tamsel_v1);
  EXPECT_TRUE(specs[1].soc);
  EXPECT_EQ(specs[2].version, hw_versions::Lumo_Proteo);
  EXPECT_TRUE(specs[2].soc && specs[2].flash && !specs[2].null_flash);
  EXPECT_EQ(specs[3].version, hw_versions::Quor_v2);
  EXPECT_TRUE(specs[3].hrc_timeout);
  EXPECT_EQ(specs[4].version, HwVersion(0xBC, 0xA2, 1, 0));
  EXPECT_TRUE(specs[4].mismatch);
  EXPECT_EQ(specs[4].clock, 0xFFFFFFF0u);
  EXPECT_EQ(specs[5].version, hw_versions::ZMX2400_v1);
  EXPECT_TRUE(specs[5].flash && specs[5].null_flash && specs[5].fail_open);
  EXPECT_EQ(specs[5].busy, ClockBusy::stuck);
  EXPECT_EQ(specs[5].clock, 12u);
}

struct BadList {
  const char* text;
  const char* fragment;
};

class ParseDevicesRefuses : public ::testing::TestWithParam<BadList> {};

TEST_P(ParseDevicesRefuses, NamingTheVariableAndTheProblem) {
  EXPECT_THAT([] { parse_devices(GetParam().text); },
              ThrowsMessage<std::invalid_argument>(AllOf(StartsWith("OVRIX_EMULATED_DEVICES: "), HasSubstr(GetParam().fragment))));
}

INSTANTIATE_TEST_SUITE_P(Lists, ParseDevicesRefuses,
                         ::testing::Values(BadList{"v3", "unknown device 'v3'"},
                                           BadList{"v2,,v1", "empty device name"},
                                           BadList{"v2:turbo", "unknown option 'turbo'"},
                                           BadList{"v2:clock=abc", "bad clock value 'clock=abc'"},
                                           BadList{"v2:clock=4294967296", "bad clock value"},
                                           BadList{"BC.A2.1", "unknown device 'BC.A2.1'"},
                                           BadList{"BC.A2.1.100", "unknown device"}));

TEST(Drivers, SetDevicesChoosesTheDriverClasses) {
  set_devices(parse_devices("v2,v1:soc,lumo:soc+flash,v2:flash=null"));
  const auto list = drivers();
  ASSERT_EQ(list.size(), 4u);
  const auto engine_list = get_drivers();
  ASSERT_EQ(engine_list.size(), 4u);
  EXPECT_EQ(engine_list[2], static_cast<HardwareDriver*>(list[2]));
  const bool soc[] = {false, true, true, false};
  const bool flash[] = {false, false, true, true};
  for (size_t i = 0; i < 4; ++i) {
    HardwareDriver* d = engine_list[i];
    EXPECT_EQ(dynamic_cast<SocDriver*>(d) != nullptr, soc[i]) << i;
    EXPECT_EQ(dynamic_cast<FlashAccessDriver*>(d) != nullptr, flash[i]) << i;
  }
  EXPECT_NE(dynamic_cast<FlashAccessDriver*>(engine_list[2])->flash_controller(), nullptr);
  EXPECT_EQ(dynamic_cast<FlashAccessDriver*>(engine_list[3])->flash_controller(), nullptr);
  set_devices({});
  EXPECT_TRUE(get_drivers().empty());
}

// --- register image ----------------------------------------------------------------------------

TEST(EmulatedDriver, StandardV2MeshWords) {
  auto d = make_driver(spec_of("v2"));
  const uint32_t b = d->mesh_info_address();
  EXPECT_EQ(d->get(b + 0x50), 0x00000402u);  // 2 rows, 4 columns
  EXPECT_EQ(d->get(b + 0x54), 0x10010104u);  // 4 NPs per node, DMA node (1, 1), event 0, conf 1
  EXPECT_EQ(d->get(b + 0x58), 0x04000000u);  // last column 4
  EXPECT_EQ(d->get(b + 0x64), 0x0400001Eu);  // skip-DMA engines in columns 1-4, 4 channels
  EXPECT_EQ(d->get(b + 0x68), 0x50u);        // HRC with a lookup table
  EXPECT_EQ(d->get(b + 0x70), 32768u);
  EXPECT_EQ(d->get(b + 0x74), 8192u);
  EXPECT_EQ(d->get(RegisterImageDriver::np_config_address({1, 2, 0})), 0x5B0u);  // CNP1+CNP2, FNP3, TNP_B, LUT
  EXPECT_EQ(d->get(RegisterImageDriver::np_config_address({4, 2, 3})), 0x5A0u);  // FNP2 on odd ids
}

TEST(EmulatedDriver, LumoMeshWords) {
  auto d = make_driver(spec_of("lumo"));
  const uint32_t b = d->mesh_info_address();
  EXPECT_EQ(d->get(b + 0x70), 448u);
  EXPECT_EQ(d->get(b + 0x74), 8192u);
  EXPECT_EQ(d->get(b + 0x78), 892u);
  EXPECT_EQ(d->get(b + 0x7C), 256u);
}

TEST(EmulatedDriver, MismatchDescribesAnotherEdition) {
  EXPECT_EQ(make_driver(spec_of("v2:mismatch"))->get(mesh_info_base + 0x74), 0u);  // a v1 mesh
  EXPECT_EQ(make_driver(spec_of("v1:mismatch"))->get(mesh_info_base + 0x74), 8192u);  // a v2 mesh
}

TEST(EmulatedDriver, WholeAlignedWordsOnlyAndEveryAccessLogged) {
  auto d = make_driver(spec_of("v2"));
  uint32_t words[2] = {0x11, 0x22};
  d->write(0x1000, words, 8);
  uint32_t back[2] = {};
  d->read(0x1000, back, 8);
  EXPECT_EQ(back[0], 0x11u);
  EXPECT_EQ(back[1], 0x22u);
  EXPECT_EQ(d->accesses(), (std::vector<Access>{{true, 0x1000, 0x11}, {true, 0x1004, 0x22},
                                                {false, 0x1000, 0x11}, {false, 0x1004, 0x22}}));
  uint8_t byte = 0;
  const std::string refusal = "Register accesses must be whole 32-bit words at aligned addresses.";
  EXPECT_THAT([&] { d->read(0x1001, back, 4); }, ThrowsMessage<std::invalid_argument>(refusal));
  EXPECT_THAT([&] { d->read(0x1000, &byte, 1); }, ThrowsMessage<std::invalid_argument>(refusal));
  EXPECT_THAT([&] { d->write(0x1002, words, 8); }, ThrowsMessage<std::invalid_argument>(refusal));
}

// --- opening -----------------------------------------------------------------------------------

TEST(HardwareDeviceCreate, OpensEmulatedDriversOnly) {
  auto d = make_driver(spec_of("v2"));
  auto device = HardwareDevice::create(d.get());
  EXPECT_EQ(device->version(), hw_versions::Proteo_v2);
  EXPECT_STREQ(device->desc(), "Emulated v2 (188.162.1.0)");
  EXPECT_EQ(device->driver(), d.get());
  EXPECT_EQ(d->open_count(), 1u);
  EXPECT_THAT([] { HardwareDevice::create(nullptr); }, ThrowsMessage<std::runtime_error>("Cannot open a device without a driver."));

  auto failing = make_driver(spec_of("Tamsel_v1:fail"));
  EXPECT_THAT([&] { HardwareDevice::create(failing.get()); }, ThrowsMessage<std::runtime_error>("Cannot open the emulated device Tamsel_v1: it does not answer."));
  EXPECT_EQ(failing->open_count(), 1u);
}

TEST(EmulatedDevice, MismatchShowsItsVersionOnceTheMeshIsScanned) {
  auto d = make_driver(spec_of("v2:mismatch"));
  auto device = HardwareDevice::create(d.get());
  EXPECT_EQ(device->version(), hw_versions::Tamsel_v1);
  const MeshRegisterImage& m = d->layout();
  device->read_np_config({1, 1, 2}, 1);
  EXPECT_EQ(device->version(), hw_versions::Tamsel_v1);
  EXPECT_EQ(device->read_np_config({m.columns, m.rows, uint8_t(m.nps_per_node - 1)}, 1),
            standard_np_capabilities(IpVersion::v1, {m.columns, m.rows, uint8_t(m.nps_per_node - 1)}));
  EXPECT_EQ(device->version(), hw_versions::Proteo_v2);
  EXPECT_THROW(device->read_np_config({1, 1, 2}, 2), std::invalid_argument);
}

// --- programs and runs ----------------------------------------------------------------------

struct Bench {
  std::unique_ptr<EmulatedDriver> driver;
  std::shared_ptr<HardwareDevice> device;
  EmulatedDevice& emulated() { return dynamic_cast<EmulatedDevice&>(*device); }
};

Bench open(const char* text) {
  Bench b;
  b.driver = make_driver(spec_of(text));
  b.device = HardwareDevice::create(b.driver.get());
  return b;
}

std::vector<std::shared_ptr<const Tensor>> samples_of(const std::vector<std::vector<uint8_t>>& values,
                                                      const Shape& shape) {
  std::vector<std::shared_ptr<const Tensor>> out;
  for (const auto& v : values)
    out.push_back(std::shared_ptr<const Tensor>(
        Dense::copy(reinterpret_cast<const char*>(v.data()), v.size(), TensorType::uint8, shape)));
  return out;
}

std::vector<std::vector<uint8_t>> distinct_samples(size_t n, size_t bytes) {
  std::vector<std::vector<uint8_t>> s(n, std::vector<uint8_t>(bytes));
  for (size_t i = 0; i < n; ++i)
    for (size_t k = 0; k < bytes; ++k) s[i][k] = static_cast<uint8_t>(i * 31 + k * 7);
  return s;
}

struct BadProgram {
  const char* what;
  std::vector<uint8_t> bytes;
  const char* fragment;
};

std::vector<BadProgram> bad_programs() {
  auto good = build_program({});
  std::vector<BadProgram> cases;
  cases.push_back({"empty", {}, "Invalid device program: too short."});
  cases.push_back({"truncated", std::vector<uint8_t>(good.begin(), good.end() - 4), "Invalid device program"});
  auto extra = good;
  extra.push_back(0);
  cases.push_back({"trailing byte", extra, "Invalid device program"});
  auto corrupt = good;
  corrupt[4] = 0xFF;  // the root offset of the information buffer
  corrupt[5] = 0xFF;
  cases.push_back({"corrupt information", corrupt, "Invalid device program: malformed program information."});
  auto corrupt_data = good;
  const size_t at = ovrix::device_testing::info_part_size(good) + 4;
  corrupt_data[at] = 0xF0;
  corrupt_data[at + 1] = 0xFF;
  cases.push_back({"corrupt data", corrupt_data, "Invalid device program: malformed program data."});
  cases.push_back({"no output shape", build_program(TestProgram().out({})),
                   "Invalid device program: the output shape has 0 dimensions (1 to 4 expected)."});
  cases.push_back({"five output dimensions", build_program(TestProgram().out({1, 1, 1, 1, 1})),
                   "the output shape has 5 dimensions"});
  cases.push_back({"zero output dimension", build_program(TestProgram().out({1, 0, 3})),
                   "Invalid device program: an output dimension is 0."});
  cases.push_back({"zero input dimension", build_program(TestProgram().in({4, 0, 1})),
                   "Invalid device program: an input dimension is 0."});
  cases.push_back({"unknown output type", build_program(TestProgram().type(0x8B)),
                   "Invalid device program: unknown output type 0x8B."});
  return cases;
}

TEST(EmulatedDevice, RefusesMalformedProgramsAndKeepsTheLoadedOne) {
  auto b = open("v2");
  auto good = build_program(TestProgram().tagged(42));
  b.device->program(good.data(), good.size());
  for (const auto& c : bad_programs()) {
    EXPECT_THAT([&] { b.device->program(c.bytes.data(), c.bytes.size()); },
                ThrowsMessage<std::runtime_error>(HasSubstr(c.fragment))) << c.what;
    ASSERT_EQ(b.device->program().size(), good.size()) << c.what;
  }
  EXPECT_EQ(b.emulated().calls(), std::vector<std::string>{"program"});
}

TEST(EmulatedDevice, RunsNeedAProgramAndABatchSize) {
  auto b = open("v2");
  auto in = samples_of(distinct_samples(3, 16), Shape{4, 4, 1});
  EXPECT_THAT([&] { b.device->forward(in); }, ThrowsMessage<std::runtime_error>("The device holds no program."));
  auto bytes = build_program({});
  b.device->program(bytes.data(), bytes.size());
  EXPECT_THAT([&] { b.device->forward(in); }, ThrowsMessage<std::runtime_error>("3 samples exceed the batch size of 0 set on the device."));
  EXPECT_THROW(b.device->set_batch_size(0, true), std::invalid_argument);
  b.device->set_batch_size(3, true);
  EXPECT_EQ(b.emulated().batch_size(), 3u);
  EXPECT_EQ(b.device->forward(in).size(), 3u);
  auto wrong = samples_of(distinct_samples(2, 15), Shape{15});
  EXPECT_THAT([&] { b.device->forward(wrong); }, ThrowsMessage<std::runtime_error>("Sample 0 has 15 values where the program expects 16."));
  EXPECT_THAT([&] { b.device->fit(in, {1, 2}); }, ThrowsMessage<std::invalid_argument>("2 labels for 3 samples: give none, one, or one per sample."));
}

TEST(EmulatedDevice, NarrowOutputValuesStayInRange) {
  const std::vector<uint8_t> sample(16, 9);
  for (auto [type, lo, hi] : {std::tuple{TensorType::int4, -8, 7}, std::tuple{TensorType::int2, -2, 1},
                              std::tuple{TensorType::uint4, 0, 15}, std::tuple{TensorType::uint2, 0, 3},
                              std::tuple{TensorType::bit, 0, 1}}) {
    const bool is_signed = type == TensorType::int4 || type == TensorType::int2 || type == TensorType::bit;
    for (size_t k = 0; k < 64; ++k) {
      std::byte b{};
      output_value(sample_hash(std::as_bytes(std::span(sample))), k, type, &b);
      const int v = is_signed ? int(static_cast<int8_t>(b)) : int(static_cast<uint8_t>(b));
      EXPECT_GE(v, lo);
      EXPECT_LE(v, hi);
    }
  }
}

TEST(EmulatedDevice, PowerEventsWhileMeasurementIsOn) {
  auto b = open("v2:soc");
  auto* soc = dynamic_cast<SocDriver*>(b.device->driver());
  ASSERT_NE(soc, nullptr);
  EXPECT_EQ(soc->power_meter(), nullptr);
  auto bytes = build_program({});
  b.device->program(bytes.data(), bytes.size());
  b.device->set_batch_size(5, true);
  auto in = samples_of(distinct_samples(5, 16), Shape{4, 4, 1});
  b.device->forward(in);
  soc->set_power_measurement_enabled(true);
  auto meter = soc->power_meter();
  ASSERT_NE(meter, nullptr);
  EXPECT_FALSE(meter->has_events());
  b.device->forward(in);
  b.device->predict(in);
  const auto events = meter->events();
  ASSERT_EQ(events.size(), 10u);
  for (size_t i = 1; i < events.size(); ++i) EXPECT_LT(events[i - 1].ts, events[i].ts);
  for (const auto& e : events) EXPECT_GT(e.power(), 0.0f);
  EXPECT_GT(meter->floor(), 0.0f);
  soc->set_power_measurement_enabled(false);
  EXPECT_EQ(soc->power_meter(), nullptr);
  b.device->forward(in);
  EXPECT_EQ(meter->events().size(), 10u);
}

TEST(EmulatedDevice, TimingOutDeviceFailsOnlyOnTheFirstOpening) {
  auto d = make_driver(spec_of("Quor_v2:hrc-timeout"));
  auto bytes = build_program({});
  auto in = samples_of(distinct_samples(1, 16), Shape{4, 4, 1});
  for (int opening = 0; opening < 2; ++opening) {
    auto device = HardwareDevice::create(d.get());
    device->program(bytes.data(), bytes.size());
    device->set_batch_size(1, true);
    if (opening == 0)
      EXPECT_THAT([&] { device->forward(in); }, ThrowsMessage<std::runtime_error>("The input convolution block timed out."));
    else
      EXPECT_EQ(device->forward(in).size(), 1u);
  }
}

}  // namespace
}  // namespace ovrix::emulation

namespace ovrix::emulation {
namespace {

// Emulated devices live for the whole process, so what they record for tests must not grow with every
// run: a long demo would otherwise run out of memory. The recent history stays, in order.
TEST(EmulatedDevice, CallLogKeepsOnlyTheRecentCalls) {
  auto driver = make_driver(spec_of("v2"));
  auto device = HardwareDevice::create(driver.get());
  auto& emulated = dynamic_cast<EmulatedDevice&>(*device);
  auto bytes = build_program({});
  device->program(bytes.data(), bytes.size());
  std::vector<std::vector<char>> values(1, std::vector<char>(16, 3));
  const std::vector<std::shared_ptr<const Tensor>> in{
      std::shared_ptr<const Tensor>(Dense::copy(values[0].data(), 16, TensorType::uint8, Shape{4, 4, 1}))};
  for (size_t i = 0; i < EmulatedDevice::max_logged_calls; ++i) {
    device->set_batch_size(1, true);
    device->forward(in);
  }
  EXPECT_LE(emulated.calls().size(), EmulatedDevice::max_logged_calls);
  EXPECT_GE(emulated.calls().size(), EmulatedDevice::max_logged_calls / 2);
  device->predict(in);
  EXPECT_EQ(emulated.calls().back(), "predict");
  EXPECT_EQ(emulated.calls()[emulated.calls().size() - 2], "forward");
}

TEST(EmulatedDriver, AccessLogKeepsOnlyTheRecentAccesses) {
  auto driver = make_driver(spec_of("v2:soc"));
  uint32_t word = 0;
  for (size_t i = 0; i < 3 * RegisterImageDriver::max_logged_accesses; ++i) driver->read(0xF0001190, &word, 4);
  EXPECT_LE(driver->accesses().size(), RegisterImageDriver::max_logged_accesses);
  EXPECT_GE(driver->accesses().size(), RegisterImageDriver::max_logged_accesses / 2);
  word = 5;
  driver->write(0xF0001190, &word, 4);
  EXPECT_EQ(driver->accesses().back(), (Access{true, 0xF0001190, 5}));
  EXPECT_EQ(driver->accesses()[driver->accesses().size() - 2], (Access{false, 0xF0001190, 1}));
}

}  // namespace
}  // namespace ovrix::emulation
