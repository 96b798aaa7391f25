#include "engine/params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace ovrix {
namespace {

template <class F>
std::string invalid_message(F&& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<no std::invalid_argument>";
}

TEST(LayerParams, DefaultsFillMissingKeysAndKeysAreSorted) {
  auto p = LayerParams::create(LayerType::Conv2D, {{"filters", 16}});
  EXPECT_EQ(p->layer_type(), LayerType::Conv2D);
  EXPECT_EQ(p->keys(), (std::vector<std::string>{"activation", "filters", "kernel_size", "kernel_stride",
                                                  "output_bits", "padding", "pool_size", "pool_stride", "pool_type",
                                                  "weights_bits"}));
  EXPECT_EQ(p->get("kernel_size"), 3);
  EXPECT_EQ(p->get("padding"), 1);
  EXPECT_EQ(p->get("weights_bits"), 8);
  // The pooling stride follows the pooling size unless given.
  EXPECT_EQ(p->get("pool_stride"), 2);
  auto q = LayerParams::create(LayerType::Conv2D, {{"filters", 16}, {"pool_size", 3}});
  EXPECT_EQ(q->get("pool_stride"), 3);
  auto g = LayerParams::create(LayerType::Conv2D, {{"filters", 16}, {"pool_size", -1}, {"pool_type", 2}});
  EXPECT_EQ(g->get("pool_size"), -1);
  EXPECT_EQ(g->get("pool_stride"), 1);
}

TEST(LayerParams, KeySetsOfTheKindsPythonBuilds) {
  // The automatic input layer, the HRC check layer and the rebuilt last layer hold exactly these.
  auto in = LayerParams::create(LayerType::InputData, {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1},
                                                       {"input_bits", 8}, {"input_signed", 1}});
  EXPECT_EQ(in->keys().size(), 5u);
  auto hrc = LayerParams::create(
      LayerType::InputConvolutional,
      {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}, {"kernel_width", 3}, {"kernel_height", 3},
       {"padding", 1}, {"stride_x", 2}, {"stride_y", 2}, {"filters", 1}, {"weights_bits", 1}, {"padding_value", 0},
       {"activation", 1}, {"act_bits", 1}, {"pooling_width", 2}, {"pooling_height", 2}, {"pool_type", 1},
       {"pooling_stride_x", 2}, {"pooling_stride_y", 2}});
  EXPECT_FALSE(hrc->has("pool_size"));  // optional, absent unless given
  EXPECT_EQ(hrc->keys().size(), 18u);
  auto fc = LayerParams::create(LayerType::FullyConnected,
                                {{"units", 14}, {"weights_bits", 2}, {"activation", 0}, {"act_bits", 1}});
  EXPECT_EQ(fc->keys(), (std::vector<std::string>{"act_bits", "activation", "units", "weights_bits"}));
}

TEST(LayerParams, RefusalsNameKeyAndKind) {
  struct Row {
    LayerType type;
    std::map<std::string, int> values;
    const char* message;
  };
  const Row rows[] = {
      {LayerType::Conv2D, {{"filters", 4}, {"kernel_width", 3}},
       "Unknown parameter 'kernel_width' for layer type Conv2D."},
      {LayerType::Conv2D, {}, "Missing parameter 'filters' for layer type Conv2D."},
      {LayerType::Dense1D, {{"units", 0}}, "Parameter 'units' of layer type Dense1D must be at least 1 (got 0)."},
      {LayerType::Conv2D, {{"filters", 4}, {"padding", 3}},
       "Parameter 'padding' of layer type Conv2D must be 0 (Valid), 1 (Same) or 2 (SameUpper) (got 3)."},
      {LayerType::Conv2D, {{"filters", 4}, {"pool_size", 0}},
       "Parameter 'pool_size' of layer type Conv2D must be -1 (global) or 1 to 255 (got 0)."},
      {LayerType::Convolutional, {{"filters", 4}, {"pooling_stride_x", 0}},
       "Parameter 'pooling_stride_x' of layer type Convolutional must be negative (the pool size) or 1 to 255 (got 0)."},
      {LayerType::InputData, {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}, {"input_signed", 2}},
       "Parameter 'input_signed' of layer type InputData must be 0 or 1 (got 2)."},
      {LayerType::Unknown, {}, "Unsupported layer type 0."},
      {static_cast<LayerType>(7), {}, "Unsupported layer type 7."},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(invalid_message([&] { LayerParams::create(r.type, r.values); }), r.message);
  }
}

