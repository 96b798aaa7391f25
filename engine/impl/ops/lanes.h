#pragma once
// Integer lanes for the kernels written once for every vector width: GCC vector types, which compile to
// AVX-512 or AVX2 instructions inside a function built for that instruction set (OVRIX_LANES_AVX512,
// OVRIX_LANES_AVX2) and to plain instructions elsewhere. A kernel is an always-inline template over the
// lane count, instantiated in one small function per instruction set and picked at run time from
// ops::kernel::active_isa(), so that the tests run every path the machine has (kernel::use_isa) and
// OVRIX_ISA forces a lower one. Lane arithmetic is done on unsigned lanes where it may wrap, so every path
// gives the same integers as the plain loop.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "engine/impl/ops/kernels.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define OVRIX_LANES 1
// Every processor with AVX-512 VNNI (the level active_isa() names) also has its BW and DQ parts.
#define OVRIX_LANES_AVX512 __attribute__((target("avx2,avx512f,avx512vl,avx512bw,avx512dq")))
#define OVRIX_LANES_AVX2 __attribute__((target("avx2")))
#else
#define OVRIX_LANES 0
#endif

// The helpers and kernels pass lanes by value, which outside an AVX function GCC notes as an ABI change
// for every file that includes this one; they are always inlined into the functions built for the
// instruction set, so no call ever crosses that boundary.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace ovrix::ops::lanes {

#define OVRIX_INLINE inline __attribute__((always_inline))

template <int N>
struct Of {
  typedef int32_t i32 __attribute__((vector_size(4 * N)));
  typedef uint32_t u32 __attribute__((vector_size(4 * N)));
  typedef int64_t i64 __attribute__((vector_size(8 * N)));
  typedef int16_t i16 __attribute__((vector_size(2 * N)));
  typedef uint8_t u8 __attribute__((vector_size(N)));
};

// N lanes of T, for the integer types the kernels store.
template <class T, int N>
using lanes_of = std::conditional_t<
    sizeof(T) == 1, typename Of<N>::u8,
    std::conditional_t<sizeof(T) == 2, typename Of<N>::i16,
                       std::conditional_t<std::is_signed_v<T>, typename Of<N>::i32, typename Of<N>::u32>>>;

template <class V, class T>
OVRIX_INLINE V load(const T* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class V, class T>
OVRIX_INLINE void store(T* p, const V& v) {
  std::memcpy(p, &v, sizeof v);
}

template <class V, class T>
OVRIX_INLINE V splat(T x) {
  return V{} + x;
}

template <class V>
OVRIX_INLINE V vmax(const V& a, const V& b) {
  return a > b ? a : b;
}

template <class V>
OVRIX_INLINE V vmin(const V& a, const V& b) {
  return a < b ? a : b;
}

template <class V, size_t... I>
OVRIX_INLINE auto lanes_at(const V& v, std::index_sequence<I...>) {
  return __builtin_shufflevector(v, v, I...);
}

// Widens range[0] .. range[1] to the lowest of `lo` and the highest of `hi`, halving the lanes.
template <class V>
OVRIX_INLINE void widen_range(const V& lo, const V& hi, int32_t* range) {
  constexpr size_t N = sizeof lo / sizeof lo[0];
  if constexpr (N > 1) {
    const auto low = std::make_index_sequence<N / 2>();
    const auto high = []<size_t... I>(std::index_sequence<I...>) { return std::index_sequence<(I + N / 2)...>(); }(low);
    widen_range(vmin(lanes_at(lo, low), lanes_at(lo, high)), vmax(lanes_at(hi, low), lanes_at(hi, high)), range);
  } else {
    range[0] = std::min<int32_t>(range[0], lo[0]);
    range[1] = std::max<int32_t>(range[1], hi[0]);
  }
}

#undef OVRIX_INLINE

// The instruction set the lane kernels take: the convolutions' choice.
enum class Width { plain, avx2, avx512 };
inline Width width() {
#if OVRIX_LANES
  switch (kernel::active_isa()) {
    case kernel::Isa::avx512vnni: return Width::avx512;
    case kernel::Isa::avx2: return Width::avx2;
    default: return Width::plain;
  }
#else
  return Width::plain;
#endif
}

}  // namespace ovrix::ops::lanes
