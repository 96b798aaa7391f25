#include "mapping/soc_clock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "engine/emulation.h"

namespace ovrix {
namespace {

using ::testing::ThrowsMessage;

using emulation::Access;
using emulation::ClockBusy;
using emulation::EmulatedDriver;

std::unique_ptr<EmulatedDriver> soc_board(ClockBusy busy = ClockBusy::normal) {
  emulation::DeviceSpec spec;
  spec.name = "v2";
  spec.version = hw_versions::Proteo_v2;
  spec.soc = true;
  spec.busy = busy;
  return emulation::make_driver(spec);
}

std::vector<Access> writes_of(const EmulatedDriver& d) {
  std::vector<Access> w;
  for (const auto& a : d.accesses())
    if (a.write) w.push_back(a);
  return w;
}


struct ReadCase {
  uint32_t word;
  const char* expected;  // mode name or error text
};

class GetClockMode : public ::testing::TestWithParam<ReadCase> {};

TEST_P(GetClockMode, DecodesTheDividerLowByte) {
  auto d = soc_board();
  d->set(soc::reg::divider, GetParam().word);
  std::string got;
  try {
    switch (soc::get_clock_mode(d.get())) {
      case soc::ClockMode::Performance: got = "Performance"; break;
      case soc::ClockMode::Economy: got = "Economy"; break;
      case soc::ClockMode::LowPower: got = "LowPower"; break;
    }
  } catch (const std::runtime_error& e) {
    got = e.what();
  }
  EXPECT_EQ(got, GetParam().expected);
  // One 4-byte read of the divider, nothing else.
  EXPECT_EQ(d->accesses(), (std::vector<Access>{{false, soc::reg::divider, GetParam().word}}));
}

INSTANTIATE_TEST_SUITE_P(
    Dividers, GetClockMode,
    ::testing::Values(ReadCase{1, "Performance"}, ReadCase{5, "Economy"}, ReadCase{119, "LowPower"},
                      ReadCase{0x00000105, "Economy"}, ReadCase{0xFFFFFF77, "LowPower"},
                      ReadCase{0, "Unexpected frequency value detected: 600000000."},
                      ReadCase{255, "Unexpected frequency value detected: 2343750."},
                      ReadCase{2, "Unexpected frequency value detected: 200000000."}));

struct WriteCase {
  soc::ClockMode mode;
  uint32_t d;
};

class SetClockMode : public ::testing::TestWithParam<WriteCase> {};

TEST_P(SetClockMode, WritesDividersInOrderThenStartsAndPolls) {
  auto d = soc_board();
  d->set_busy_reads(3);
  soc::set_clock_mode(d.get(), GetParam().mode);
  const uint32_t dv = GetParam().d;
  EXPECT_EQ(writes_of(*d), (std::vector<Access>{{true, soc::reg::divider_x2, 2 * dv + 1},
                                                {true, soc::reg::divider, dv},
                                                {true, soc::reg::divider_copy, dv},
                                                {true, soc::reg::clock_change, 1}}));
  const auto& log = d->accesses();
  // The busy check comes before any write; then three busy polls and the one that finds it applied.
  ASSERT_EQ(log.size(), 1u + 4u + 4u);
  EXPECT_EQ(log[0], (Access{false, soc::reg::clock_change, 0}));
  for (size_t i = 5; i < 8; ++i) EXPECT_EQ(log[i], (Access{false, soc::reg::clock_change, 1})) << i;
  EXPECT_EQ(log[8], (Access{false, soc::reg::clock_change, 0}));
  EXPECT_EQ(soc::get_clock_mode(d.get()), GetParam().mode);
}

INSTANTIATE_TEST_SUITE_P(Modes, SetClockMode,
                         ::testing::Values(WriteCase{soc::ClockMode::LowPower, 119},
                                           WriteCase{soc::ClockMode::Economy, 5},
                                           WriteCase{soc::ClockMode::Performance, 1}));

TEST(SetClockMode, PollsAtLeastOnceAfterTheStart) {
  auto d = soc_board();
  d->set_busy_reads(0);
  soc::set_clock_mode(d.get(), soc::ClockMode::Economy);
  ASSERT_EQ(d->accesses().size(), 6u);
  EXPECT_EQ(d->accesses().back(), (Access{false, soc::reg::clock_change, 0}));
}

TEST(SetClockMode, RefusesAnInvalidModeWithoutTouchingTheDevice) {
  auto d = soc_board();
  EXPECT_THAT([&] { soc::set_clock_mode(d.get(), static_cast<soc::ClockMode>(200000000)); }, ThrowsMessage<std::invalid_argument>("Invalid clock mode"));
  EXPECT_TRUE(d->accesses().empty());
}

TEST(SetClockMode, RefusesWhileAChangeIsInProgress) {
  auto d = soc_board(ClockBusy::set);
  EXPECT_THAT([&] { soc::set_clock_mode(d.get(), soc::ClockMode::Economy); }, ThrowsMessage<std::runtime_error>("Clock mode is already changing."));
  EXPECT_EQ(d->accesses(), (std::vector<Access>{{false, soc::reg::clock_change, 1}}));
}

TEST(SetClockMode, TimesOutWhenTheChangeNeverApplies) {
  auto d = soc_board(ClockBusy::stuck);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT([&] { soc::set_clock_mode(d.get(), soc::ClockMode::LowPower); }, ThrowsMessage<std::runtime_error>("Failed to apply clock mode."));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(soc::apply_timeout_ms));
  // No rollback: the dividers stay written.
  EXPECT_EQ(d->get(soc::reg::divider), 119u);
  EXPECT_EQ(d->get(soc::reg::divider_x2), 239u);
  EXPECT_EQ(d->get(soc::reg::divider_copy), 119u);
}

TEST(SetClockMode, DriverErrorsPropagate) {
  auto d = soc_board();
  d->fail_reads_at(soc::reg::clock_change);
  EXPECT_THAT([&] { soc::set_clock_mode(d.get(), soc::ClockMode::Economy); }, ThrowsMessage<std::runtime_error>("Emulated read error at 0xF0001030."));
  EXPECT_TRUE(writes_of(*d).empty());
}

// The board's own SoC interface follows the same protocol, with the same failures.
TEST(EmulatedSocDriver, AppliesModesThroughTheSameRegisters) {
  auto d = soc_board();
  auto* soc_driver = dynamic_cast<SocDriver*>(static_cast<HardwareDriver*>(d.get()));
  ASSERT_NE(soc_driver, nullptr);
  EXPECT_EQ(soc_driver->clock_mode(), soc::ClockMode::Performance);
  soc_driver->set_clock_mode(soc::ClockMode::LowPower);
  EXPECT_EQ(soc::get_clock_mode(d.get()), soc::ClockMode::LowPower);
  EXPECT_EQ(soc_driver->clock_mode(), soc::ClockMode::LowPower);
  EXPECT_THAT([&] { soc_driver->set_clock_mode(static_cast<soc::ClockMode>(7)); }, ThrowsMessage<std::invalid_argument>("Invalid clock mode"));
  d->set_clock_busy(ClockBusy::stuck);
  EXPECT_THAT([&] { soc_driver->set_clock_mode(soc::ClockMode::Economy); }, ThrowsMessage<std::runtime_error>("Failed to apply clock mode."));
  EXPECT_THAT([&] { soc_driver->set_clock_mode(soc::ClockMode::Economy); }, ThrowsMessage<std::runtime_error>("Clock mode is already changing."));
}

}  // namespace
}  // namespace ovrix
