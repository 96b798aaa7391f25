#include "engine/model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "support/engine_util.h"

namespace ovrix {
namespace {

using ::testing::ThrowsMessage;

using test::input_data;
using test::make_layer;


std::shared_ptr<Layer> conv(const std::string& name, int filters = 4) {
  return make_layer(LayerType::Conv2D, {{"filters", filters}}, name);
}

TEST(Model, AddWiresToTheLastLayerAndKeepsOutboundOrder) {
  auto model = Model::create();
  EXPECT_EQ(model->layer_count(), 0u);
  EXPECT_EQ(model->input_shape().count, 0u);
  auto in = input_data(16, 12, 3);
  auto a = conv("a"), b = conv("b"), c = conv("c");
  model->add(in);
  model->add(a);
  model->add(b, {in});
  model->add(c);  // wired to b, the last one added
  ASSERT_EQ(a->inbound_layers().size(), 1u);
  EXPECT_EQ(a->inbound_layers()[0], in);
  EXPECT_EQ(c->inbound_layers()[0], b);
  ASSERT_EQ(in->outbound_layers().size(), 2u);
  EXPECT_EQ(in->outbound_layers()[0], a);
  EXPECT_EQ(in->outbound_layers()[1], b);
  EXPECT_TRUE(c->outbound_layers().empty());

  EXPECT_EQ(model->layer_count(), 4u);
  EXPECT_EQ(model->get_layer(1), a);
  EXPECT_EQ(model->get_layer(4), nullptr);
  EXPECT_EQ(model->get_layer(UINT64_MAX), nullptr);
  EXPECT_EQ(model->get_layer("b"), b);
  EXPECT_EQ(model->get_layer("zz"), nullptr);
  EXPECT_TRUE((model->input_shape() == Shape{16, 12, 3}));
  EXPECT_TRUE((model->output_shape() == Shape{16, 12, 4}));
  EXPECT_EQ(model->macs(), a->macs() + b->macs() + c->macs());
  EXPECT_EQ(model->ip_version(), IpVersion::v2);
  EXPECT_TRUE(model->sequences().empty());
  EXPECT_EQ(model->device(), nullptr);
}

TEST(Model, AddRefusals) {
  auto model = Model::create();
  auto in = input_data(8, 8, 1);
  EXPECT_THAT([&] { model->add(conv("a")); }, ThrowsMessage<std::invalid_argument>("The first layer of a model must be an input layer (InputData or InputConvolutional), not the Conv2D "
            "layer a."));
  model->add(in);
  EXPECT_THAT([&] { model->add(nullptr); }, ThrowsMessage<std::invalid_argument>("Cannot add a null layer to a model."));
  EXPECT_THAT([&] { model->add(in); }, ThrowsMessage<std::invalid_argument>("Layer input is already in the model."));
  EXPECT_THAT([&] { model->add(conv("input")); }, ThrowsMessage<std::invalid_argument>("The model already has a layer named input."));
  auto outside = conv("outside");
  EXPECT_THAT([&] { model->add(conv("x"), {outside}); }, ThrowsMessage<std::invalid_argument>("Inbound layer outside of x is not in the model."));
  EXPECT_THAT([&] { model->add(conv("x"), {nullptr}); }, ThrowsMessage<std::invalid_argument>("The inbound layers of x cannot be null."));
  EXPECT_THAT([&] { model->add(input_data(2, 2, 1, 8, 0, "in2"), {in}); }, ThrowsMessage<std::invalid_argument>("Input layer in2 takes no inbound layer."));
  auto a = conv("a");
  model->add(a);
  EXPECT_THAT([&] { model->add(conv("two"), {in, a}); }, ThrowsMessage<std::invalid_argument>("Conv2D layer two takes one input, not 2."));
  EXPECT_THAT([&] { model->add(make_layer(LayerType::Add, {}, "sum"), {in, a}); },
              ThrowsMessage<std::invalid_argument>("Layer sum: cannot add inputs of different shapes (8 x 8 x 1 and 8 x 8 x 4)."));
  auto other = Model::create();
  other->add(input_data(8, 8, 1, 8, 0, "other_in"));
  EXPECT_THAT([&] { other->add(a); }, ThrowsMessage<std::invalid_argument>("Layer a already belongs to another model."));
  // Nothing of the refused calls stayed.
  EXPECT_EQ(model->layer_count(), 2u);
  EXPECT_EQ(in->outbound_layers().size(), 1u);
}

TEST(Model, PopLayerUnwiresTheLastLayer) {
  auto model = Model::create();
  auto in = input_data(8, 8, 1);
  auto a = conv("a");
  model->add(in);
  model->add(a);
  model->pop_layer();
  EXPECT_EQ(model->layer_count(), 1u);
  EXPECT_TRUE(in->outbound_layers().empty());
  EXPECT_TRUE(a->inbound_layers().empty());
  // A popped layer can be added again, here or elsewhere.
  model->add(a);
  EXPECT_EQ(model->get_layer(1), a);
  model->pop_layer();
  model->pop_layer();
  EXPECT_THAT([&] { model->pop_layer(); }, ThrowsMessage<std::runtime_error>("Cannot remove a layer from an empty model."));
}

TEST(Model, CompileGivesTheLastLayerItsLearning) {
  auto model = Model::create();
  EXPECT_THROW(model->compile(*LearningParams::create(LearningType::Unsupervised, {})), std::runtime_error);
  model->add(input_data(4, 4, 1, 1));
  auto fc = make_layer(LayerType::FullyConnected, {{"units", 10}}, "fc");
  model->add(fc);
  EXPECT_EQ(model->learning(), nullptr);
  EXPECT_FALSE(fc->is_learning());
  auto params = LearningParams::create(LearningType::Unsupervised, {{"num_weights", 16}, {"num_classes", 5}});
  model->compile(*params);
  auto learning = model->learning();
  ASSERT_NE(learning, nullptr);
  EXPECT_NE(learning, params);  // a copy
  EXPECT_EQ(learning->get("num_classes"), 5.0);
  EXPECT_TRUE(fc->is_learning());
  EXPECT_EQ(fc->learning_params(), learning);
  auto* as_fc = dynamic_cast<FullyConnected*>(fc.get());
  ASSERT_NE(as_fc, nullptr);
  EXPECT_EQ(as_fc->learning(), learning);
  EXPECT_TRUE(as_fc->can_learn());

  // Only the last layer learns: adding another layer ends it.
  auto next = make_layer(LayerType::FullyConnected, {{"units", 2}}, "next");
  model->add(next);
  EXPECT_FALSE(fc->is_learning());
  EXPECT_EQ(model->learning(), nullptr);
  model->pop_layer();
  EXPECT_EQ(model->learning(), nullptr);
  // The learning parameters handed out stay valid.
  EXPECT_EQ(learning->get("num_weights"), 16.0);
}

TEST(Model, LayersOutliveTheirModelWithTheirInbounds) {
  std::shared_ptr<Layer> in, a, b;
  {
    auto model = Model::create();
    in = input_data(8, 8, 1);
    a = conv("a");
    b = conv("b");
    model->add(in);
    model->add(a);
    model->add(b, {in});
    model->compile(*LearningParams::create(LearningType::Unsupervised, {{"num_weights", 1}}));
  }
  // The outbound links went with the model (no cycle is left), the inbound links and learning stay so
  // that a new model can be built from these layers.
  EXPECT_TRUE(in->outbound_layers().empty());
  ASSERT_EQ(b->inbound_layers().size(), 1u);
  EXPECT_EQ(b->inbound_layers()[0], in);
  EXPECT_TRUE(b->is_learning());
  auto model = Model::create();
  model->add(in);
  model->add(b);
  EXPECT_EQ(in->outbound_layers().size(), 1u);
  EXPECT_FALSE(b->is_learning());  // not compiled in this model
}

TEST(Model, MappingSlotIsShared) {
  struct Probe : Layer::Mapping {};
  auto model = Model::create();
  auto in = input_data(4, 4, 1);
  model->add(in);
  auto* impl = dynamic_cast<LayerImpl*>(in.get());
  ASSERT_NE(impl, nullptr);
  auto mapping = std::make_shared<Probe>();
  impl->set_mapping(mapping);
  EXPECT_EQ(in->mapping(), mapping);
  // Changing the model drops what mapping left.
  model->add(conv("a"));
  EXPECT_EQ(in->mapping(), nullptr);
  impl->set_mapping(mapping);
  impl->set_mapping(nullptr);
  EXPECT_EQ(in->mapping(), nullptr);
}

TEST(Model, LayerCallsAnswerUnderBothNames) {
  struct Probe : Layer::Mapping {};
  auto model = Model::create();
  auto in = input_data(6, 5, 2);
  auto a = make_layer(LayerType::Conv2D, {{"filters", 3}, {"activation", 1}}, "a");
  auto b = make_layer(LayerType::Conv2D, {{"filters", 4}, {"activation", 0}}, "b");
  model->add(in);
  model->add(a);
  model->add(b);
  dynamic_cast<LayerImpl&>(*a).set_mapping(std::make_shared<Probe>());
  for (const auto& layer : {in, a, b}) {
    const Layer& l = *layer;  // every spelling is a const call
    EXPECT_EQ(l.name(), l.get_name());
    EXPECT_EQ(&l.inbounds(), &l.inbound_layers());
    EXPECT_EQ(&l.outbounds(), &l.outbound_layers());
    EXPECT_EQ(l.parameters(), l.params());
    EXPECT_EQ(l.mapping_ptr(), l.mapping());
    EXPECT_EQ(l.has_activation(), l.activation_enabled());
    const std::vector<Shape> inputs = l.input_dims();
    ASSERT_EQ(inputs.size(), l.input_dimensions().size());
    for (size_t i = 0; i < inputs.size(); ++i) EXPECT_TRUE(inputs[i] == l.input_dimensions()[i]);
    EXPECT_TRUE(l.output_dims() == l.output_dimensions());
  }
  EXPECT_EQ(a->name(), "a");
  EXPECT_NE(a->mapping_ptr(), nullptr);
  EXPECT_TRUE(a->has_activation());
  EXPECT_FALSE(b->has_activation());
  EXPECT_TRUE((b->input_dims().front() == Shape{6, 5, 3}));
}

}  // namespace
}  // namespace ovrix
