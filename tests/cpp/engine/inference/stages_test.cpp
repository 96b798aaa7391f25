// The output and pooling stages of the software runners on every path of this machine against the
// per-value arithmetic: output stages case by case from engine/output_stage_cases.txt, pooled outputs
// from engine/pool_cases.txt.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/impl/inference/runner.h"
#include "engine/impl/ops/kernels.h"
#include "engine/model.h"
#include "support/golden.h"
#include "support/kernel_paths.h"

namespace ovrix::software {
namespace {

using ops::kernel::Isa;

using kernel_paths::paths;
using kernel_paths::PathGuard;

std::shared_ptr<Dense> int32_tensor(const std::vector<int32_t>& v) {
  return std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(int32_t),
                                            TensorType::int32, Shape{uint32_t(v.size())}));
}

// Values lo .. hi with both ends over-represented.
std::vector<int32_t> draw(size_t n, int64_t lo, int64_t hi, std::mt19937& rng) {
  std::uniform_int_distribution<int64_t> any(lo, hi);
  std::uniform_int_distribution<int> pick(0, 5);
  std::vector<int32_t> v(n);
  for (auto& x : v) {
    const int p = pick(rng);
    x = int32_t(p == 0 ? lo : p == 1 ? hi : any(rng));
  }
  return v;
}

// A Conv2D layer of `channels` filters on a 1 x 1 x 1 input, its output variables drawn from the ranges
// of a case line: channels | output bits, signed | activation | scale | output shift | bias | bias shift
// | max value | max value shift | seed (ranges as "lo hi"; the variables are int32 tensors, so a scale may
// pass what 8 bits hold).
struct Stage {
  std::unique_ptr<Model> model;
  std::shared_ptr<Layer> layer;
  uint32_t channels = 0;
};

Stage stage_of(const golden::Case& c) {
  Stage s;
  s.channels = uint32_t(golden::numbers(c[0])[0]);
  const auto bits = golden::numbers(c[1]);
  const std::map<std::string, int> activations{{"none", 0}, {"relu", 1}, {"lut", 2}};
  const int activation = activations.at(c[2]);
  std::mt19937 rng(uint32_t(golden::numbers(c[9])[0]));
  s.model = Model::create();
  s.model->add(Layer::create(
      LayerParams::create(LayerType::InputData, {{"input_width", 1}, {"input_height", 1}, {"input_channels", 1}})
          .get(),
      "input"));
  s.layer = Layer::create(LayerParams::create(LayerType::Conv2D, {{"filters", int(s.channels)},
                                                                  {"kernel_size", 1},
                                                                  {"activation", activation},
                                                                  {"output_bits", int(bits[0])}})
                              .get(),
                          "stage");
  s.model->add(s.layer);
  auto set = [&](const char* name, const std::string& field) {
    const auto r = golden::numbers(field);
    s.layer->variables()->set(name, int32_tensor(draw(s.channels, r[0], r[1], rng)));
  };
  set("output_scales", c[3]);
  set("output_shift", c[4]);
  set("bias", c[5]);
  set("bias_shift", c[6]);
  if (activation == 1) {
    set("max_value", c[7]);
    set("max_value_shift", c[8]);
  }
  if (activation == 2) {
    s.layer->variables()->set("lut_values", int32_tensor(draw(2048, -3000, 3000, rng)));
    s.layer->variables()->set("activation_scales", int32_tensor(draw(s.channels, 1, 3, rng)));
    s.layer->variables()->set("activation_shift", int32_tensor(draw(s.channels, -1, 1, rng)));
  }
  return s;
}

// Accumulators of every kind: both int32 ends, around 0 (within a lookup table's indices and wider), and
// any value.
std::vector<uint32_t> accumulators(size_t n, std::mt19937& rng) {
  std::uniform_int_distribution<int64_t> any(std::numeric_limits<int32_t>::min(),
                                             std::numeric_limits<int32_t>::max());
  std::uniform_int_distribution<int32_t> small(-70000, 70000), tiny(-1500, 1500);
  std::uniform_int_distribution<int> pick(0, 9);
  std::vector<uint32_t> v(n);
  for (auto& x : v) {
    const int p = pick(rng);
    x = uint32_t(p == 0 ? std::numeric_limits<int32_t>::min()
                 : p == 1 ? std::numeric_limits<int32_t>::max()
                 : p < 4  ? tiny(rng)
                 : p < 6  ? small(rng)
                          : int32_t(any(rng)));
  }
  return v;
}

// The stage one value at a time.
std::vector<int32_t> per_value(const OutputStage& stage, const std::vector<uint32_t>& acc, uint32_t channels) {
  std::vector<int32_t> out(acc.size());
  for (size_t i = 0; i < acc.size(); ++i) {
    const auto c = uint32_t(i % channels);
    out[i] = stage.output(stage.potential(acc[i], c), c);
  }
  return out;
}

class OutputStages : public testing::TestWithParam<golden::Case> {};

