#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/lumo/lumo_backend.h"
#include "backends/lumo/rules.h"
#include "engine/model.h"
#include "engine/variables.h"
#include "mapping/hardware_constraints.h"
#include "support/mapping_fakes.h"
#include "program/record.h"

namespace ovrix {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::ThrowsMessage;

// Only a runtime_error counts.

TEST(LumoEdition, FixedRefusalsAndEmptyInputOutput) {
  mapping_testing::FakeDevice device(hw_versions::Lumo_Proteo, Mesh(IpVersion::lumo, {}, {}, std::nullopt, {}, {}));
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::lumo, device.mesh());
  lumo::CompatibilityCheckerImpl checker(device, limits);
  const auto layer = mapping_testing::make_layer("rnn", LayerType::StatefulRecurrent);
  EXPECT_THAT([&] { checker.is_sram_input_fit_single_buffer(hw::Type::TNP_R, 1, 1, 1, 0, 8, 0); }, ThrowsMessage<std::runtime_error>("No single buffer mode on Lumo."));
  EXPECT_THAT([&] { checker.is_sram_input_fit_dual_buffer(hw::Type::TNP_R, 1, 1, 1, 0, 8, 0); }, ThrowsMessage<std::runtime_error>("No dual buffer mode on Lumo."));
  EXPECT_THAT([&] { checker.is_weights_size_fit_np(*layer, 1); }, ThrowsMessage<std::runtime_error>("No NP on Lumo."));
  EXPECT_THAT([&] { checker.np_split_params(hw::Type::TNP_R, *layer->params()); }, ThrowsMessage<std::runtime_error>("Cannot split TNP-R."));
  EXPECT_THAT([&] { checker.check_fnp3_sram_size(limits, *layer); }, ThrowsMessage<std::runtime_error>("No FNP3 on Lumo."));
  EXPECT_THAT([&] { checker.is_fnp3_compatible(*layer); }, ThrowsMessage<std::runtime_error>("No FNP3 on Lumo."));

  lumo::LayerRecorderImpl recorder(device, limits);
  EXPECT_THAT([&] { recorder.record_learning_layer(*layer, false); }, ThrowsMessage<std::runtime_error>("Learning not implemented on lumo."));
  EXPECT_THAT([&] { recorder.sync_learning_vars(layer); }, ThrowsMessage<std::runtime_error>("Learning not implemented on lumo."));

  lumo::IoRecorderImpl io(device);
  const auto scc = io.record_scc(true, false, true, false, true, Shape(), Shape());
  EXPECT_TRUE(scc->tracks().empty());
  EXPECT_EQ(scc->hw_version(), hw_versions::Lumo_Proteo);
  EXPECT_TRUE(io.record_epg(*layer, 1, 2, 3, true, true, true)->empty());
  EXPECT_EQ(io.get_input_type(*layer), 0);
  EXPECT_EQ(io.get_output_type(*layer, 3), 0);

  lumo::MemorySizerImpl sizer;
  const hw::Component tnp(hw::Type::TNP_R);
  EXPECT_EQ(sizer.get_input_memory_size(layer, tnp, layer), 0u);
  EXPECT_EQ(sizer.get_weight_memory_size(layer, tnp), 0u);
  EXPECT_EQ(sizer.get_external_memory_size(layer, tnp, true, true), 0u);
}

// input (1, 10, 8) -> r (StatefulRecurrent) -> post (LumoPostProcessing), engine layers whose variables
// are made on first read.
struct RecurrentModel {
  std::unique_ptr<Model> model = Model::create();
  std::shared_ptr<Layer> r, post;
  RecurrentModel(int states, int outputs, int channels = 8) {
    auto in = LayerParams::create(LayerType::InputData, {{"input_width", 1}, {"input_height", 10},
                                                         {"input_channels", channels}, {"input_bits", 8}});
    model->add(Layer::create(in.get(), "input"));
    auto rp = LayerParams::create(LayerType::StatefulRecurrent,
                                  {{"stateful_channels", states}, {"output_channels", outputs}});
    r = Layer::create(rp.get(), "r");
    model->add(r);
    auto pp = LayerParams::create(LayerType::LumoPostProcessing, {});
    post = Layer::create(pp.get(), "post");
    if (outputs == 1) model->add(post);
  }
  std::vector<std::string> made_variables() const {
    std::vector<std::string> made;
    for (const auto& layer : {r, post}) {
      const auto* vars = dynamic_cast<const VariablesImpl*>(layer->variables().get());
      for (const auto& name : vars->names())
        if (vars->stored(name)) made.push_back(layer->get_name() + "." + name);
    }
    return made;
  }
};

// A layer whose channel counts no rule admits is refused on its parameters: none of its per-channel
// variables (which, never set, would be made full of zeros on first read) is made, however large.
TEST(LumoRuleLimits, HugeChannelCountsAreRefusedWithoutMakingVariables) {
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::lumo, SramSize_lumo);
  for (const auto& [states, outputs, channels] : {std::tuple{1 << 27, 1, 8}, std::tuple{1 << 28, 1, 8},
                                                  std::tuple{512, 1, 8}, std::tuple{4, 1 << 27, 8},
                                                  std::tuple{4, 1, 1 << 20}}) {
    SCOPED_TRACE(testing::Message() << states << " " << outputs << " " << channels);
    RecurrentModel m(states, outputs, channels);
    const std::string text = lumo::check_tnp_r_constraints(limits, *m.r).to_string();
    if (states > 256) {
      EXPECT_THAT(text, HasSubstr("State channels exceeds max limit of 256 for TNP-R."));
    }
    if (outputs > 256) {
      EXPECT_THAT(text, HasSubstr("Output channels exceeds max limit of 256 for TNP-R."));
    }
    if (channels > 256) {
      EXPECT_THAT(text, HasSubstr("The maximum input channels for 8-bit input is 256 (got 1048576)."));
    }
    EXPECT_THAT(text, Not(HasSubstr("Variable")));
    EXPECT_THAT(m.made_variables(), ::testing::IsEmpty());
  }
  // Within the limits the variables are checked as before: unset ReLU maxima are refused.
  RecurrentModel fine(4, 1);
  const std::string text = lumo::check_tnp_r_constraints(limits, *fine.r).to_string();
  EXPECT_THAT(text, HasSubstr("When activation is ReLU, all max_value elements must be 127 (got 0 at index 0)."));
  EXPECT_THAT(fine.made_variables(), ::testing::Contains("r.max_value"));
}

}  // namespace
}  // namespace ovrix
