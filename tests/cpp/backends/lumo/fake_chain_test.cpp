// Chains the engine cannot build: channel counts whose SRAM sums pass 32 bits, a post-processing
// layer without a threshold, tensors that do not match the channel counts. A small layer double answers only what the lumo code reads.
#include <gtest/gtest.h>

#include <limits>

#include "backends/lumo/rules.h"
#include "backends/lumo/sram_sizes.h"
#include "mapping/hardware_constraints.h"
#include "support/fakes.h"

namespace ovrix::lumo_test {
namespace {

using test_support::FakeParams;
using test_support::FakeVariables;

class Fake : public LayerImpl {
 public:
  Fake(std::string name, LayerType type, std::map<std::string, int> keys, Shape input)
      : name_(std::move(name)), fake_params(type, std::move(keys)), input(input) {}
  std::string get_name() const override { return name_; }
  std::vector<Shape> input_dimensions() const override { return {input}; }
  Shape output_dimensions() const override { return output; }
  uint8_t input_bits() const override { return 8; }
  uint8_t output_bits() const override { return 8; }
  bool output_signed() const override { return true; }
  IpVersion ip_version() const override { return IpVersion::lumo; }
  bool is_target_component(hw::TargetKind kind) const override { return kind == test_support::target_of(fake_params.layer_type()); }
  bool splittable() const override { return false; }
  bool is_input_layer() const override { return false; }
  const LayerParams* params() const override { return &fake_params; }
  std::shared_ptr<LearningParams> learning_params() const override { return nullptr; }
  bool is_learning() const override { return false; }
  std::shared_ptr<Variables> variables() const override { return vars; }
  bool activation_enabled() const override { return false; }
  bool has_activation_type(ActivationType) const override { return false; }
  bool has_pool_type(PoolType) const override { return false; }
  const std::vector<std::shared_ptr<Layer>>& inbound_layers() const override { return in; }
  const std::vector<std::shared_ptr<Layer>>& outbound_layers() const override { return out; }
  uint64_t macs() const override { return 0; }
  ActivationType activation() const override { return ActivationType::NoActivation; }
  bool output_flag() const override { return false; }
  bool channels_follow_neurons() const override { return false; }

  std::string name_;
  FakeParams fake_params;
  Shape input, output{1, 1, 1};
  std::shared_ptr<FakeVariables> vars = std::make_shared<FakeVariables>();
  std::vector<std::shared_ptr<Layer>> in, out;
};

// Links layers one after the other; the links (a cycle of shared pointers) go when the chain does.
struct Links {
  std::vector<std::shared_ptr<Fake>> layers;
  void add(const std::shared_ptr<Fake>& a, const std::shared_ptr<Fake>& b) {
    a->out.push_back(b);
    b->in.push_back(a);
    layers.insert(layers.end(), {a, b});
  }
  ~Links() {
    for (const auto& l : layers) {
      l->in.clear();
      l->out.clear();
    }
  }
};

TEST(LumoSizes, SumsPastThirtyTwoBitsSaturateAndFailTheirLimit) {
  constexpr int big = std::numeric_limits<int32_t>::max();
  auto head = std::make_shared<Fake>("r1", LayerType::StatefulRecurrent,
                                     std::map<std::string, int>{{"stateful_channels", big}, {"output_channels", big}},
                                     Shape{1, 10, 16});
  Links links;
  std::shared_ptr<Fake> last = head;
  for (const char* name : {"r2", "r3"}) {
    auto next = std::make_shared<Fake>(name, LayerType::StatefulRecurrent,
                                       std::map<std::string, int>{{"stateful_channels", big}, {"output_channels", big}},
                                       Shape{1, 10, 16});
    links.add(last, next);
    last = next;
  }
  // 6 x (2^31 - 1) + 6 TSRAM words and 3 x (2^31 - 1) STSRAM words do not fit 32 bits.
  EXPECT_EQ(lumo::get_tnpr_tsram_51b_size(*head), std::numeric_limits<uint32_t>::max());
  EXPECT_EQ(lumo::get_tnpr_stsram_32b_size(*head), std::numeric_limits<uint32_t>::max());
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::lumo, SramSize_lumo);
  const std::string text = lumo::check_tnp_r_constraints(limits, *head).to_string();
  EXPECT_NE(text.find("STSRAM size exceeds max limit of 448 32-bit words for TNP-R (got 4294967295)."),
            std::string::npos) << text;
  EXPECT_NE(text.find("TSRAM size exceeds max limit of 892 51-bit words for TNP-R (got 4294967295)."),
            std::string::npos) << text;
}

TEST(LumoRules, APostProcessingLayerWithoutThresholdIsRefused) {
  auto head = std::make_shared<Fake>("r1", LayerType::StatefulRecurrent, std::map<std::string, int>{},
                                     Shape{1, 10, 16});
  auto post = std::make_shared<Fake>("post", LayerType::LumoPostProcessing, std::map<std::string, int>{},
                                     Shape{1, 10, 1});
  Links links;
  links.add(head, post);
  const MappingStatus status = lumo::check_post_processing_layer(*post);
  EXPECT_EQ(status.to_string(), "Cannot map layer 'post'. LumoPostProcessing layer needs a threshold value.");
}

TEST(LumoRules, CompanionTensorsMustFitTheChannelCounts) {
  auto head = std::make_shared<Fake>("r1", LayerType::StatefulRecurrent,
                                     std::map<std::string, int>{{"stateful_channels", 4}, {"output_channels", 2},
                                                                {"subsample", 1}},
                                     Shape{1, 10, 8});
  head->vars->tensors["in_proj"] = Dense::create(TensorType::int8, Shape{4, 7});
  head->vars->tensors["A_real"] = Dense::create(TensorType::int16, Shape{3});
  head->vars->tensors["bias"] = Dense::create(TensorType::int8, Shape{2});
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::lumo, SramSize_lumo);
  EXPECT_EQ(lumo::check_tnp_r_constraints(limits, *head).to_string(),
            "Cannot map layer 'r1'. Variable in_proj must have the shape (4, 8). Variable A_real must hold 4 values "
            "(got 3).");
}

}  // namespace
}  // namespace ovrix::lumo_test
