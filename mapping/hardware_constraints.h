#pragma once
// Numeric limits of a device, derived from its edition and its mesh's SRAM sizes. The edition back-ends
// read them in their checks and recorders.
#include <cstdint>

#include "mapping/hw_description.h"
#include "mapping/hw_version.h"

namespace ovrix {

class Mesh;

struct HardwareConstraints {
  uint32_t fnp3_weight_limit = 0;         // FNP3 weight budget in 32-bit words
  uint32_t cnp_weight_limit = 0;          // CNP weight capacity
  uint32_t max_input_width = 0;
  uint32_t max_input_height = 0;
  uint32_t max_input_channels = 0;
  uint32_t max_filters = 0;
  uint32_t cnp_max_width = 0;
  uint32_t cnp_max_height = 0;
  uint32_t cnp_max_channels = 0;
  uint32_t cnp_max_filters = 0;
  uint32_t cnp_max_filters_quor_v2 = 0;
  uint32_t sram_input_dual_buffer = 0;    // input SRAM words with two input buffers
  uint32_t sram_input_single_buffer = 0;  // input SRAM words with one input buffer
  uint32_t fnp_input_max_bytes = 0;       // input SRAM bytes / 4
  uint32_t input_shift_max_24b_words = 0;
  uint32_t stsram_32b_size = 0;
  uint32_t fsram_64b_size = 0;
  uint32_t tsram_51b_size = 0;
  uint32_t evsram_32b_size = 0;

  friend bool operator==(const HardwareConstraints&, const HardwareConstraints&) = default;
};

// The limits of an edition for a mesh with these SRAM sizes. Arithmetic is unsigned 32-bit, products
// wrap before they are divided. An edition other than v1, v2 or lumo gives all zero limits.
HardwareConstraints compute_hardware_constraints(IpVersion edition, const SramSize& sram);
// The same from a mesh, for the edition of the device that owns it.
HardwareConstraints compute_hardware_constraints(IpVersion edition, const Mesh& mesh);

}  // namespace ovrix
