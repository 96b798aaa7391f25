#include "mapping/hardware_constraints.h"

#include "mapping/mesh.h"

namespace ovrix {

HardwareConstraints compute_hardware_constraints(IpVersion edition, const SramSize& sram) {
  HardwareConstraints c;
  const uint32_t in = sram.input_bytes;
  const uint32_t w = sram.weight_bytes;
  switch (edition) {
    case IpVersion::v1:
    case IpVersion::v2: {
      const bool v1 = edition == IpVersion::v1;
      // Unsigned 32-bit arithmetic throughout: products wrap before they are divided.
      c.fnp3_weight_limit = (w / 4u) * 48u / 50u;
      c.cnp_weight_limit = w * 8u / (v1 ? 50u : 100u);
      c.max_input_width = 4096;
      c.max_input_height = 4096;
      c.max_input_channels = 2048;
      c.max_filters = 2048;
      c.cnp_max_width = v1 ? 32 : 64;
      c.cnp_max_height = 256;
      c.cnp_max_channels = v1 ? 2048 : 1536;
      c.cnp_max_filters = 512;
      c.cnp_max_filters_quor_v2 = v1 ? 504 : 0;
      c.sram_input_dual_buffer = in / 8u;
      c.sram_input_single_buffer = in / 4u;
      c.fnp_input_max_bytes = in / 4u;
      c.input_shift_max_24b_words = v1 ? 0 : 256;
      break;
    }
    case IpVersion::lumo:
      c.stsram_32b_size = sram.stsram_32b_size;
      c.fsram_64b_size = sram.fsram_64b_size;
      c.tsram_51b_size = sram.tsram_51b_size;
      c.evsram_32b_size = sram.evsram_32b_size;
      break;
    default: break;
  }
  return c;
}

HardwareConstraints compute_hardware_constraints(IpVersion edition, const Mesh& mesh) {
  return compute_hardware_constraints(edition, mesh.np_sram_size);
}

}  // namespace ovrix
