#include "engine/impl/parallel.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <thread>
#include <vector>

namespace ovrix::parallel {

namespace {

unsigned available_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return unsigned(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

unsigned thread_count() {
  if (const char* text = std::getenv("OVRIX_NUM_THREADS")) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (errno == 0 && end != text && *end == '\0' && n >= 1 && n <= 1024) return unsigned(n);
  }
  return available_cores();
}

void for_chunks(size_t n, unsigned chunks, const std::function<void(unsigned, size_t, size_t)>& body) {
  const unsigned count = unsigned(std::max<size_t>(1, std::min<size_t>(chunks, n)));
  std::vector<std::exception_ptr> errors(count);
  auto run = [&](unsigned c) {
    try {
      body(c, n * c / count, n * (c + 1) / count);
    } catch (...) {
      errors[c] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(count - 1);
  try {
    for (unsigned c = 1; c < count; ++c) threads.emplace_back(run, c);
  } catch (...) {
    // No more threads to be had: the chunks without one run here.
    for (unsigned c = unsigned(threads.size()) + 1; c < count; ++c) run(c);
  }
  run(0);
  for (std::thread& t : threads) t.join();
  for (const std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
}

}  // namespace ovrix::parallel
