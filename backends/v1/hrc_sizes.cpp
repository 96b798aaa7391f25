#include "backends/v1/hrc_sizes.h"

#include <stdexcept>
#include <string>

namespace ovrix::v1 {

uint32_t get_hrc_sram_size(const Layer& layer) {
  throw std::runtime_error("The v1 HRC size of layer '" + layer.name() + "' is not available in this build.");
}

}  // namespace ovrix::v1
