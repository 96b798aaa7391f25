// The engine's threads: the pool's chunks and their errors, nested splits, and a software run that reads
// each layer's weights once whatever its number of threads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/impl/inference/runner.h"
#include "engine/impl/parallel.h"
#include "engine/inference.h"
#include "engine/model.h"
#include "support/engine_util.h"

namespace ovrix {
namespace {

TEST(Pool, ChunksCoverTheRangeOnceAndNestedSplitsFinish) {
  for (unsigned chunks : {1u, 2u, 3u, 8u, 40u}) {
    SCOPED_TRACE(chunks);
    std::vector<std::atomic<int>> seen(1000);
    std::atomic<int> inner{0};
    parallel::for_chunks(seen.size(), chunks, [&](unsigned, size_t first, size_t last) {
      for (size_t i = first; i < last; ++i) ++seen[i];
      // Every chunk splits again: the calling threads run what no pool thread takes.
      parallel::for_chunks(5, 4, [&](unsigned, size_t a, size_t b) { inner += int(b - a); });
    });
    for (const auto& s : seen) ASSERT_EQ(s.load(), 1);
    EXPECT_EQ(inner.load(), 5 * int(std::min<size_t>(chunks, 1000)));
  }
  // The pool keeps its threads: a second call of the same size starts none.
  parallel::for_chunks(8, 8, [](unsigned, size_t, size_t) {});
  const unsigned started = parallel::pool_threads();
  EXPECT_GE(started, 7u);
  parallel::for_chunks(8, 8, [](unsigned, size_t, size_t) {});
  EXPECT_EQ(parallel::pool_threads(), started);
}

TEST(Pool, TheLowestFailingChunkIsReported) {
  EXPECT_THAT(
      [] {
        parallel::for_chunks(8, 8, [](unsigned chunk, size_t, size_t) {
          if (chunk == 2 || chunk == 6) throw std::invalid_argument("chunk " + std::to_string(chunk));
        });
      },
      testing::ThrowsMessage<std::invalid_argument>(testing::StrEq("chunk 2")));
  // Nothing is left behind: the next call runs every chunk.
  std::atomic<int> ran{0};
  parallel::for_chunks(8, 8, [&](unsigned, size_t, size_t) { ++ran; });
  EXPECT_EQ(ran.load(), 8);
}

std::shared_ptr<Layer> layer(LayerType type, const std::map<std::string, int>& values, const std::string& name) {
  auto params = LayerParams::create(type, values);
  return Layer::create(params.get(), name);
}

using test::ThreadCount;

TEST(SoftwareThreads, EachLayerReadsItsWeightsOncePerCallOnAnyNumberOfThreads) {
  // input (16, 16, 8) -> Conv2D 32 filters -> DepthwiseConv2D: 0.6 M multiply-accumulates a sample, so
  // 64 samples are worth 8 threads.
  auto model = Model::create();
  model->add(layer(LayerType::InputData,
                   {{"input_width", 16}, {"input_height", 16}, {"input_channels", 8}, {"input_bits", 8}}, "input"));
  model->add(layer(LayerType::Conv2D,
                   {{"filters", 32}, {"kernel_size", 3}, {"weights_bits", 4}, {"activation", 0}, {"output_bits", 32}},
                   "conv"));
  model->add(layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"activation", 0}, {"output_bits", 32}}, "dw"));
  std::vector<uint8_t> x(64 * 16 * 16 * 8);
  for (size_t i = 0; i < x.size(); ++i) x[i] = uint8_t(i * 7 % 251);
  auto input = Dense::copy(reinterpret_cast<const char*>(x.data()), x.size(), TensorType::uint8, Shape{64, 16, 16, 8});
  std::vector<std::vector<std::byte>> outputs;
  for (const char* n : {"1", "3", "8"}) {
    SCOPED_TRACE(n);
    ThreadCount threads(n);
    const uint64_t before = software::weight_reads();
    auto out = software::run(model->layers(), *input, software::Mode::Forward, {});
    EXPECT_EQ(software::weight_reads() - before, 2u);
    const auto bytes = out->data();
    outputs.emplace_back(bytes.begin(), bytes.end());
  }
  EXPECT_EQ(outputs[1], outputs[0]);
  EXPECT_EQ(outputs[2], outputs[0]);
}

}  // namespace
}  // namespace ovrix
