// Bytes between layers: which buffers a run keeps as bytes in the frame of the layer reading them (case by
// case from tests/data/engine/byte_frame_cases.txt), and that the model's outputs are those of the plain
// path, which keeps none, on every path of the machine, on one thread and several, call after call.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/impl/inference/runner.h"
#include "engine/impl/ops/kernels.h"
#include "engine/model.h"
#include "support/engine_util.h"
#include "support/golden.h"
#include "support/kernel_paths.h"

namespace ovrix {
namespace {

using ops::kernel::Isa;
using test::make_layer;

int padding(const std::string& word) { return int(word == "same" ? Padding::Same : Padding::Valid); }
int activation(const std::string& word) { return word == "relu" ? 1 : 0; }

// A layer of a chain: conv F k s pad act bits [max|avg size] | dw k s pad act bits | dense U act bits.
std::shared_ptr<Layer> chain_layer(const std::string& text, size_t index) {
  std::istringstream in(text);
  std::string kind, pad, act;
  in >> kind;
  const std::string name = kind + std::to_string(index);
  if (kind == "conv") {
    int filters = 0, k = 0, s = 0, bits = 0;
    in >> filters >> k >> s >> pad >> act >> bits;
    std::map<std::string, int> p{{"filters", filters},         {"kernel_size", k},         {"kernel_stride", s},
                                 {"padding", padding(pad)},    {"activation", activation(act)},
                                 {"weights_bits", 8},          {"output_bits", bits}};
    std::string pool;
    int size = 0;
    if (in >> pool >> size) {
      p["pool_type"] = int(pool == "max" ? PoolType::Max : PoolType::Average);
      p["pool_size"] = size;
    }
    return make_layer(LayerType::Conv2D, p, name);
  }
  if (kind == "dw") {
    int k = 0, s = 0, bits = 0;
    in >> k >> s >> pad >> act >> bits;
    return make_layer(LayerType::DepthwiseConv2D,
                      {{"kernel_size", k}, {"kernel_stride", s}, {"padding", padding(pad)},
                       {"activation", activation(act)}, {"weights_bits", 8}, {"output_bits", bits}},
                      name);
  }
  int units = 0, bits = 0;
  in >> units >> act >> bits;
  return make_layer(LayerType::Dense1D, {{"units", units}, {"activation", activation(act)}, {"output_bits", bits}},
                    name);
}

// Weights within -64 .. 64 (the 8-bit products take them on every path that has them), scales and shifts
// that keep the outputs spread over their range.
void fill(const Layer& l, int seed) {
  const auto vars = l.variables();
  // Values summed by each output: the kernel's window over the input channels (one for depthwise), or
  // every input of a dense layer.
  const Shape in = l.input_dimensions()[0];
  const LayerType kind = l.params()->layer_type();
  const uint64_t window = kind == LayerType::Dense1D ? 1 : uint64_t(l.params()->get("kernel_size")) * l.params()->get("kernel_size");
  const uint64_t fan_in = kind == LayerType::Dense1D ? in.elements() : window * (kind == LayerType::Conv2D ? in[2] : 1);
  const int shift = -(9 + int(std::ceil(std::log2(double(std::max<uint64_t>(2, fan_in)))))) -
                    (8 - std::min(8, int(l.output_bits())));
  for (const std::string& name : vars->names()) {
    const auto t = vars->get(name);
    const auto bytes = t->mutable_data();
    const size_t size = element_size(t->type());
    for (size_t i = 0; i * size < bytes.size(); ++i) {
      const auto r = int(uint32_t(i * 2654435761u + uint32_t(seed) * 40503u) >> 20);
      int v = 0;
      if (name == "weights") v = r % 129 - 64;
      else if (name == "output_scales") v = 1 + r % 255;
      else if (name == "output_shift") v = shift + r % 3;
      else if (name == "bias") v = r % 256 - 128;
      else if (name == "max_value") v = 64 + r % 192;
      else if (name == "max_value_shift") v = 9 + r % 3;
      else continue;
      std::memcpy(bytes.data() + i * size, &v, size);  // little-endian: the low bytes
    }
  }
}

struct Chain {
  std::unique_ptr<Model> model;
  std::shared_ptr<Dense> input;
};

// input type | input W H C | layers separated by ";" | samples.
Chain chain(const golden::Case& c) {
  Chain out;
  const std::string type = c[0];
  const auto dims = golden::numbers(c[1]);
  out.model = Model::create();
  out.model->add(test::input_data(uint32_t(dims[0]), uint32_t(dims[1]), uint32_t(dims[2]), 8, type == "s8"));
  std::istringstream layers(c[2]);
  size_t index = 0;
  for (std::string text; std::getline(layers, text, ';');) out.model->add(chain_layer(text, ++index));
  for (size_t i = 1; i < out.model->layer_count(); ++i) fill(*out.model->layers()[i], int(i));
  const auto samples = uint32_t(golden::numbers(c[3])[0]);
  const Shape shape{samples, uint32_t(dims[0]), uint32_t(dims[1]), uint32_t(dims[2])};
  const TensorType tensor_type = type == "u8" ? TensorType::uint8 : type == "s8" ? TensorType::int8 : TensorType::int16;
  out.input = Dense::create(tensor_type, shape);
  const auto bytes = out.input->mutable_data();
  const size_t size = element_size(tensor_type);
  for (size_t i = 0; i * size < bytes.size(); ++i) {
    const int v = type == "s8" ? int(i * 7 % 256) - 128 : int(i * 7 % 256);
    std::memcpy(bytes.data() + i * size, &v, size);
  }
  return out;
}

std::vector<std::byte> bytes_of(const Tensor& t) {
  const auto b = t.data();
  return {b.begin(), b.end()};
}

class ByteFrames : public testing::TestWithParam<golden::Case> {};

TEST_P(ByteFrames, RunsKeepTheBuffersTheCaseExpectsAsBytesAndGiveThePlainOutputs) {
  const golden::Case& c = GetParam();
  Chain ch = chain(c);
  const bool predict = c[4] == "predict";
  const auto expected = uint64_t(golden::numbers(c[5])[0]), on_plain = uint64_t(golden::numbers(c[5])[1]);
  auto call = [&] { return bytes_of(*(predict ? ch.model->predict(ch.input, 0) : ch.model->forward(ch.input, 0))); };
  kernel_paths::PathGuard guard;
  ops::kernel::use_isa(Isa::generic);
  const uint64_t before_plain = software::byte_frames();
  const auto want = call();
  EXPECT_EQ(software::byte_frames() - before_plain, on_plain) << "on the plain path";
  // Outputs spread over their range, so that a value read from the wrong place shows.
  ASSERT_GE(std::set<std::byte>(want.begin(), want.end()).size(), std::min<size_t>(8, want.size() / 4));
  for (const Isa isa : kernel_paths::paths()) {
    if (isa == Isa::generic) continue;
    SCOPED_TRACE(ops::kernel::isa_name(isa));
    ops::kernel::use_isa(isa);
    for (const char* threads : {"1", "4"}) {
      SCOPED_TRACE(std::string(threads) + " threads");
      const test::ThreadCount setting(threads);
      for (int repeat = 0; repeat < 2; ++repeat) {  // the second call on the state the first one left
        const uint64_t before = software::byte_frames();
        EXPECT_EQ(call(), want);
        EXPECT_EQ(software::byte_frames() - before, expected);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ByteFrames, testing::ValuesIn(golden::cases("engine/byte_frame_cases.txt")),
                         golden::line_name);

}  // namespace
}  // namespace ovrix
