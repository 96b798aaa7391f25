#include "mapping/edition_registry.h"

#include <gtest/gtest.h>

#include "backends/v2/compatibility_checker.h"
#include "backends/v2/io_recorder.h"
#include "backends/v2/layer_recorder.h"
#include "backends/v2/memory_sizer.h"
#include "engine/sequence.h"
#include "support/mapping_fakes.h"
#include "support/message_of.h"

namespace ovrix {
namespace {

using test_support::message_of;

Edition v2_edition(std::vector<uint8_t> products, std::vector<uint8_t> learning = {}) {
  return edition_of<v2::CompatibilityCheckerImpl, v2::MemorySizerImpl, v2::IoRecorderImpl, v2::LayerRecorderImpl>(
      {.ip_version = IpVersion::v2, .product_ids = std::move(products), .learning_product_ids = std::move(learning)});
}

TEST(EditionRegistry, FindsAnEditionByTheProductsItServes) {
  EditionRegistry registry;
  registry.add(v2_edition({0xA2}, {0xA2, 0xB1}));
  ASSERT_NE(registry.find(0xA2), nullptr);
  EXPECT_EQ(registry.find(0xA2)->name(), "v2");
  // Lumo devices are read back by the v2 recorder, but not mapped by it.
  EXPECT_EQ(registry.find(0xB1), nullptr);
  EXPECT_EQ(registry.find_learning(0xB1), registry.find(0xA2));
  EXPECT_EQ(registry.find_learning(0xA1), nullptr);

  // The factories make the edition's own implementations on the limits they are given.
  mapping_testing::FakeDevice device(hw_versions::Proteo_v2, Mesh(IpVersion::v2, {}, {}, std::nullopt, {}, {}));
  const HardwareConstraints limits{};
  const auto checker = registry.find(0xA2)->make_checker(device, limits);
  EXPECT_NE(dynamic_cast<v2::CompatibilityCheckerImpl*>(checker.get()), nullptr);
  EXPECT_EQ(&checker->constraints(), &limits);
  EXPECT_NE(dynamic_cast<v2::LayerRecorderImpl*>(registry.find(0xA2)->make_layer_recorder(device, limits).get()),
            nullptr);
}

TEST(EditionRegistry, RefusesWhatItCannotServe) {
  EditionRegistry registry;
  const auto logic_message = [&](Edition edition) {
    return message_of<std::logic_error>([&] { registry.add(std::move(edition)); });
  };
  EXPECT_EQ(logic_message(v2_edition({0xA1})), "Product 0xA1 is not a v2 product.");
  Edition incomplete = v2_edition({0xA2});
  incomplete.make_io_recorder = nullptr;
  EXPECT_EQ(logic_message(std::move(incomplete)), "The v2 edition registers without all four back-end factories.");
  EXPECT_TRUE(registry.editions().empty());

  registry.add(v2_edition({0xA2}, {0xB1}));
  EXPECT_EQ(logic_message(v2_edition({0xA2})), "The v2 edition is registered twice.");
  Edition lumo = v2_edition({0xB1}, {0xB1});
  lumo.ids.ip_version = IpVersion::lumo;
  EXPECT_EQ(logic_message(std::move(lumo)), "The learnt variables of product 0xB1 are read back by two editions.");
  EXPECT_EQ(registry.editions().size(), 1u);
}

TEST(EditionRegistry, FnpInputPaddingRuleIsAskedOnlyWhenSet) {
  EditionRegistry registry;
  mapping_testing::FakeLayer layer("d", LayerType::Dense1D);
  EXPECT_EQ(registry.fnp_input_padding(layer), 0u);
  registry.set_fnp_input_padding_rule([](const Layer&) -> uint32_t { return 2; });
  EXPECT_EQ(registry.fnp_input_padding(layer), 2u);
}

TEST(EditionRegistry, TheBuildRegistersItsEditionsAndTheHardwareBackend) {
  // Whatever OVRIX_EDITIONS holds: a registered edition is selected, another known one is refused by
  // name, an unknown product as unsupported.
  for (const uint8_t product : {0x00, 0xA1, 0xA2, 0xB1}) {
    const IpVersion version = HwVersion(0, product, 0, 0).get_ip_version();
    if (const Edition* edition = edition_registry().find(product)) {
      EXPECT_EQ(&require_edition(product), edition);
      EXPECT_EQ(edition->ids.ip_version, version);
    } else {
      EXPECT_EQ(message_of<std::runtime_error>([&] { require_edition(product); }),
                "The " + to_string(version) + " hardware back-end is not available in this build.");
    }
  }
  EXPECT_EQ(message_of<std::runtime_error>([] { require_edition(0xC7); }),
            "Unsupported IP version in IpVersionSpecificHardwareBackend.");
  EXPECT_FALSE(edition_registry().editions().empty());
  EXPECT_EQ(create_hardware_backend()->type(), BackendType::Hardware);
}

}  // namespace
}  // namespace ovrix
