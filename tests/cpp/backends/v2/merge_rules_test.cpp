// The v2 rules of Add and Concatenate layers.
#include <gtest/gtest.h>

#include "backends/v2/rules.h"
#include "support/v2_fake_layer.h"
#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using testing::connect;
using testing::FakeGraph;
using testing::FakeLayer;
using testing::joined;
using testing::make_vector;

const char* const INPUT_SHIFT = "This model cannot be mapped in hardware, Add input shift is out of range. The maximum is 15.";
const char* const OUTPUT_SHIFT =
    "This model cannot be mapped in hardware, Add output shift is out of range. Should be in [-4, 3].";

// conv_a and conv_b -> merge -> conv_out, all 8-bit.
struct MergeGraph {
  FakeGraph g;
  std::shared_ptr<FakeLayer> a, b, merge, out;

  explicit MergeGraph(LayerType type) {
    a = g.add("a", LayerType::Conv2D, hw::TargetKind::CNP);
    b = g.add("b", LayerType::Conv2D, hw::TargetKind::CNP);
    merge = g.add("merge", type, hw::TargetKind::SkipDma);
    out = g.add("out", LayerType::Conv2D, hw::TargetKind::CNP);
    connect(a, merge);
    connect(b, merge);
    connect(merge, out);
  }
  void shifts(std::vector<uint8_t> as, std::vector<uint8_t> bs, std::vector<int8_t> os) {
    merge->set_variable("a_shift", make_vector<uint8_t>(TensorType::uint8, as));
    merge->set_variable("b_shift", make_vector<uint8_t>(TensorType::uint8, bs));
    merge->set_variable("output_shift", make_vector<int8_t>(TensorType::int8, os));
  }
};

void expect_failure(const MappingStatus& status, const std::string& message) {
  EXPECT_TRUE(status.failed);
  EXPECT_EQ(status.layer_name, "merge");
  EXPECT_EQ(status.message, message);
}

struct ShiftCase {
  uint8_t a, b;
  int8_t o;
  const char* message;  // null: passes
};

class AddShiftTest : public ::testing::TestWithParam<ShiftCase> {};

TEST_P(AddShiftTest, OneChannel) {
  const auto& c = GetParam();
  MergeGraph m(LayerType::Add);
  m.shifts({c.a}, {c.b}, {c.o});
  const MappingStatus status = check_add_constraints(*m.merge);
  if (c.message == nullptr)
    EXPECT_EQ(status, MappingStatus());
  else
    expect_failure(status, c.message);
}

INSTANTIATE_TEST_SUITE_P(Shifts, AddShiftTest,
                         ::testing::Values(ShiftCase{3, 0, 0, nullptr}, ShiftCase{3, 0, 1, OUTPUT_SHIFT},
                                           ShiftCase{0, 0, -4, nullptr}, ShiftCase{0, 0, -5, OUTPUT_SHIFT},
                                           ShiftCase{16, 0, -13, INPUT_SHIFT}, ShiftCase{0, 15, -12, nullptr},
                                           ShiftCase{0, 16, -16, INPUT_SHIFT}));

TEST(AddRules, EveryChannelAndRuleInOrder) {
  MergeGraph m(LayerType::Add);
  m.merge->out_bits = 16;
  m.shifts({20, 1, 0}, {0, 1, 0}, {0, 0, 4});
  m.b->target = hw::TargetKind::None;  // an input layer
  m.out->target = hw::TargetKind::FNP;
  expect_failure(check_add_constraints(*m.merge),
                 joined({"Output must be 8-bit.", INPUT_SHIFT, OUTPUT_SHIFT, OUTPUT_SHIFT,
                         "Must be followed by a merge layer.", "Inbounds must be of types Conv, Add or Concat."}));
}

TEST(AddRules, FollowersAndInbounds) {
  MergeGraph m(LayerType::Add);
  m.shifts({0}, {0}, {0});
  EXPECT_EQ(check_add_constraints(*m.merge), MappingStatus());
  m.out->target = hw::TargetKind::FNP;
  expect_failure(check_add_constraints(*m.merge), "Must be followed by a merge layer.");
  m.merge->out.clear();
  expect_failure(check_add_constraints(*m.merge), "Must be followed by a merge layer.");

  MergeGraph inputs(LayerType::Add);
  inputs.a->target = hw::TargetKind::None;
  inputs.b->target = hw::TargetKind::None;
  expect_failure(check_add_constraints(*inputs.merge), "Inbounds must be of types Conv, Add or Concat.");

  MergeGraph merges(LayerType::Add);
  merges.a->target = hw::TargetKind::SkipDma;
  EXPECT_EQ(check_add_constraints(*merges.merge), MappingStatus());
}

TEST(AddRules, SameInboundTwiceIsTheOnlyFailure) {
  MergeGraph m(LayerType::Add);
  m.merge->out_bits = 16;
  m.out->target = hw::TargetKind::FNP;
  m.merge->in = {m.a, m.a};
  expect_failure(check_add_constraints(*m.merge), "Add inbounds must come from different layers.");
}

TEST(AddRules, ShiftTensors) {
  MergeGraph m(LayerType::Add);
  EXPECT_EQ(check_add_constraints(*m.merge), MappingStatus());  // no shift variables: nothing to check
  m.shifts({0, 0}, {0}, {0, 0});
  EXPECT_THROW(check_add_constraints(*m.merge), std::runtime_error);  // b_shift shorter than a_shift
  m.merge->set_variable("a_shift", make_vector<int8_t>(TensorType::int8, {0}));
  EXPECT_THROW(check_add_constraints(*m.merge), std::runtime_error);  // wrong element type
}

TEST(ConcatenateRules, AllRules) {
  MergeGraph m(LayerType::Concatenate);
  EXPECT_EQ(check_concatenate_constraints(*m.merge), MappingStatus());
  m.out->target = hw::TargetKind::FNP;
  m.a->target = hw::TargetKind::None;
  m.b->target = hw::TargetKind::FNP;
  expect_failure(check_concatenate_constraints(*m.merge),
                 joined({"Must be followed by a merge layer.", "Inbounds must be of types Conv, Add or Concat."}));
  m.merge->in = {m.b, m.b};
  expect_failure(check_concatenate_constraints(*m.merge), "Concatenate inbounds must come from different layers.");

  MergeGraph merges(LayerType::Concatenate);
  merges.a->target = hw::TargetKind::SkipDma;  // another Concatenate or an Add
  EXPECT_EQ(check_concatenate_constraints(*merges.merge), MappingStatus());
}

}  // namespace
}  // namespace ovrix::v2
