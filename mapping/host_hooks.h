#pragma once
// Host services with C linkage, exported from the module: error reporting, watchdog, sleep, clock.
#include <cstdint>

extern "C" {

// Formats printf-style (at most 256 characters kept) and throws std::runtime_error with the text.
[[noreturn]] __attribute__((visibility("default"), format(printf, 1, 2))) void panic(const char* format, ...);
__attribute__((visibility("default"))) void kick_watchdog(void);
// Sleeps at least ms milliseconds; interrupted sleeps resume with the time left.
__attribute__((visibility("default"))) void msleep(unsigned int ms);
// Steady clock in whole milliseconds.
__attribute__((visibility("default"))) int64_t time_ms(void);
}