TEST(LayerParams, ValuesTheRulesCheckAreKept) {
  // Mapping checks must be able to see these: an unknown activation code, no state channel, a
  // subsample of 0, a negative v1 pooling stride.
  auto a = LayerParams::create(LayerType::Conv2D, {{"filters", 2}, {"activation", 7}});
  EXPECT_EQ(a->get("activation"), 7);
  auto s = LayerParams::create(LayerType::StatefulRecurrent,
                               {{"stateful_channels", 0}, {"output_channels", 4}, {"subsample", 0}});
  EXPECT_EQ(s->get("stateful_channels"), 0);
  EXPECT_EQ(s->get("subsample"), 0);
  auto v1 = LayerParams::create(LayerType::Convolutional, {{"filters", 2}, {"pooling_stride_x", -3}});
  EXPECT_EQ(v1->get("pooling_stride_x"), -3);
}

TEST(LayerParams, GetHasCloneAndAbsentKeys) {
  auto p = LayerParams::create(LayerType::Dense1D, {{"units", 10}});
  EXPECT_TRUE(p->has("units"));
  EXPECT_FALSE(p->has("kernel_size"));
  EXPECT_EQ(invalid_message([&] { p->get("kernel_size"); }), "Key kernel_size not found");
  auto c = LayerParams::clone(p.get());
  p.reset();
  EXPECT_EQ(c->get("units"), 10);
  EXPECT_EQ(c->layer_type(), LayerType::Dense1D);
  EXPECT_THROW(LayerParams::clone(nullptr), std::invalid_argument);
}

TEST(LearningParams, UnsupervisedDefaultsAndChecks) {
  auto l = LearningParams::create(LearningType::Unsupervised, {{"num_weights", 100}});
  EXPECT_EQ(l->keys(), (std::vector<std::string>{"initial_plasticity", "learning_competition", "min_plasticity",
                                                  "num_classes", "num_weights", "plasticity_decay"}));
  EXPECT_EQ(l->get("num_weights"), 100.0);
  EXPECT_EQ(l->get("num_classes"), 1.0);
  EXPECT_EQ(l->get("initial_plasticity"), 1.0);
  EXPECT_EQ(l->get("learning_competition"), 0.0);
  EXPECT_EQ(l->get("min_plasticity"), 0.10000000149011612);
  EXPECT_EQ(l->get("plasticity_decay"), 0.25);
  EXPECT_EQ(l->learning_type(), LearningType::Unsupervised);
  EXPECT_EQ(invalid_message([&] { l->get("rate"); }), "Key rate not found");

  auto c = LearningParams::clone(l.get());
  EXPECT_NE(c.get(), l.get());
  EXPECT_EQ(c->get("num_weights"), 100.0);

  EXPECT_EQ(invalid_message([] { LearningParams::create(LearningType::Unsupervised, {{"rate", 1}}); }),
            "Unknown learning parameter 'rate'.");
  EXPECT_EQ(invalid_message([] { LearningParams::create(LearningType::Unsupervised, {{"num_classes", 2.5}}); }),
            "Learning parameter 'num_classes' must be a whole number from 0 to 4294967295.");
  EXPECT_EQ(invalid_message([] { LearningParams::create(LearningType::Unsupervised, {{"plasticity_decay", std::nan("")}}); }),
            "Learning parameter 'plasticity_decay' must be finite.");
  EXPECT_THROW(LearningParams::create(static_cast<LearningType>(1), {}), std::invalid_argument);
  // A class count of 0 is kept so that callers can refuse it with their own message.
  EXPECT_EQ(LearningParams::create(LearningType::Unsupervised, {{"num_classes", 0}})->get("num_classes"), 0.0);
}

}  // namespace
}  // namespace ovrix
