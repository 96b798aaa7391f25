#include "mapping/host_hooks.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <stdexcept>
#include <string>

#include "support/mapping_fakes.h"
#include "mapping/mapping_status.h"

namespace {

std::string panic_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "did not throw";
}

TEST(HostHooks, PanicFormatsAndThrows) {
  EXPECT_EQ(panic_text([] { panic("%d cannot fit in a %d-bit signed integer", 300, 8); }),
            "300 cannot fit in a 8-bit signed integer");
  const std::string long_text(300, 'x');
  EXPECT_EQ(panic_text([&] { panic("%s", long_text.c_str()); }), std::string(256, 'x'));
}

void on_alarm(int) {}

TEST(HostHooks, SleepLastsThroughSignals) {
  kick_watchdog();
  const int64_t t0 = time_ms();
  msleep(0);
  // An interval timer interrupts the sleep every 5 ms; it still lasts the whole 60 ms.
  struct sigaction action = {};
  action.sa_handler = on_alarm;
  struct sigaction previous = {};
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  itimerval timer = {};
  timer.it_interval.tv_usec = 5000;
  timer.it_value.tv_usec = 5000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
  const int64_t start = time_ms();
  msleep(60);
  const int64_t end = time_ms();
  itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GE(end - start, 60);
  EXPECT_GE(start, t0);
}

TEST(MappingStatus, ComponentErrorVerbs) {
  const auto layer = ovrix::mapping_testing::make_layer("conv_1", ovrix::LayerType::Conv2D);
  EXPECT_EQ(ovrix::MappingStatus::component_error(*layer, "CNP2", 3, 1).to_string(),
            "Cannot map layer 'conv_1'. Not enough hardware components of type CNP2 available. 3 are needed but 1 is "
            "available.");
  const auto status = ovrix::MappingStatus::component_error(*layer, "FNP3", 1, 0);
  EXPECT_TRUE(status.failed);
  EXPECT_EQ(status.layer_name, "conv_1");
  EXPECT_EQ(status.message, "Not enough hardware components of type FNP3 available. 1 is needed but 0 are available.");
}

}  // namespace
