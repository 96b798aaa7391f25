#pragma once
// Raw kernels over contiguous row-major buffers, one sample at a time. They trust their arguments: the
// ops entry points (engine/ops.h) and the software inference check shapes once before calling them.
// Arithmetic comes from arith.h only.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

// The hot loops are also compiled for AVX2 on x86-64 (chosen at load time when the CPU has it): the
// results are integers, identical on every path.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define OVRIX_VECTOR_KERNEL __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define OVRIX_VECTOR_KERNEL
#endif

namespace ovrix::ops::kernel {

// Spatial sweep of a kernel over a (d0, d1, channels) image.
struct Sweep {
  uint32_t d0 = 1, d1 = 1;      // input size
  uint32_t k0 = 1, k1 = 1;      // kernel size
  uint32_t s0 = 1, s1 = 1;      // strides
  int32_t p0 = 0, p1 = 0;       // padding before the data
  uint32_t out0 = 1, out1 = 1;  // output size
};

// Kernel taps r in [lo, hi) of output o that land inside an input of n positions (input index
// o x s + r - p); first is the input index of tap lo.
struct Taps {
  int64_t lo, hi, first;
};

inline Taps taps(uint32_t o, uint32_t s, int32_t p, uint32_t k, uint32_t n) {
  const int64_t start = int64_t{o} * s - p;
  const int64_t lo = std::max<int64_t>(0, -start);
  const int64_t hi = std::min<int64_t>(k, int64_t{n} - start);
  return {lo, std::max(lo, hi), start + lo};
}

// Convolution filters packed for conv2d: the filters in blocks of `block` (the last one padded with zero
// filters), each block holding its (k0, k1, C, block) weights contiguously, so that one block's
// accumulators stay in registers while the kernel sweeps every tap and channel.
// They are also packed for the dot-product kernels: 16-bit weights in blocks of `pair_block` filters,
// each block holding, for every tap and pair of channels (c, c + 1), the pairs (w[c][f], w[c + 1][f]) of
// its filters one after the other (an odd channel count pairs its last channel with a zero weight).
// And for the 8-bit products, in blocks of `quad_block` filters (at most 64; the last block narrower): for
// every tap and quad of channels (c .. c + 3), the four weights of each filter of the block one after the
// other, the block's filters padded with zero filters to a multiple of 16 (quad_width) and the last quad
// with zero weights; with each filter's sum of weights (for activations taken with an offset).
struct PackedFilters {
  uint32_t k0 = 1, k1 = 1, channels = 1, filters = 1, block = 8;
  std::vector<int32_t> values;
  uint32_t pair_block = 8;
  std::vector<int16_t> pairs;  // empty when a weight does not fit 16 bits
  uint32_t quad_block = 16;
  std::vector<int8_t> quads;    // empty when a weight does not fit 8 bits
  std::vector<uint32_t> sums;   // per filter (wrapping), with quads
  bool quads_within_64 = false;  // every weight within -64 .. 64
};
// Filters a quad of a block of n filters holds: n rounded up to 16.
constexpr size_t quad_width(size_t n) { return (n + 15) / 16 * 16; }
// Packs int32 weights (k0, k1, C, F), row-major.
PackedFilters pack_filters(const int32_t* w, uint32_t k0, uint32_t k1, uint32_t channels, uint32_t filters);

// The instruction sets the convolutions can use, picked once when first asked: the best the processor
// has, unless the environment variable OVRIX_ISA names a lower one ("generic", "avx2"). Every path gives
// the same integers.
enum class Isa { generic, avx2, avx512vnni };
Isa active_isa();
// The best the processor has.
Isa best_isa();
// Makes the kernels use `isa` (at most the processor's best) from now on; returns the one used before.
// For the tests, which run every path the machine has.
Isa use_isa(Isa isa);
const char* isa_name(Isa isa);

// Fills p.pairs (and leaves it empty when a weight does not fit 16 bits); w as for pack_filters.
void pack_pairs(PackedFilters& p, const int32_t* w);
// Fills p.quads and p.sums (left empty when a weight does not fit 8 bits) and p.quads_within_64; w as
// for pack_filters. Without VNNI the quads serve only weights within -64 .. 64: beyond, two 8-bit
// products could pass the 16-bit lanes that add them.
void pack_quads(PackedFilters& p, const int32_t* w);

// Output rows of a convolution handed over as soon as every filter of them is summed, while they are still
// in the cache: sink(first, last, acc) with acc the (last - first, out1, F) accumulators of rows
// [first, last), valid during the call only. Called on the thread that summed the rows, on several threads
// at once for disjoint rows; every row exactly once, in increasing order within a thread.
using RowSink = std::function<void(size_t first, size_t last, const int32_t* acc)>;

// Where the kernels put their output rows: straight into the (out0, out1, F) image `out`, or group by
// group into a scratch buffer of the thread handed to `sink`.
struct RowsOut {
  int32_t* out = nullptr;
  const RowSink* sink = nullptr;
  size_t row_values = 0;  // out1 x F
};

// Runs compute(a, b, dst) over consecutive groups [a, b) of rows [first, last), dst holding row a (the
// rows after it follow): the image itself in one group, or a group of rows small enough to stay in the
// cache, then handed to the sink.
template <class Compute>
void by_row_groups(const RowsOut& to, size_t first, size_t last, Compute&& compute) {
  if (first >= last) return;
  if (!to.sink) {
    compute(first, last, to.out + first * to.row_values);
    return;
  }
  constexpr size_t kGroupBytes = 16 * 1024;
  const size_t rows = std::max<size_t>(1, kGroupBytes / (std::max<size_t>(1, to.row_values) * sizeof(int32_t)));
  thread_local std::vector<int32_t> acc;
  acc.resize(std::min(rows, last - first) * to.row_values);
  for (size_t a = first; a < last; a += rows) {
    const size_t b = std::min(last, a + rows);
    compute(a, b, acc.data());
    (*to.sink)(a, b, acc.data());
  }
}

// Dot-product convolution over a frame: the input with its padding already in place, (rows, cols) positions
// of (C + 1) / 2 channel pairs of 16-bit values, read without padding (g's paddings and input sizes are
// not used). False, with nothing written, when the processor or the weights cannot take this path.
bool conv2d_dot(const int16_t* frame, uint32_t rows, uint32_t cols, const PackedFilters& w, const Sweep& g,
                int32_t* out, unsigned threads = 1);
bool conv2d_dot(const int16_t* frame, uint32_t cols, const PackedFilters& w, const Sweep& g, const RowsOut& to,
                unsigned threads);

// The same over a frame of 8-bit values (value + offset, offset 0 or 128, each in 0 .. 255) in channel
// quads, (C + 3) / 4 of them a position: the result is the convolution of the values (the offset's
// share, offset x the filter's sum of weights, taken back).
bool conv2d_dot8(const uint8_t* frame, uint32_t cols, const PackedFilters& w, const Sweep& g, uint32_t offset,
                 const RowsOut& to, unsigned threads = 1);

// Widens lo .. hi to take in the n values of x.
void value_range(const int32_t* x, size_t n, int32_t& lo, int32_t& hi);

// Rows and columns of the frames of the dot-product convolutions: the image at (p0, p1) and every window
// of the sweep.
std::pair<uint32_t, uint32_t> frame_size(const Sweep& g);

// Standard convolution over a frame of bytes (values 0 .. 255) already laid out for the 8-bit products:
// frame_size(g) positions of the channels rounded up to 4, the image at (p0, p1), every other byte 0.
// False, with nothing written, when the processor or the weights cannot take the 8-bit products for such
// values.
bool conv2d_bytes(const uint8_t* frame, const PackedFilters& w, const Sweep& g, const RowsOut& to,
                  unsigned threads = 1);

// The path a standard or input convolution takes for a sample whose values (and padding values) lie in
// lo .. hi: the 8-bit products on channel quads, the 16-bit products on channel pairs, or the plain
// 32-bit kernel.
enum class ConvPath { plain, pairs, quads };
ConvPath conv_path(const PackedFilters& w, int32_t lo, int32_t hi);

// Standard convolution: x (d0, d1, C), packed filters (kernel sizes as g.k0, g.k1), out (out0, out1, F).
// Positions outside the input read 0. Wrapping 32-bit accumulation.
// The convolutions split their output rows between `threads` of the engine's threads (the same integers
// for any number).
void conv2d(const int32_t* x, const PackedFilters& w, const Sweep& g, int32_t* out, unsigned threads = 1);
// The same, handing its rows to a sink.
void conv2d(const int32_t* x, const PackedFilters& w, const Sweep& g, const RowSink& sink, unsigned threads = 1);


// Depthwise convolution: x (d0, d1, C), w (k0, k1, C), out (out0, out1, C); the plain kernel.
void depthwise_conv2d(const int32_t* x, uint32_t channels, const int32_t* w, const Sweep& g, int32_t* out,
                      unsigned threads = 1);

// Depthwise weights (k0, k1, C) as given, and for the 16-bit products: taps in pairs, channels in groups
// of 16, each pair's two weights of a channel side by side (empty when a weight does not fit 16 bits).
struct PackedDepthwise {
  uint32_t k0 = 1, k1 = 1, channels = 1;
  std::vector<int32_t> values;
  std::vector<int16_t> pairs;
};
PackedDepthwise pack_depthwise(const int32_t* w, uint32_t k0, uint32_t k1, uint32_t channels);

// The path a depthwise convolution takes for a sample whose values lie in lo .. hi (padding reads 0):
// the 16-bit products on tap pairs, or the plain 32-bit kernel.
ConvPath depthwise_path(const PackedDepthwise& w, int32_t lo, int32_t hi);

// Depthwise convolution on the path the sample allows (the kernel sizes are the weights').
void depthwise_conv2d(const int32_t* x, const PackedDepthwise& w, const Sweep& g, int32_t* out,
                      unsigned threads = 1);

// The 16-bit depthwise products over a frame holding the padding, (C + 15) / 16 x 16 channels a position
// (the extra ones 0). False, with nothing written, when the processor or the weights cannot take it.
bool depthwise_dot(const int16_t* frame, uint32_t cols, const PackedDepthwise& w, const Sweep& g, int32_t* out,
                   unsigned threads = 1);

// Input convolution: x (d0, d1, C), positions outside the input read pad_values[c]; packed filters;
// out (out0, out1, F). `padded` is scratch space, reused between calls.
void input_conv2d(const int32_t* x, const int32_t* pad_values, const PackedFilters& w, const Sweep& g,
                  std::vector<int32_t>& padded, int32_t* out, unsigned threads = 1);
// The same, handing its rows to a sink as conv2d does.
void input_conv2d(const int32_t* x, const int32_t* pad_values, const PackedFilters& w, const Sweep& g,
                  std::vector<int32_t>& padded, const RowSink& sink, unsigned threads = 1);

// Transposed convolution: output position o = i x stride + r - pad along each axis receives
// x[i] x w[r]; x (d0, d1, C), w (k0, k1, C, F), out (out0, out1, F). Only the strides, kernel sizes,
// paddings (p0, p1) and output sizes of the sweep are used, with (d0, d1) the input size.
void conv2d_transpose(const int32_t* x, uint32_t channels, const int32_t* w, uint32_t filters, const Sweep& g,
                      int32_t* out);

// Depthwise transposed convolution: w (k0, k1, C), out (out0, out1, C).
void depthwise_conv2d_transpose(const int32_t* x, uint32_t channels, const int32_t* w, const Sweep& g,
                                int32_t* out);

// acc[j] += sum_i x[i] w[i][j] (wrapping), w row-major (rows, cols); rows whose x[i] is 0 are not read.
void matvec_acc(const int32_t* x, uint32_t rows, const int32_t* w, uint32_t cols, uint32_t* acc);

// A weight matrix (rows, cols): row-major as given (`values`), and for the 16-bit products: rows in pairs
// (an odd last row paired with zero weights), the columns in blocks of 32 (the last one narrower, padded
// with zero columns to a multiple of 8), each block holding, for every pair of rows, the two weights of
// each of its columns side by side (empty when a weight does not fit 16 bits).
// And for the 8-bit products, rows in quads: the columns in blocks of 64 (`matrix_quad_block`; the last
// block narrower), each block holding, for every quad of rows (i .. i + 3), the four weights of each of
// its columns one after the other, the block's columns padded with zero columns to a multiple of 16
// (quad_width) and the last quad with zero weights; with each column's sum of weights (for values taken
// with an offset) and the count of weights beyond -64 .. 64 (empty when a weight does not fit 8 bits).
struct PackedMatrix {
  uint32_t rows = 0, cols = 0;
  std::vector<int32_t> values;
  std::vector<int16_t> pairs;
  std::vector<int8_t> quads;
  std::vector<uint32_t> sums;  // per column (wrapping), with quads
  uint32_t beyond_64 = 0;      // weights of the quads outside -64 .. 64
};
constexpr size_t matrix_quad_block = 64;
// Packs int32 weights (rows, cols), row-major: values, and pairs and quads when the weights fit them.
PackedMatrix pack_matrix(const int32_t* w, uint32_t rows, uint32_t cols);
// Packs column `col` again after its values changed (dropping the 16-bit or 8-bit products if a value no
// longer fits them).
void repack_column(PackedMatrix& w, uint32_t col);

// The path a dense product takes for a sample whose values lie in lo .. hi: as conv_path, the 8-bit
// products on row quads, the 16-bit products on row pairs, or the plain kernel.
ConvPath matvec_path(const PackedMatrix& w, int32_t lo, int32_t hi);

// acc[j] += sum_i x[i] w[i][j] (wrapping), x of w.rows values, on the path matvec_path chooses for them;
// the columns split between `threads` of the engine's threads (the same integers for any number).
void matvec_acc(const int32_t* x, const PackedMatrix& w, uint32_t* acc, unsigned threads = 1);

// 8-bit weights (rows, cols) row-major, read where they lie (no copy), with what the 8-bit products need:
// each column's sum of weights and the count of weights beyond -64 .. 64.
struct RowsOf8 {
  const int8_t* w = nullptr;
  uint32_t rows = 0, cols = 0;
  std::vector<uint32_t> sums;
  uint32_t beyond_64 = 0;
};
RowsOf8 rows_of8(const int8_t* w, uint32_t rows, uint32_t cols);
// Weight (i, j) of the bytes behind `w` (the caller's, writable) becomes v.
void set_row_weight(RowsOf8& w, int8_t* bytes, uint32_t i, uint32_t j, int8_t v);
// The path for values in lo .. hi: the 8-bit products, or the plain kernel.
ConvPath matvec_path(const RowsOf8& w, int32_t lo, int32_t hi);
// acc[j] += sum_i x[i] w[i][j] (wrapping) on that path, the columns split between `threads`. The 8-bit
// products read only the rows whose value (taken plus the offset) is not 0, four at a time, and
// interleave their bytes into quads in registers; the plain kernel skips the rows whose value is 0.
void matvec_acc(const int32_t* x, const RowsOf8& w, uint32_t* acc, unsigned threads = 1);

// The 8-bit products over x taken plus `offset` (0 or 128; every byte of xq, (rows + 3) / 4 quads, the last
// padded with zeros), for the columns of blocks [first_block, last_block) of 64. False, with nothing
// added, when the processor or the weights cannot take them.
bool matvec_dot8(const uint8_t* xq, const PackedMatrix& w, uint32_t offset, uint32_t* acc, size_t first_block,
                 size_t last_block);
// The same over the rows of `w` listed in `rows` (a multiple of 4 of them, bytes[k] the value of row
// rows[k] taken plus the offset), columns [first, last).
bool matvec_dot8(const uint8_t* bytes, const uint32_t* rows, size_t count, const RowsOf8& w, uint32_t offset,
                 uint32_t* acc, size_t first, size_t last);

// Max pooling of x (d0, d1, C) into out (out0, out1, C). Padded positions are skipped, or read as 0 when
// pad_as_zero.
void max_pool(const int32_t* x, uint32_t channels, const Sweep& g, bool pad_as_zero, int32_t* out);

// Per-channel sums over the spatial positions of x (d0 x d1 positions, C channels) into sums (C).
void channel_sums(const int32_t* x, uint32_t positions, uint32_t channels, int64_t* sums);

// Widens int8 weights to int32 once, so inner loops multiply 32-bit values only.
std::vector<int32_t> widen(const int8_t* w, size_t count);

}  // namespace ovrix::ops::kernel
