#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/lumo/lumo_backend.h"
#include "support/mapping_fakes.h"
#include "program/record.h"

namespace ovrix {
namespace {

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
  EXPECT_THAT([&] { checker.np_split_params(hw::Type::TNP_R, *layer->parameters()); }, ThrowsMessage<std::runtime_error>("Cannot split TNP-R."));
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

}  // namespace
}  // namespace ovrix
