// The v2 input/output recorder and the layer recorder's dispatch.
#include "backends/v2/io_recorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/v2/layer_recorder.h"
#include "support/v2_fake_layer.h"
#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::Block;
using testing::blocks_of;
using testing::FakeDevice;
using testing::FakeGraph;
using testing::overflow_message;
using testing::v2_mesh;

class IoRecorderTest : public ::testing::Test {
 protected:
  IoRecorderTest() : device_(v2_mesh(1)), recorder_(device_) {}
  std::vector<Block> scc(bool a, bool e, const Shape& in, const Shape& out) {
    const auto record = recorder_.record_scc(a, true, true, true, e, in, out);
    EXPECT_EQ(record->hw_version(), hw_versions::Proteo_v2);
    return blocks_of(*record);
  }
  FakeDevice device_;
  IoRecorderImpl recorder_;
};

TEST_F(IoRecorderTest, SccBlocks) {
  const auto blocks = scc(false, true, Shape{32, 32, 3}, Shape{4, 4, 10});
  ASSERT_EQ(blocks.size(), 3u);
  const std::pair<uint16_t, uint32_t> expected[] = {{4, 0x00100019}, {64, 3}, {68, (10u << 20) | 40u}};
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(blocks[k].ident, hw::Ident(0, 0, 0, 0));
    EXPECT_EQ(blocks[k].target, dma::Target::RegisterWrites);
    EXPECT_EQ(blocks[k].parameter, expected[k].first);
    EXPECT_EQ(blocks[k].words, (std::vector<uint32_t>{expected[k].second}));
    EXPECT_EQ(blocks[k].track, 0u);
  }
  EXPECT_EQ(scc(true, false, Shape{1, 1, 1}, Shape{1, 1, 1000})[0].words[0], 0x18u);
}

TEST_F(IoRecorderTest, SccOutputWord) {
  EXPECT_EQ(scc(false, false, Shape{1, 1, 1}, Shape{1, 1, 5000})[2].words[0], 0u);
  EXPECT_EQ(scc(false, false, Shape{1, 1, 1}, Shape{2, 1, 2048})[2].words[0], 2048u);
  EXPECT_EQ(scc(false, false, Shape{1, 1, 1}, Shape{2, 1, 2047})[2].words[0], 0x7FF007FFu);
  EXPECT_THAT([&] { recorder_.record_scc(false, false, false, false, false, Shape{1, 1, 1}, Shape{2, 1024, 1024}); }, ThrowsMessage<std::runtime_error>(overflow_message(1048576, 20)));
  EXPECT_THAT([&] { recorder_.record_scc(false, false, false, false, false, Shape{1, 1, 262144}, Shape{1, 1, 1}); }, ThrowsMessage<std::runtime_error>(overflow_message(262144, 18)));
  EXPECT_EQ(scc(false, false, Shape{1, 1, 262143}, Shape{1, 1, 1})[1].words[0], 262143u);
}

TEST_F(IoRecorderTest, EpgWrites) {
  FakeGraph g;
  auto cnp = g.add("c", LayerType::Conv2D, hw::TargetKind::CNP);
  auto fnp = g.add("f", LayerType::Dense1D, hw::TargetKind::FNP);
  const auto plain = recorder_.record_epg(*cnp, 0x12, 0x34, 0x56, false, true, true);
  EXPECT_EQ(*plain, (std::vector<RegisterWrite>{{0, 0x00021200},
                                                {12, 16},
                                                {16, 0x34120001},
                                                {20, 0x5600},
                                                {24, 0x56FE0001},
                                                {28, 0x027FFFFF}}));
  EXPECT_EQ(recorder_.record_epg(*fnp, 0, 0, 0, true, false, false)->front(), (RegisterWrite{0, 0x00031202}));
  EXPECT_EQ(recorder_.get_input_type(*cnp), 0);
  EXPECT_EQ(recorder_.get_output_type(*fnp, 3), 0);
}

TEST(LayerRecorder, DispatchAndLearning) {
  FakeDevice device(v2_mesh(1));
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  const LayerRecorderImpl recorder(device, limits);
  FakeGraph g;
  for (LayerType type : {LayerType::InputData, LayerType::Add, LayerType::Concatenate, LayerType::Dequantizer,
                         LayerType::Quantizer}) {
    auto l = g.add("l", type, hw::TargetKind::None);
    const auto record = recorder.record_layer(*l, *l, nullptr, false, false, {}, false, false);
    EXPECT_TRUE(record->tracks().empty());
    EXPECT_EQ(record->fnp2_filters_track(), nullptr);
    EXPECT_EQ(record->hw_version(), hw_versions::Proteo_v2);
  }
  for (LayerType type : {LayerType::Unknown, LayerType::FullyConnected, LayerType::StatefulRecurrent,
                         LayerType::LumoPostProcessing}) {
    auto l = g.add("l", type, hw::TargetKind::None);
    EXPECT_THAT([&] { recorder.record_layer(*l, *l, nullptr, false, false, {}, false, false); }, ThrowsMessage<std::runtime_error>("Unsupported layer type: " + std::to_string(static_cast<int>(type)) + "."));
  }
  auto dense = g.add("d", LayerType::Dense1D, hw::TargetKind::FNP);
  // Layers that are not built and mapped cannot be recorded.
  EXPECT_THROW(recorder.record_layer(*dense, *dense, nullptr, false, false, {}, false, false), std::runtime_error);
  // A convolution that is not mapped cannot be recorded.
  auto conv = g.add("c", LayerType::Conv2D, hw::TargetKind::CNP);
  EXPECT_THROW(recorder.record_layer(*conv, *conv, nullptr, false, false, {}, false, false), std::runtime_error);

  EXPECT_THAT([&] { recorder.record_learning_layer(*dense, true); }, ThrowsMessage<std::runtime_error>("Learning not implemented on v2."));
  EXPECT_THAT([&] { recorder.sync_learning_vars(dense); }, ThrowsMessage<std::runtime_error>("Learning not implemented on v2."));
}

}  // namespace
}  // namespace ovrix::v2
