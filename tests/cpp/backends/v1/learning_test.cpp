// On-chip learning of a v1 dense layer against tables: the learning state in the neuron headers
// (tests/data/v1/learning_headers.txt) and the read-back of a learning memory copy
// (learning_readback.txt); then the three learning records of a mapped layer and what they refuse.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/v1/fnp_learning.h"
#include "backends/v1/fnp_registers.h"
#include "backends/v1/learning_registers.h"
#include "engine/variables.h"
#include "support/fakes.h"
#include "support/message_of.h"
#include "support/v1_fnp_layers.h"

namespace ovrix::v1 {
namespace {

using testing::Case;

TEST(V1LearningHeaders, Table) {
  for (const Case& c : testing::read_table("learning_headers.txt")) {
    SCOPED_TRACE(c.where());
    ASSERT_EQ(c.in.size(), 7u);
    const auto inputs = uint32_t(testing::num(c.in[0])), blocks = uint32_t(testing::num(c.in[1])),
               units = uint32_t(testing::num(c.in[2]));
    std::vector<uint32_t> ram(size_t{blocks} * ((inputs + 31) / 32 + 4), 0);
    const auto tl = testing::filled(TensorType::int32, Shape{units}, testing::values(c.in[5]));
    const auto ts = testing::filled(TensorType::int32, Shape{units}, testing::values(c.in[6]));
    auto run = [&] {
      format_fnp_learning_headers(&ram, inputs, units, uint32_t(testing::num(c.in[3])), uint32_t(testing::num(c.in[4])),
                                  *tl, *ts);
    };
    if (c.fails()) {
      EXPECT_EQ(test_support::message_of(run), c.error);
      continue;
    }
    run();
    EXPECT_EQ(testing::sparse_text(ram), Case::join(c.out));
  }
}

std::string learnt_text(const Variables& vars) {
  const auto w = vars.get("weights");
  const auto strides = w->strides();
  std::string s = "w=";
  bool first = true;
  for (uint32_t k = 0; k < w->shape()[0]; ++k)
    for (uint32_t i = 0; i < w->shape()[1]; ++i)
      if (const int v = w->data_as<int8_t>()[size_t{k} * strides[0] + size_t{i} * strides[1]]; v != 0) {
        s += (first ? "" : ",") + std::to_string(k) + "." + std::to_string(i) + (v == 1 ? "" : "=" + std::to_string(v));
        first = false;
      }
  for (const char* name : {"threshold_learning", "thswap"}) {
    const auto t = vars.get(name);
    s += std::string(" ") + (name[2] == 'r' ? "tl=" : "ts=");
    for (size_t k = 0; k < t->size(); ++k) s += (k ? "," : "") + std::to_string(t->data_as<int32_t>()[k]);
  }
  return s;
}

TEST(V1LearningReadBack, Table) {
  for (const Case& c : testing::read_table("learning_readback.txt")) {
    SCOPED_TRACE(c.where());
    const testing::Built built = testing::layer_of("dense", c.in.at(1), "units=" + c.in.at(2), "weights=1");
    auto vars = std::dynamic_pointer_cast<VariablesImpl>(built.layer->variables());
    ASSERT_TRUE(vars);
    const std::vector<uint32_t> memory = testing::sparse_words(c.in, 3);
    const auto before = vars->get("weights");
    auto run = [&] { decode_fnp_learning_memory(memory, vars.get(), c.in[0] == "fnp3"); };
    if (c.fails()) {
      EXPECT_EQ(test_support::message_of(run), c.error);
      EXPECT_EQ(vars->get("weights"), before);  // nothing replaced
      continue;
    }
    run();
    EXPECT_NE(vars->get("weights"), before);  // replaced, not edited: holders keep the old values
    EXPECT_EQ(before->data_as<int8_t>()[0], 1);
    EXPECT_EQ(learnt_text(*vars), Case::join(c.out));
  }
}

const test_support::FakeDevice& device() {
  static const test_support::FakeDevice d(HwVersion(0xBC, 0xA1, 3, 6),
                                          Mesh(IpVersion::v1, hw::Ident(), hw::Ident(1, 0, 0), std::nullopt, {}, {}));
  return d;
}

constexpr const char* kLearning =
    "in=1x1x40 ib=1 units=4 wb=1 act=1 ab=1 index=2 src=1.0.0 dst=3.0.0 w=1,0 t=5 step=1 "
    "learn=20,0.5,0.25,0.1,0.75";

TEST(V1LearningRecords, LearnThenInferRegistersThenTheMemoryWithItsHeaders) {
  const auto layers = testing::mapped_dense(testing::keys_of(testing::split(std::string(kLearning) + " np=FNP3/2.0.0")));
  const program::LearnRecordsPtr records = record_program_learning_dense_layer(device(), *layers.layer, false);
  ASSERT_TRUE(records.first && records.second && records.third);
  EXPECT_EQ(records.learning_value, 4u * (2 + 4));
  const auto regs = format_fnp_regs(device(), *layers.layer, true, nullptr, false, false).begin()->second;
  const auto& learn = records.first->tracks().at(0).words();
  const auto& infer = records.second->tracks().at(0).words();
  ASSERT_EQ(learn.size(), 52u);
  EXPECT_EQ(std::vector<uint32_t>(learn.begin() + 2, learn.end()), regs);
  EXPECT_EQ(read_field(std::vector<uint32_t>(learn.begin() + 2, learn.end()), W36_LEARNING_ENABLE), 1u);
  EXPECT_EQ(read_field(std::vector<uint32_t>(infer.begin() + 2, infer.end()), W36_LEARNING_ENABLE), 0u);
  const auto& memory = records.third->tracks().at(0).words();
  ASSERT_EQ(memory.size(), 2u + 24);
  EXPECT_EQ(memory[1] >> 28, 6u);
  EXPECT_EQ(memory[2 + 2], 20u);                // num_weights in header word 2
  EXPECT_EQ(memory[2 + 4], 0x55555555u);        // inputs 0, 2, 4, ... of neuron 0
  const auto fnp2 = testing::mapped_dense(testing::keys_of(testing::split(std::string(kLearning) + " np=FNP2/2.0.0")));
  const auto on_fnp2 = record_program_learning_dense_layer(device(), *fnp2.layer, false);
  EXPECT_TRUE(on_fnp2.third->tracks().empty());
  ASSERT_NE(on_fnp2.third->fnp2_filters_track(), nullptr);
  EXPECT_EQ(on_fnp2.third->fnp2_filters_track()->words.size(), 24u);
}

TEST(V1LearningRecords, RefuseLayersThatCannotLearn) {
  const auto plain = testing::mapped_dense(testing::keys_of(
      testing::split("in=1x1x40 ib=1 units=4 wb=1 index=2 src=1.0.0 dst=3.0.0 np=FNP3/2.0.0")));
  EXPECT_EQ(test_support::message_of([&] { record_program_learning_dense_layer(device(), *plain.layer, false); }),
            "Backend hardware(FullyConnected): layer 'dense' has no learning parameters.");
  const auto two_bits = testing::mapped_dense(testing::keys_of(testing::split(
      "in=1x1x40 ib=1 units=4 wb=2 index=2 src=1.0.0 dst=3.0.0 np=FNP3/2.0.0 learn=20,0.5,0.25,0.1,0.75")));
  EXPECT_EQ(test_support::message_of([&] { record_program_learning_dense_layer(device(), *two_bits.layer, false); }),
            "Backend hardware(FullyConnected): on-chip learning needs 1-bit weights. Receives weights_bits 2.");
}

}  // namespace
}  // namespace ovrix::v1
