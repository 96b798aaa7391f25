#include "mapping/power_meter.h"

#include <gtest/gtest.h>

#include <thread>

namespace ovrix {
namespace {

using Event = PowerMeter::PowerEvent;

// Voltage in microvolts for a given power in milliwatts at 1 A.
Event at_mw(int64_t ts, uint32_t mw) { return Event{ts, mw * 1000u, 1000u}; }

TEST(PowerMeter, StartsEmpty) {
  PowerMeter meter;
  EXPECT_FALSE(meter.has_events());
  EXPECT_TRUE(meter.events().empty());
  EXPECT_EQ(meter.floor(), 0.0f);
}

TEST(PowerMeter, PowerIsVoltageTimesCurrentInMilliwatts) {
  EXPECT_FLOAT_EQ((Event{1, 12000000, 500}).power(), 6000.0f);
  EXPECT_FLOAT_EQ((Event{1, 999999, 1}).power(), 0.999999f);
  EXPECT_FLOAT_EQ((Event{1, 4000000000u, 1}).power(), 4000.0f);
}

struct DropCase {
  const char* what;
  Event event;
};

class PowerMeterDrops : public ::testing::TestWithParam<DropCase> {};

TEST_P(PowerMeterDrops, EventChangesNothing) {
  PowerMeter meter;
  meter.log_event(at_mw(5, 700));
  meter.reset(10);
  meter.log_event(GetParam().event);
  ASSERT_EQ(meter.events().size(), 1u);
  EXPECT_EQ(meter.events()[0].ts, 5);
  EXPECT_EQ(meter.floor(), 0.0f);  // still no accepted event since the reset
}

INSTANTIATE_TEST_SUITE_P(Rules, PowerMeterDrops,
                         ::testing::Values(DropCase{"zero voltage", Event{11, 0, 500}},
                                           DropCase{"zero current", Event{11, 5000000, 0}},
                                           DropCase{"at the reset time", Event{10, 5000000, 500}},
                                           DropCase{"before the reset", Event{3, 5000000, 500}}),
                         [](const auto& info) {
                           std::string name = info.param.what;
                           for (char& c : name)
                             if (c == ' ') c = '_';
                           return name;
                         });

TEST(PowerMeter, AcceptsTheFirstTimestampAfterReset) {
  PowerMeter meter;
  meter.reset(10);
  meter.log_event(at_mw(10, 100));
  EXPECT_FALSE(meter.has_events());
  meter.log_event(at_mw(11, 100));
  EXPECT_TRUE(meter.has_events());
  EXPECT_FLOAT_EQ(meter.floor(), 100.0f);
}

TEST(PowerMeter, FloorFollowsTheLowestAcceptedPower) {
  PowerMeter meter;
  meter.log_event(Event{1, 12000000, 500});
  EXPECT_FLOAT_EQ(meter.floor(), 6000.0f);
  meter.log_event(Event{2, 10000000, 500});
  EXPECT_FLOAT_EQ(meter.floor(), 5000.0f);
  meter.log_event(Event{3, 14000000, 500});
  EXPECT_FLOAT_EQ(meter.floor(), 5000.0f);
}

TEST(PowerMeter, ResetKeepsEventsAndClearsTheFloor) {
  PowerMeter meter;
  for (int64_t t = 1; t <= 3; ++t) meter.log_event(at_mw(t, 100 * uint32_t(t)));
  meter.reset(3);
  EXPECT_EQ(meter.events().size(), 3u);
  EXPECT_TRUE(meter.has_events());
  EXPECT_EQ(meter.floor(), 0.0f);
  meter.log_event(at_mw(4, 900));
  EXPECT_FLOAT_EQ(meter.floor(), 900.0f);
}

TEST(PowerMeter, KeepsTheLastHundredOldestFirst) {
  for (int n : {99, 100, 101, 150, 250}) {
    PowerMeter meter;
    for (int i = 1; i <= n; ++i) meter.log_event(at_mw(i, 100));
    auto events = meter.events();
    const int kept = std::min(n, 100);
    ASSERT_EQ(int(events.size()), kept) << n;
    for (int i = 0; i < kept; ++i) EXPECT_EQ(events[i].ts, n - kept + 1 + i) << n;
    // Reading does not consume.
    EXPECT_EQ(meter.events().size(), events.size());
  }
}

TEST(CircularQueue, GetWithClearEmptiesAndWrapsCorrectlyAfterwards) {
  CircularQueue<int> q(3);
  for (int i = 0; i < 5; ++i) q.push(i);
  EXPECT_EQ(q.get(false), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(q.get(true), (std::vector<int>{2, 3, 4}));
  EXPECT_TRUE(q.empty());
  q.push(7);
  q.push(8);
  EXPECT_EQ(q.get(false), (std::vector<int>{7, 8}));
}

TEST(PowerMeter, LoggingAndReadingFromTwoThreads) {
  PowerMeter meter;
  std::thread writer([&] {
    for (int i = 1; i <= 2000; ++i) meter.log_event(at_mw(i, 1 + uint32_t(i % 50)));
  });
  size_t seen = 0;
  for (int i = 0; i < 200; ++i) {
    auto events = meter.events();
    for (size_t k = 1; k < events.size(); ++k) ASSERT_LT(events[k - 1].ts, events[k].ts);
    seen = std::max(seen, events.size());
    (void)meter.floor();
  }
  writer.join();
  EXPECT_EQ(meter.events().size(), 100u);
  EXPECT_EQ(meter.events().back().ts, 2000);
  EXPECT_FLOAT_EQ(meter.floor(), 1.0f);
}

TEST(PowerMeter, ProcessWideInstanceIsUnique) { EXPECT_EQ(&PowerMeter::get(), &PowerMeter::get()); }

}  // namespace
}  // namespace ovrix
