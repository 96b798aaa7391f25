#pragma once
// Shared by the kernel tests: values of a given width with the extremes of the range over-represented,
// and the kernel paths this machine has.
#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/impl/ops/kernels.h"

namespace ovrix::kernel_paths {

// Values of `bits` bits (1 .. 32), a quarter of them at either end of the range or 0.
inline std::vector<int32_t> values(size_t n, uint32_t bits, bool is_signed, std::mt19937& rng) {
  const int64_t lo = is_signed ? -(int64_t{1} << (bits - 1)) : 0;
  const int64_t hi = is_signed ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << std::min(bits, 31u)) - 1;
  std::uniform_int_distribution<int64_t> any(lo, hi);
  std::uniform_int_distribution<int> pick(0, 7);
  std::vector<int32_t> v(n);
  for (auto& x : v) {
    const int p = pick(rng);
    x = int32_t(p == 0 ? lo : p == 1 ? hi : p == 2 ? 0 : any(rng));
  }
  return v;
}

// Every path of this machine, from the plain one up to its best.
inline std::vector<ops::kernel::Isa> paths() {
  using ops::kernel::Isa;
  std::vector<Isa> all;
  for (Isa isa : {Isa::generic, Isa::avx2, Isa::avx512vnni})
    if (isa <= ops::kernel::best_isa()) all.push_back(isa);
  return all;
}

// Puts the path that was active back in place when it goes.
struct PathGuard {
  ~PathGuard() { ops::kernel::use_isa(before); }
  ops::kernel::Isa before = ops::kernel::active_isa();
};

}  // namespace ovrix::kernel_paths
