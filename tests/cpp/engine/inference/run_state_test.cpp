// What a model keeps between its software runs: a run on unchanged layers reads no weights again, and a run
// after any change (a variable set or written in place, a fit, a new wiring, another mode, batch size or
// number of threads) gives what a run made from scratch gives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/impl/inference/runner.h"
#include "engine/inference.h"
#include "engine/model.h"
#include "support/engine_util.h"
#include "support/message_of.h"
#include "support/software_sequence.h"

namespace ovrix {
namespace {

using Bytes = std::vector<std::byte>;

using test::make_layer;
using test::ThreadCount;
using test_support::message_of;

// Every byte of a one-byte variable set from a simple sequence (seed picks it): -4 to 4 when signed, else
// 1 to 9.
void fill(const Layer& l, const char* name, int seed) {
  auto t = l.variables()->get(name);
  auto bytes = t->mutable_data();
  const bool is_signed = t->type() != TensorType::uint8;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int v = int((i * 37 + size_t(seed) * 11) % 9);
    bytes[i] = std::byte(uint8_t(is_signed ? v - 4 : v + 1));
  }
}

// input (16, 16, 8) -> Conv2D 32 filters -> DepthwiseConv2D -> Dense1D of 6 units: 0.6 M multiply-accumulates
// a sample, so 64 samples are worth 8 threads. `seed` picks the weights.
std::unique_ptr<Model> model(int seed) {
  auto m = Model::create();
  m->add(make_layer(LayerType::InputData,
               {{"input_width", 16}, {"input_height", 16}, {"input_channels", 8}, {"input_bits", 8}}, "input"));
  m->add(make_layer(LayerType::Conv2D,
               {{"filters", 32}, {"kernel_size", 3}, {"weights_bits", 4}, {"activation", 1}, {"output_bits", 4}},
               "conv"));
  m->add(make_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"activation", 1}, {"output_bits", 4}}, "dw"));
  m->add(make_layer(LayerType::Dense1D, {{"units", 6}, {"activation", 0}, {"output_bits", 32}}, "dense"));
  for (const char* name : {"conv", "dw", "dense"}) {
    const auto l = m->get_layer(name);
    fill(*l, "weights", seed);
    fill(*l, "output_scales", seed + 1);
    if (l->variables()->has("max_value")) fill(*l, "max_value", seed + 2);
  }
  // Potentials with fractions: predict differs from forward.
  fill(*m->get_layer("dense"), "output_shift", seed);
  return m;
}

std::shared_ptr<Dense> input(uint32_t samples) {
  std::vector<uint8_t> x(size_t(samples) * 16 * 16 * 8);
  for (size_t i = 0; i < x.size(); ++i) x[i] = uint8_t(i * 7 % 251);
  return std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(x.data()), x.size(), TensorType::uint8,
                                            Shape{samples, 16, 16, 8}));
}

Bytes bytes_of(const Tensor& t) {
  const auto b = t.data();
  return Bytes(b.begin(), b.end());
}

// The model's own call (with its kept state) and a run made from scratch on the same layers.
Bytes kept(Model& m, const std::shared_ptr<Dense>& x, software::Mode mode = software::Mode::Forward) {
  return bytes_of(*(mode == software::Mode::Predict ? m.predict(x, 0) : m.forward(x, 0)));
}
Bytes fresh(const Model& m, const Dense& x, software::Mode mode = software::Mode::Forward) {
  return bytes_of(*software::run(m.layers(), x, mode));
}

LearningParams& learning() {
  static auto params = LearningParams::create(LearningType::Unsupervised,
                                              {{"num_weights", 40},
                                               {"num_classes", 2},
                                               {"initial_plasticity", 0.5},
                                               {"min_plasticity", 0.1},
                                               {"plasticity_decay", 0.25}});
  return *params;
}

struct Edit {
  const char* what;
  std::function<void(Model&)> apply;
};

