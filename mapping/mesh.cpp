#include "mapping/mesh.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "engine/device.h"

namespace ovrix {

namespace {

uint32_t read_word(HardwareDriver* driver, uint32_t address) {
  uint32_t value = 0;
  driver->read(address, &value, sizeof value);
  return value;
}

uint8_t byte_at(uint32_t word, unsigned shift) { return static_cast<uint8_t>(word >> shift); }

bool is_quor_v2(const HwVersion& v) { return v == hw_versions::Quor_v2; }

}  // namespace

const SramSize& standard_sram_size(IpVersion version) {
  switch (version) {
    case IpVersion::v1: return SramSize_v1;
    case IpVersion::v2: return SramSize_v2;
    case IpVersion::lumo: return SramSize_lumo;
    default: throw std::runtime_error("The mesh should have a valid IP version.");
  }
}

Mesh::Mesh(IpVersion version, hw::Ident dma_event, hw::Ident dma_conf, std::optional<np::Info> hrc,
           std::vector<np::Info> nps, std::vector<np::Info> skip_dmas)
    : version(version),
      dma_event(dma_event),
      dma_conf(dma_conf),
      hrc(std::move(hrc)),
      nps(std::move(nps)),
      skip_dmas(std::move(skip_dmas)),
      np_sram_size(standard_sram_size(version)) {}

bool Mesh::has_lut_on_all_nps() const {
  if (hrc && !hrc->has_lut) return false;
  return std::all_of(nps.begin(), nps.end(), [](const np::Info& np) { return np.has_lut; });
}

np::Info decode_np_capabilities(hw::Ident ident, uint32_t word, bool is_v2) {
  np::Info info;
  info.ident = ident;
  switch ((word >> np_caps::FNP_SHIFT) & 3u) {
    case 2: info.types.insert(hw::Type::FNP2); break;
    case 3: info.types.insert(hw::Type::FNP3); break;
    default: break;
  }
  switch ((word >> np_caps::CNP_SHIFT) & 3u) {
    case 1: info.types.insert(hw::Type::CNP1); break;
    case 2:
      info.types.insert(hw::Type::CNP1);
      info.types.insert(hw::Type::CNP2);
      break;
    default: break;
  }
  if (is_v2) {
    if (word & np_caps::TNP_B) info.types.insert(hw::Type::TNP_B);
    if (word & np_caps::TNP_R) info.types.insert(hw::Type::TNP_R);
  }
  info.has_lut = (word & np_caps::LUT) != 0;
  return info;
}

std::vector<np::Info> add_nps(const MeshInfo& info, HardwareDevice* device) {
  std::vector<np::Info> nps;
  const unsigned first_row1 = std::max<unsigned>(info.first_col_row1, 1);
  const unsigned first_row2 = std::max<unsigned>(info.first_col_row2, 1);
  // Plain unsigned counters: a grid of 255 columns must not wrap an 8-bit loop variable.
  for (unsigned c = 1; c <= info.columns; ++c) {
    for (unsigned r = 1; r <= info.rows; ++r) {
      for (unsigned i = 0; i < info.nps_per_node; ++i) {
        bool holds_np;
        if (r == info.dma_row && c == info.dma_col) {
          holds_np = !info.dma_node_only && i != info.dma_event_id && i != info.dma_conf_id;
        } else if (r == info.extra_row && c == info.extra_col) {
          holds_np = true;
        } else {
          holds_np = !(r == 1 && c < first_row1) && !(r == 2 && c < first_row2) &&
                     !(r == info.rows && c > info.last_col);
        }
        if (!holds_np) continue;
        const hw::Ident ident(static_cast<uint8_t>(c), static_cast<uint8_t>(r), static_cast<uint8_t>(i));
        const uint32_t word = device->read_np_config(ident, 1);
        nps.push_back(decode_np_capabilities(ident, word, device->version().product_id == 0xA2));
      }
    }
  }
  return nps;
}

std::unique_ptr<Mesh> Mesh::discover(HardwareDevice* device) {
  if (device == nullptr) throw std::invalid_argument("Mesh discovery needs a hardware device.");
  HardwareDriver* driver = device->driver();
  if (driver == nullptr) throw std::runtime_error("Mesh discovery needs the device's driver.");
  const HwVersion version = device->version();
  const uint8_t product = version.product_id;
  const uint32_t base = driver->mesh_info_address();

  MeshInfo info;
  const uint32_t grid = read_word(driver, base + mesh_regs::GRID);
  const uint32_t dma = read_word(driver, base + mesh_regs::DMA);
  const uint32_t edges = read_word(driver, base + mesh_regs::EDGES);
  info.rows = byte_at(grid, 0);
  info.columns = byte_at(grid, 8);
  info.first_col_row1 = byte_at(grid, 16);
  info.first_col_row2 = byte_at(grid, 24);
  info.nps_per_node = dma & 0x7u;
  info.dma_node_only = (dma >> 4) & 1u;
  info.dma_row = byte_at(dma, 8);
  info.dma_col = byte_at(dma, 16);
  info.dma_event_id = (dma >> 24) & 0x3u;
  info.dma_conf_id = (dma >> 28) & 0x3u;
  info.extra_row = byte_at(edges, 0);
  info.extra_col = byte_at(edges, 8);
  // That board reports no usable last column: its last row is complete.
  info.last_col = is_quor_v2(version) ? info.columns : byte_at(edges, 24);

  if (product == 0xA2) {
    auto decode_hrc = [&info](uint32_t word) {
      info.has_hrc = (word >> 4) & 1u;
      info.hrc_has_lut = (word >> 6) & 1u;
    };
    decode_hrc(read_word(driver, base + mesh_regs::HRC));
    const uint32_t skip = read_word(driver, base + mesh_regs::SKIP_DMA);
    info.skip_dma_mask = static_cast<uint16_t>(skip & 0xFFFFu);
    info.skip_dma_channels = byte_at(skip, 24);
    const uint32_t r70 = read_word(driver, base + mesh_regs::SRAM_A);
    const uint32_t r74 = read_word(driver, base + mesh_regs::SRAM_B);
    decode_hrc(read_word(driver, base + mesh_regs::HRC));
    if (r70 == 0 || r74 == 0) throw std::runtime_error("The mesh has no SRAM.");
    info.input_bytes = (r70 * 32u) >> 4;
    info.weight_bytes = (r74 * 100u) >> 4;
  }
  if (product == 0xB1) {
    info.has_hrc = false;
    info.stsram_32b_size = read_word(driver, base + mesh_regs::SRAM_A);
    info.fsram_64b_size = read_word(driver, base + mesh_regs::SRAM_B);
    info.tsram_51b_size = read_word(driver, base + mesh_regs::TSRAM);
    info.evsram_32b_size = read_word(driver, base + mesh_regs::EVSRAM);
  }

  const hw::Ident dma_event(info.dma_col, info.dma_row, info.dma_event_id);
  const hw::Ident dma_conf(info.dma_col, info.dma_row, info.dma_conf_id);

  if (info.has_hrc) {
    info.hrc = np::Info::hrc(info.hrc_has_lut);
    if (device->version().product_id == 0xB1)
      throw std::runtime_error(fmt::format("Mesh discovery indicates that HRC is installed, but the device version {} "
                                           "does not support HRC.", device->version().to_string()));
  }

  std::unique_ptr<Mesh> mesh;
  switch (device->version().product_id) {
    case 0xB1: {
      std::vector<np::Info> nps{np::Info(hw::Ident(), {hw::Type::TNP_R}, false)};
      mesh = std::make_unique<Mesh>(IpVersion::lumo, dma_event, dma_conf, info.hrc, std::move(nps),
                                    std::vector<np::Info>{});
      mesh->np_sram_size.stsram_32b_size = info.stsram_32b_size;
      mesh->np_sram_size.fsram_64b_size = info.fsram_64b_size;
      mesh->np_sram_size.tsram_51b_size = info.tsram_51b_size;
      mesh->np_sram_size.evsram_32b_size = info.evsram_32b_size;
      break;
    }
    case 0xA2: {
      std::vector<np::Info> nps = add_nps(info, device);
      std::vector<np::Info> skip_dmas;
      for (unsigned k = 1; k < 16; ++k) {
        if (!((info.skip_dma_mask >> k) & 1u)) continue;
        skip_dmas.emplace_back(hw::Ident(static_cast<uint8_t>(k), 1, 3, info.skip_dma_channels),
                               std::set<hw::Type>{hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, false);
      }
      mesh = std::make_unique<Mesh>(IpVersion::v2, dma_event, dma_conf, info.hrc, std::move(nps),
                                    std::move(skip_dmas));
      mesh->np_sram_size.input_bytes = info.input_bytes;
      mesh->np_sram_size.weight_bytes = info.weight_bytes;
      break;
    }
    case 0x00:
    case 0xA1: {
      std::vector<np::Info> nps = add_nps(info, device);
      mesh = std::make_unique<Mesh>(IpVersion::v1, dma_event, dma_conf, info.hrc, std::move(nps),
                                    std::vector<np::Info>{});
      break;
    }
    default: throw std::runtime_error("Unknown IP version.");
  }
  return mesh;
}

}  // namespace ovrix
