// The lumo edition's four back-end classes on engine layers: checks by layer kind, sizes, and that a
// chain is recorded once, by its head.
#include <gtest/gtest.h>

#include "backends/lumo/lumo_backend.h"
#include "backends/lumo/sram_sizes.h"
#include "support/lumo_chain_tables.h"
#include "mapping/hardware_constraints.h"
#include "mapping/layer_mapping.h"
#include "program/record.h"
#include "support/fakes.h"
#include "support/message_of.h"

namespace ovrix::lumo_test {
namespace {

using test_support::message_of;

class LumoClasses : public ::testing::Test {
 protected:
  test_support::FakeDevice device{hw_versions::Lumo_Proteo,
                                  Mesh(IpVersion::lumo, hw::Ident(), hw::Ident(), std::nullopt,
                                       {np::Info(hw::Ident(), {hw::Type::TNP_R}, false)}, {})};
  HardwareConstraints limits = compute_hardware_constraints(IpVersion::lumo, SramSize_lumo);
  lumo::CompatibilityCheckerImpl checker{device, limits};
  lumo::MemorySizerImpl sizer;
  lumo::LayerRecorderImpl recorder{device, limits};
  Chain chain = build_chain("input 1 100 16 8 ; sr 64 32 ; sr 64 1 ; post");

  std::unique_ptr<program::Record> record(const std::string& name) {
    auto layer = chain.layer(name);
    return recorder.record_layer(*layer, *layer, nullptr, false, false, {}, false, false);
  }
};

TEST_F(LumoClasses, ChecksByLayerKind) {
  const std::vector<std::shared_ptr<Layer>> none;
  EXPECT_FALSE(checker.check_layer_compatibility(*chain.layer("input"), nullptr, device.version()).failed);
  EXPECT_FALSE(checker.check_layer_compatibility(*chain.layer("r1"), nullptr, device.version()).failed);
  EXPECT_EQ(checker.check_layer_sequence(none.begin(), none.end(), device.version()).message, "Success.");
  EXPECT_EQ(checker.check_layer_mappings(*chain.layer("r1"), {}, true).message, "Success.");
  const Chain v2 = build_chain("input 4 4 1 8 ; dense 4");
  EXPECT_EQ(checker.check_layer_compatibility(*v2.layer("dense"), nullptr, device.version()),
            MappingStatus("dense", "Unsupported layer type on Lumo."));
}

TEST_F(LumoClasses, MemoryInfoHoldsTheChainSizes) {
  const auto r1 = chain.layer("r1");
  const MemoryInfo info = sizer.get_memory_info(r1, hw::Component(hw::Type::TNP_R), r1, false, false);
  EXPECT_EQ(info.input_size, 0u);
  EXPECT_EQ(info.weight_size, 0u);
  EXPECT_EQ(info.external_size, 0u);
  EXPECT_EQ(info.stsram_32b_size, lumo::get_tnpr_stsram_32b_size(*r1));
  EXPECT_EQ(info.fsram_64b_size, lumo::get_tnpr_fsram_64b_size(*r1));
  EXPECT_EQ(info.tsram_51b_size, lumo::get_tnpr_tsram_51b_size(*r1));
  EXPECT_EQ(info.evsram_32b_size, lumo::get_tnpr_evsram_32b_size(*r1));
}

TEST_F(LumoClasses, AChainIsRecordedOnceByItsHead) {
  auto mapping = std::make_shared<LayerMapping>();
  mapping->nps->emplace_back(hw::Type::TNP_R);
  dynamic_cast<LayerImpl&>(*chain.layer("r1")).set_mapping(mapping);
  EXPECT_TRUE(record("input")->tracks().empty());
  const auto head = record("r1");
  ASSERT_EQ(head->tracks().size(), 3u);
  EXPECT_EQ(head->hw_version(), hw_versions::Lumo_Proteo);
  // The second layer belongs to the head's record: it records nothing of its own.
  EXPECT_TRUE(record("r2")->tracks().empty());
  EXPECT_EQ(message_of<std::runtime_error>([&] { record("post"); }), "Unsupported layer type on lumo: 28.");
  const Chain v2 = build_chain("input 4 4 1 8 ; dense 4");
  EXPECT_EQ(message_of<std::runtime_error>([&] {
              recorder.record_layer(*v2.layer("dense"), *v2.layer("dense"), nullptr, false, false, {}, false, false);
            }),
            "Unsupported layer type on lumo: 25.");
}

TEST_F(LumoClasses, RecordingNeedsThePlacedHead) {
  EXPECT_EQ(message_of<std::runtime_error>([&] { record("r1"); }), "Layer 'r1' is not mapped.");
  dynamic_cast<LayerImpl&>(*chain.layer("r1")).set_mapping(std::make_shared<LayerMapping>());
  EXPECT_THROW(record("r1"), std::out_of_range);
}

}  // namespace
}  // namespace ovrix::lumo_test