// Each edit changes the model's outputs; the kept state must see it.
const std::vector<Edit>& edits() {
  static const std::vector<Edit> table = {
      {"weights set to a new tensor",
       [](Model& m) {
         auto conv = m.get_layer("conv");
         auto old = conv->variables()->get("weights");
         auto copy = std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(old->data().data()),
                                                        old->data().size(), old->type(), old->shape()));
         copy->mutable_data()[5] = std::byte{7};
         conv->variables()->set("weights", copy);
       }},
      {"weights written in place",
       [](Model& m) { m.get_layer("conv")->variables()->get("weights")->mutable_data()[100] = std::byte{0xF9}; }},
      {"last weight of a depthwise layer written in place",
       [](Model& m) {
         auto w = m.get_layer("dw")->variables()->get("weights")->mutable_data();
         w[w.size() - 1] = std::byte{5};
       }},
      {"weights set to the same bytes as another element type",
       [](Model& m) {
         auto dense = m.get_layer("dense");
         auto old = dense->variables()->get("weights");
         dense->variables()->set("weights", std::shared_ptr<Dense>(Dense::copy(
                                                reinterpret_cast<const char*>(old->data().data()),
                                                old->data().size(), TensorType::uint8, old->shape())));
       }},
      {"output scales written in place",
       [](Model& m) { m.get_layer("dense")->variables()->get("output_scales")->mutable_data()[3] = std::byte{200}; }},
      {"shift set from its initial zeros",
       [](Model& m) {
         auto shift = m.get_layer("conv")->variables()->get("output_shift");
         std::vector<int8_t> v(shift->size(), -1);
         m.get_layer("conv")->variables()->set(
             "output_shift", std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(v.data()), v.size(),
                                                                shift->type(), shift->shape())));
       }},
      {"a fit",
       [](Model& m) {
         m.compile(learning());
         m.fit(input(9), {0, 1, 1, 0, 1, 0, 0, 1, 1}, 0);
       }},
      {"the last layer popped",
       [](Model& m) { m.pop_layer(); }},
      {"the last layer replaced by another of the same name and kind",
       [](Model& m) {
         m.pop_layer();
         m.add(make_layer(LayerType::Dense1D, {{"units", 6}, {"activation", 0}, {"output_bits", 32}}, "dense"), {});
         fill(*m.get_layer("dense"), "weights", 3);
       }},
  };
  return table;
}

TEST(RunState, ARunAfterAnEditGivesWhatAFreshRunGives) {
  ThreadCount threads("4");
  const auto x = input(16);
  for (const Edit& edit : edits()) {
    SCOPED_TRACE(edit.what);
    auto m = model(1);
    const Bytes before = kept(*m, x);
    ASSERT_EQ(before, fresh(*m, *x));
    edit.apply(*m);
    const Bytes after = kept(*m, x);
    EXPECT_EQ(after, fresh(*m, *x));
    EXPECT_NE(after, before);  // the edit shows, so a state that missed it would fail above
  }
}

TEST(RunState, ASecondCallReadsNoWeightsAndAnEditReadsOnlyWhatItTouched) {
  auto m = model(1);
  const auto x = input(8);
  const uint64_t first = software::weight_reads();
  const Bytes once = kept(*m, x);
  EXPECT_EQ(software::weight_reads() - first, 3u);
  const uint64_t second = software::weight_reads();
  EXPECT_EQ(kept(*m, x), once);
  EXPECT_EQ(software::weight_reads() - second, 0u);
  // The depthwise layer changes: it and the layers wired to it (which may read it) are made again.
  m->get_layer("dw")->variables()->get("weights")->mutable_data()[0] = std::byte{3};
  const uint64_t third = software::weight_reads();
  EXPECT_EQ(kept(*m, x), fresh(*m, *x));
  EXPECT_EQ(software::weight_reads() - third - 3u, 3u);  // the fresh run read 3
}

TEST(RunState, BatchSizesThreadCountsAndModesComeAndGo) {
  auto m = model(2);
  struct Call {
    const char* threads;
    uint32_t samples;
    software::Mode mode;
  };
  const std::vector<Call> calls = {
      {"8", 64, software::Mode::Forward}, {"1", 64, software::Mode::Forward}, {"3", 5, software::Mode::Predict},
      {"8", 1, software::Mode::Forward},  {"2", 64, software::Mode::Predict}, {"8", 64, software::Mode::Forward},
      {"8", 13, software::Mode::Forward},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(testing::Message() << c.threads << " threads, " << c.samples << " samples, mode "
                                    << int(c.mode));
    ThreadCount threads(c.threads);
    const auto x = input(c.samples);
    EXPECT_EQ(kept(*m, x, c.mode), fresh(*m, *x, c.mode));
  }
  // Every lane kept fits the layers: the same calls again read no weights.
  const uint64_t before = software::weight_reads();
  for (const Call& c : calls) {
    ThreadCount threads(c.threads);
    if (c.mode == software::Mode::Forward) kept(*m, input(c.samples), c.mode);
  }
  EXPECT_EQ(software::weight_reads() - before, 0u);
}

TEST(RunState, ModelsKeepStatesOfTheirOwnFreedWithThem) {
  ThreadCount threads("3");
  auto a = model(1);
  auto b = model(2);
  const auto x = input(12);
  const Bytes want_a = fresh(*a, *x), want_b = fresh(*b, *x);
  ASSERT_NE(want_a, want_b);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(kept(*a, x), want_a);
    EXPECT_EQ(kept(*b, x), want_b);
  }
  const uint64_t before = software::weight_reads();
  EXPECT_EQ(kept(*a, x), want_a);
  EXPECT_EQ(software::weight_reads() - before, 0u);
  // What the state held goes with the model.
  const std::weak_ptr<Layer> conv = a->get_layer("conv");
  a.reset();
  EXPECT_TRUE(conv.expired());
}

