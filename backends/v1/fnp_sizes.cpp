#include "backends/v1/fnp_sizes.h"

#include <stdexcept>
#include <string>

namespace ovrix::v1 {

namespace {

[[noreturn]] void not_available(const Layer& layer) {
  throw std::runtime_error("The v1 FNP sizes of layer '" + layer.name() + "' are not available in this build.");
}

}  // namespace

uint32_t get_fnp_sram_size(const Layer& layer) { not_available(layer); }

uint32_t get_fnp_input_size(const Layer& layer) { not_available(layer); }

}  // namespace ovrix::v1
