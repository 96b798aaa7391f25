#include "backends/v1/edition.h"

#include "backends/v1/compatibility_checker.h"
#include "backends/v1/io_recorder.h"
#include "backends/v1/layer_recorder.h"
#include "backends/v1/memory_sizer.h"
#include "mapping/edition_registry.h"

namespace ovrix::v1 {

void register_edition(EditionRegistry& registry) {
  registry.add(edition_of<CompatibilityCheckerImpl, MemorySizerImpl, IoRecorderImpl, LayerRecorderImpl>({
      .ip_version = IpVersion::v1,
      .product_ids = {0x00, 0xA1},
      .learning_product_ids = {0x00, 0xA1},
  }));
}

}  // namespace ovrix::v1
