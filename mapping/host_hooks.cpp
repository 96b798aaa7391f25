#include "mapping/host_hooks.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <stdexcept>

extern "C" {

void panic(const char* format, ...) {
  char buffer[257];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  throw std::runtime_error(buffer);
}

void kick_watchdog(void) {}

void msleep(unsigned int ms) {
  if (ms == 0) return;
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

int64_t time_ms(void) {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 1000000;
}
}