TEST(RunState, CallsFromTwoThreadsAtOnceDoNotShareAState) {
  ThreadCount threads("2");
  auto m = model(1);
  const auto x = input(6);
  const Bytes want = fresh(*m, *x);
  std::vector<int> wrong(2, 0);
  std::vector<std::thread> callers;
  for (int t = 0; t < 2; ++t)
    callers.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) wrong[size_t(t)] += kept(*m, x) != want;
    });
  for (auto& c : callers) c.join();
  EXPECT_THAT(wrong, testing::ElementsAre(0, 0));
}

TEST(RunState, ErrorsAreThoseOfAFreshRunAndLeaveNothingBehind) {
  auto m = model(1);
  const auto x = input(4);
  const Bytes want = kept(*m, x);
  // An input the first layer refuses.
  std::vector<float> halves(4 * 16 * 16 * 8, 0.5f);
  auto bad = std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(halves.data()), halves.size() * 4,
                                                TensorType::float32, Shape{4, 16, 16, 8}));
  EXPECT_EQ(message_of([&] { m->forward(bad, 0); }), message_of([&] { software::run(m->layers(), *bad, {}); }));
  EXPECT_EQ(message_of([&] { m->forward(bad, 0); }), "Input value 0.5 is not a 32-bit integer.");
  EXPECT_EQ(kept(*m, x), want);
  // A variable a runner refuses, then put back.
  auto conv = m->get_layer("conv");
  auto weights = conv->variables()->get("weights");
  auto floats = std::shared_ptr<Dense>(Dense::create(TensorType::float32, weights->shape()));
  conv->variables()->set("weights", floats);
  const std::string refused = message_of([&] { m->forward(x, 0); });
  EXPECT_THAT(refused, testing::HasSubstr("Layer 'conv'"));
  EXPECT_EQ(refused, message_of([&] { software::run(m->layers(), *x, {}); }));
  conv->variables()->set("weights", weights);
  EXPECT_EQ(kept(*m, x), want);
  // A failed call keeps nothing: the next one prepares every layer again.
  EXPECT_THROW(m->forward(bad, 0), std::invalid_argument);
  const uint64_t before = software::weight_reads();
  EXPECT_EQ(kept(*m, x), want);
  EXPECT_EQ(software::weight_reads() - before, 3u);
}

TEST(RunState, RunnersFollowTheListOfLayersTheyRun) {
  // Two dense layers of two models that read the same input, run in one order then the other on one
  // state: the last one gives the result.
  auto a = model(1);
  auto b = model(2);
  const auto x = input(3);
  const auto flat = std::shared_ptr<Dense>(Dense::create(TensorType::uint8, Shape{3, 16, 16, 32}));
  for (size_t i = 0; i < flat->size(); ++i) flat->mutable_data()[i] = std::byte(uint8_t(i % 5));
  const std::vector<std::shared_ptr<Layer>> ab{a->get_layer("dense"), b->get_layer("dense")};
  const std::vector<std::shared_ptr<Layer>> ba{ab[1], ab[0]};
  software::RunCache cache;
  software::RunCache::Lease lease(cache);
  for (const auto* list : {&ab, &ba, &ab}) {
    const Bytes want = bytes_of(*software::run(*list, *flat, software::Mode::Forward));
    EXPECT_EQ(bytes_of(*software::run(lease.part(0), *list, *flat, software::Mode::Forward)), want);
  }
  EXPECT_NE(bytes_of(*software::run(ab, *flat, software::Mode::Forward)),
            bytes_of(*software::run(ba, *flat, software::Mode::Forward)));
}

TEST(RunState, SoftwareSequencesKeepTheirStates) {
  auto m = model(1);
  const auto& l = m->layers();
  // Two software sequences: the input and convolution, then the rest.
  const std::vector<std::shared_ptr<Sequence>> sequences = {
      std::make_shared<test_support::SoftwareSequence>(std::vector<std::shared_ptr<Layer>>{l[0], l[1]}),
      std::make_shared<test_support::SoftwareSequence>(std::vector<std::shared_ptr<Layer>>{l[2], l[3]})};
  const auto x = input(8);
  software::RunCache cache;
  auto call = [&] {
    software::RunCache::Lease lease(cache);
    return bytes_of(*software::run_sequences(sequences, l, *x, software::Mode::Forward, {}, &lease));
  };
  const Bytes want = fresh(*m, *x);
  EXPECT_EQ(call(), want);
  const uint64_t before = software::weight_reads();
  EXPECT_EQ(call(), want);
  EXPECT_EQ(software::weight_reads() - before, 0u);
  m->get_layer("dense")->variables()->get("weights")->mutable_data()[1] = std::byte{2};
  EXPECT_EQ(call(), fresh(*m, *x));
}

}  // namespace
}  // namespace ovrix