TEST_P(OutputStages, EveryPathGivesTheValueByValueOutputs) {
  const Stage s = stage_of(GetParam());
  const OutputStage stage(*s.layer, s.channels);
  std::mt19937 rng(7);
  PathGuard guard;
  for (const size_t positions : {1u, 3u, 37u}) {
    const auto acc = accumulators(positions * s.channels, rng);
    const auto want = per_value(stage, acc, s.channels);
    for (const Isa isa : paths()) {
      SCOPED_TRACE(ops::kernel::isa_name(isa));
      ops::kernel::use_isa(isa);
      std::vector<int32_t> got(acc.size(), 12345);
      stage.outputs(acc.data(), positions, got.data());
      ASSERT_EQ(got, want) << positions << " positions";
      if (!stage.bytes()) continue;
      // As bytes, three bytes apart from one position to the next, which stay as they were.
      const size_t stride = s.channels + 3;
      std::vector<uint8_t> bytes(positions * stride, 0xA5);
      stage.outputs(acc.data(), positions, bytes.data(), stride);
      for (size_t i = 0; i < positions; ++i)
        for (size_t c = 0; c < stride; ++c)
          ASSERT_EQ(int32_t(bytes[i * stride + c]), c < s.channels ? want[i * s.channels + c] : 0xA5)
              << "position " << i << " byte " << c;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, OutputStages, testing::ValuesIn(golden::cases("engine/output_stage_cases.txt")),
                         golden::line_name);

// The pooling of a case line: channels | type (max, average) | in0 in1 | k0 k1 | s0 s1 | p0 p1 | out0 out1 |
// stage line of output_stage_cases.txt (1-based among its cases) | seed.
class PooledOutputs : public testing::TestWithParam<golden::Case> {};

TEST_P(PooledOutputs, EveryPathPoolsAsTheOutputsThenThePlainWindows) {
  const golden::Case& c = GetParam();
  const auto channels = uint32_t(golden::numbers(c[0])[0]);
  const bool max = c[1] == "max";
  const auto in = golden::numbers(c[2]), k = golden::numbers(c[3]), st = golden::numbers(c[4]),
             pad = golden::numbers(c[5]), out = golden::numbers(c[6]);
  golden::Case stage_case = golden::cases("engine/output_stage_cases.txt").at(size_t(golden::numbers(c[7])[0]) - 1);
  stage_case.fields[0] = std::to_string(channels);
  const Stage s = stage_of(stage_case);
  const OutputStage stage(*s.layer, channels);
  ops::kernel::Sweep g;
  g.d0 = uint32_t(in[0]), g.d1 = uint32_t(in[1]);
  g.k0 = uint32_t(k[0]), g.k1 = uint32_t(k[1]);
  g.s0 = uint32_t(st[0]), g.s1 = uint32_t(st[1]);
  g.p0 = int32_t(pad[0]), g.p1 = int32_t(pad[1]);
  g.out0 = uint32_t(out[0]), g.out1 = uint32_t(out[1]);
  const PoolStage pool(max ? PoolType::Max : PoolType::Average, g);
  std::mt19937 rng(uint32_t(golden::numbers(c[8])[0]));
  const auto acc = accumulators(size_t(g.d0) * g.d1 * channels, rng);

  // The outputs, then each window over the positions it covers (padding left out).
  const auto outputs = per_value(stage, acc, channels);
  std::vector<int32_t> want(size_t(g.out0) * g.out1 * channels);
  for (uint32_t o0 = 0; o0 < g.out0; ++o0)
    for (uint32_t o1 = 0; o1 < g.out1; ++o1)
      for (uint32_t ch = 0; ch < channels; ++ch) {
        int64_t best = std::numeric_limits<int64_t>::min(), sum = 0, count = 0;
        for (uint32_t r0 = 0; r0 < g.k0; ++r0)
          for (uint32_t r1 = 0; r1 < g.k1; ++r1) {
            const int64_t i0 = int64_t(o0) * g.s0 + r0 - g.p0, i1 = int64_t(o1) * g.s1 + r1 - g.p1;
            if (i0 < 0 || i0 >= g.d0 || i1 < 0 || i1 >= g.d1) continue;
            const int32_t v = outputs[(size_t(i0) * g.d1 + size_t(i1)) * channels + ch];
            best = std::max<int64_t>(best, v);
            sum += v;
            ++count;
          }
        ASSERT_GT(count, 0) << "a window outside the image";
        // Average rounded half up: floor((2 sum + count) / (2 count)).
        const int64_t num = 2 * sum + count, den = 2 * count;
        const int64_t average = num / den - ((num % den != 0 && num < 0) ? 1 : 0);
        want[(size_t(o0) * g.out1 + o1) * channels + ch] = int32_t(max ? best : average);
      }
  PathGuard guard;
  std::vector<int32_t> scratch(acc.size());
  for (const Isa isa : paths()) {
    SCOPED_TRACE(ops::kernel::isa_name(isa));
    ops::kernel::use_isa(isa);
    std::vector<int32_t> got(want.size(), 12345);
    pool.pool_outputs(stage, acc.data(), channels, scratch.data(), got.data());
    EXPECT_EQ(got, want);
    // The pooling alone, of the outputs.
    std::fill(got.begin(), got.end(), 12345);
    pool.pool(outputs.data(), channels, got.data());
    EXPECT_EQ(got, want);
    if (max) {
      // Padding read as 0 where a window overlaps it.
      std::vector<int32_t> zero_padded(want.size(), 12345);
      ops::kernel::max_pool(outputs.data(), channels, g, true, zero_padded.data());
      for (uint32_t o0 = 0; o0 < g.out0; ++o0)
        for (uint32_t o1 = 0; o1 < g.out1; ++o1) {
          const auto t0 = ops::kernel::taps(o0, g.s0, g.p0, g.k0, g.d0);
          const auto t1 = ops::kernel::taps(o1, g.s1, g.p1, g.k1, g.d1);
          const bool padded = t0.hi - t0.lo < g.k0 || t1.hi - t1.lo < g.k1;
          for (uint32_t ch = 0; ch < channels; ++ch) {
            const size_t i = (size_t(o0) * g.out1 + o1) * channels + ch;
            ASSERT_EQ(zero_padded[i], padded ? std::max(want[i], 0) : want[i]) << o0 << ", " << o1 << ", " << ch;
          }
        }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PooledOutputs, testing::ValuesIn(golden::cases("engine/pool_cases.txt")),
                         golden::line_name);

}  // namespace
}  // namespace ovrix::software
