#include "backends/lumo/edition.h"

#include "backends/lumo/lumo_backend.h"
#include "mapping/edition_registry.h"

namespace ovrix::lumo {

void register_edition(EditionRegistry& registry) {
  registry.add(edition_of<CompatibilityCheckerImpl, MemorySizerImpl, IoRecorderImpl, LayerRecorderImpl>({
      .ip_version = IpVersion::lumo,
      .product_ids = {0xB1},
      // The learnt variables of lumo devices are read back by the v2 edition's recorder.
      .learning_product_ids = {},
  }));
}

}  // namespace ovrix::lumo
