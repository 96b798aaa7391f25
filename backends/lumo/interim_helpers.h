#pragma once
// Small arithmetic helpers of the lumo back-end that other editions need too. They stay private to
// this edition until the editions share one set of back-end helpers; then this file goes away.
#include <cstdint>
#include <limits>

namespace ovrix::lumo::interim {

// ceil(a / b), 0 when b is 0.
constexpr uint64_t ceil_div(uint64_t a, uint64_t b) { return b == 0 ? 0 : (a + b - 1) / b; }

// The smallest power of two not below v (1 for 0 and 1); v at most 2^63.
constexpr uint64_t next_pow2(uint64_t v) {
  uint64_t p = 1;
  while (p < v) p <<= 1;
  return p;
}

constexpr bool is_pow2(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// A 64-bit count as a 32-bit size, saturated so that a check against any 32-bit limit still fails.
constexpr uint32_t saturate32(uint64_t v) {
  return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max() : static_cast<uint32_t>(v);
}

}  // namespace ovrix::lumo::interim
