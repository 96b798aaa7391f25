// Times the dense product acc += x W on every path this machine has (the plain kernel, the 16-bit pairs,
// the 8-bit products with `vpmaddubsw` on AVX2 and with `vpdpbusd` on AVX-512 VNNI, over packed quads and
// over 8-bit rows read where they lie), on one thread, for
// the shapes of a small Dense1D layer held in the cache, a larger one, and the v1 FullyConnected layer of
// bench_v1_dense.py (128 inputs x 1M units, 1-bit weights, 1-bit inputs). Prints products per nanosecond,
// the median of several rounds, and checks that every path gives the same integers.
//
//   cmake -B build/bench -DOVRIX_BUILD_BENCH=ON && cmake --build build/bench -j3 --target bench_dense_paths
//   build/bench/bench_dense_paths
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "engine/impl/ops/kernels.h"

using namespace ovrix::ops::kernel;

namespace {

struct Shape {
  const char* name;
  uint32_t rows, cols;
  int32_t x_lo, x_hi, w_lo, w_hi;
  int rounds;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  const Shape shapes[] = {
      {"Dense1D 256 x 128, 8-bit unsigned values, weights within 64", 256, 128, 0, 255, -64, 64, 2000},
      {"Dense1D 1024 x 1000, 8-bit signed values, 8-bit weights", 1024, 1000, -128, 127, -128, 127, 200},
      {"Dense1D 4096 x 4096, 4-bit unsigned values, 4-bit weights", 4096, 4096, 0, 15, -8, 7, 10},
      {"v1 FullyConnected 128 x 1048576, 1-bit values and weights", 128, 1u << 20, 0, 1, 0, 1, 7},
  };
  const Isa best = best_isa();
  for (const Shape& s : shapes) {
    std::mt19937 rng(1);
    std::uniform_int_distribution<int32_t> xd(s.x_lo, s.x_hi), wd(s.w_lo, s.w_hi);
    std::vector<int32_t> x(s.rows), w(size_t(s.rows) * s.cols);
    for (auto& v : x) v = xd(rng);
    for (auto& v : w) v = wd(rng);
    const PackedMatrix packed = pack_matrix(w.data(), s.rows, s.cols);
    std::printf("%s\n", s.name);
    std::vector<uint32_t> first;
    // Times acc += x W through product(acc) and prints it under `path`, checking the integers.
    auto measure = [&](Isa isa, const char* path, const auto& product) {
      std::vector<uint32_t> acc(s.cols, 0);
      std::vector<double> ns;
      for (int r = 0; r < s.rounds; ++r) {
        std::fill(acc.begin(), acc.end(), 0u);
        const auto t0 = std::chrono::steady_clock::now();
        product(acc.data());
        ns.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count());
      }
      if (first.empty()) first = acc;
      std::printf("  %-10s %-13s %8.1f us  %6.2f products/ns%s\n", isa_name(isa), path, median(ns) / 1e3,
                  double(s.rows) * s.cols / median(ns), acc == first ? "" : "  DIFFERENT RESULT");
    };
    const std::vector<int8_t> narrow(w.begin(), w.end());
    const RowsOf8 rows8 = rows_of8(narrow.data(), s.rows, s.cols);
    for (Isa isa : {Isa::generic, Isa::avx2, Isa::avx512vnni}) {
      if (isa > best) continue;
      use_isa(isa);
      for (bool pairs_only : {false, true}) {
        PackedMatrix m = packed;
        if (pairs_only) {
          if (matvec_path(m, s.x_lo, s.x_hi) != ConvPath::quads) continue;
          m.quads.clear();  // the 16-bit pairs, as before the 8-bit products
        }
        const ConvPath path = matvec_path(m, s.x_lo, s.x_hi);
        const char* name = path == ConvPath::quads ? "8-bit quads" : path == ConvPath::pairs ? "16-bit pairs" : "plain";
        measure(isa, name, [&](uint32_t* acc) { matvec_acc(x.data(), m, acc); });
      }
      // The 8-bit weights read where they lie, row-major (as v1 layers read them).
      measure(isa, matvec_path(rows8, s.x_lo, s.x_hi) == ConvPath::quads ? "8-bit rows" : "plain rows",
              [&](uint32_t* acc) { matvec_acc(x.data(), rows8, acc); });
    }
  }
  return 0;
}
