#include "backends/v2/edition.h"

#include "backends/v2/compatibility_checker.h"
#include "backends/v2/fnp_padding.h"
#include "backends/v2/io_recorder.h"
#include "backends/v2/layer_recorder.h"
#include "backends/v2/memory_sizer.h"
#include "mapping/edition_registry.h"

namespace ovrix::v2 {

void register_edition(EditionRegistry& registry) {
  registry.add(edition_of<CompatibilityCheckerImpl, MemorySizerImpl, IoRecorderImpl, LayerRecorderImpl>({
      .ip_version = IpVersion::v2,
      .product_ids = {0xA2},
      // Lumo devices read their learnt variables back through the v2 layer recorder too, which
      // refuses: neither edition learns on chip.
      .learning_product_ids = {0xA2, 0xB1},
  }));
  // Whatever the device, the sequence build asks the v2 FNP input layout whether a CNP keeps the
  // lookup-table activation of the FNP it feeds.
  registry.set_fnp_input_padding_rule(
      [](const Layer& layer) -> uint32_t { return get_fnp_supported_padding(layer, false); });
}

}  // namespace ovrix::v2
