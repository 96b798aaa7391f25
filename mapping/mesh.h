#pragma once
// The NP layout of a device and its discovery from the device's mesh information registers.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "mapping/hw_description.h"
#include "mapping/hw_types.h"
#include "mapping/hw_version.h"
#include "mapping/mesh_info_registers.h"

namespace ovrix {

class HardwareDevice;

// Decoded mesh information words: what the NP scan needs to know about the node grid.
struct MeshInfo {
  uint8_t rows = 0;
  uint8_t columns = 0;
  uint8_t nps_per_node = 0;
  bool dma_node_only = false;
  uint8_t dma_row = 0;
  uint8_t dma_col = 0;
  uint8_t dma_event_id = 0;
  uint8_t dma_conf_id = 0;
  uint8_t first_col_row1 = 0;  // 0 counts as 1
  uint8_t first_col_row2 = 0;  // 0 counts as 1
  uint8_t extra_row = 0;       // node scanned whatever the edge rules say
  uint8_t extra_col = 0;
  uint8_t last_col = 0;        // last column present in the last row
  uint8_t skip_dma_channels = 0;
  uint16_t skip_dma_mask = 0;
  bool has_hrc = true;
  bool hrc_has_lut = false;
  uint32_t stsram_32b_size = 0;
  uint32_t fsram_64b_size = 0;
  uint32_t tsram_51b_size = 0;
  uint32_t evsram_32b_size = 0;
  uint32_t input_bytes = 0;
  uint32_t weight_bytes = 0;
  std::optional<np::Info> hrc;
};

class Mesh {
 public:
  // Sets np_sram_size to the edition's standard row; a version other than v1, v2 or lumo is refused
  // with "The mesh should have a valid IP version." (std::runtime_error).
  Mesh(IpVersion version, hw::Ident dma_event, hw::Ident dma_conf, std::optional<np::Info> hrc,
       std::vector<np::Info> nps, std::vector<np::Info> skip_dmas);

  // Builds the mesh of a device from its mesh information registers and NP capability words.
  static std::unique_ptr<Mesh> discover(HardwareDevice* device);

  bool has_hrc() const { return hrc.has_value(); }
  // False when an HRC is present without lookup table; else true when every NP has one.
  bool has_lut_on_all_nps() const;

  friend bool operator==(const Mesh&, const Mesh&) = default;

  IpVersion version;
  hw::Ident dma_event;
  hw::Ident dma_conf;
  std::optional<np::Info> hrc;
  std::vector<np::Info> nps;
  std::vector<np::Info> skip_dmas;
  SramSize np_sram_size;
};

// The standard SRAM row of an edition (the v1, v2 or lumo row); none has none and is refused like the
// mesh constructor refuses it.
const SramSize& standard_sram_size(IpVersion version);

// Scans the node grid column by column, row by row, id by id and lists the NPs with their capabilities.
std::vector<np::Info> add_nps(const MeshInfo& info, HardwareDevice* device);

// Types and lookup-table flag of a capability word; the temporal bits count only on v2 devices.
np::Info decode_np_capabilities(hw::Ident ident, uint32_t word, bool is_v2);

}  // namespace ovrix
