#include "engine/register_image_driver.h"

#include <cstring>
#include <stdexcept>

#include "mapping/hw_types.h"
#include "mapping/mesh_info_registers.h"

namespace ovrix {

std::map<uint32_t, uint32_t> MeshRegisterImage::words() const {
  std::map<uint32_t, uint32_t> w;
  w[mesh_regs::GRID] = uint32_t(rows) | uint32_t(columns) << 8 | uint32_t(first_col_row1) << 16 |
                       uint32_t(first_col_row2) << 24;
  w[mesh_regs::DMA] = (uint32_t(nps_per_node) & 0x7u) | uint32_t(dma_node_only) << 4 | uint32_t(dma_row) << 8 |
                      uint32_t(dma_col) << 16 | (uint32_t(dma_event_id) & 0x3u) << 24 |
                      (uint32_t(dma_conf_id) & 0x3u) << 28;
  w[mesh_regs::EDGES] = uint32_t(extra_row) | uint32_t(extra_col) << 8 | uint32_t(last_col) << 24;
  w[mesh_regs::SKIP_DMA] = uint32_t(skip_dma_mask) | uint32_t(skip_dma_channels) << 24;
  w[mesh_regs::HRC] = uint32_t(has_hrc) << 4 | uint32_t(hrc_has_lut) << 6;
  w[mesh_regs::SRAM_A] = sram[0];
  w[mesh_regs::SRAM_B] = sram[1];
  w[mesh_regs::TSRAM] = sram[2];
  w[mesh_regs::EVSRAM] = sram[3];
  return w;
}

uint32_t encode_np_capabilities(const std::set<hw::Type>& types, bool has_lut) {
  uint32_t word = 0;
  if (types.count(hw::Type::FNP3))
    word |= 3u << np_caps::FNP_SHIFT;
  else if (types.count(hw::Type::FNP2))
    word |= 2u << np_caps::FNP_SHIFT;
  if (types.count(hw::Type::CNP2))
    word |= 2u << np_caps::CNP_SHIFT;
  else if (types.count(hw::Type::CNP1))
    word |= 1u << np_caps::CNP_SHIFT;
  if (types.count(hw::Type::TNP_B)) word |= np_caps::TNP_B;
  if (types.count(hw::Type::TNP_R)) word |= np_caps::TNP_R;
  if (has_lut) word |= np_caps::LUT;
  return word;
}

RegisterImageDriver::RegisterImageDriver(uint32_t mesh_info_address) : mesh_info_address_(mesh_info_address) {}

namespace {
void check_access(uint32_t address, const void* data, size_t size) {
  if (data == nullptr || size == 0 || size % 4 != 0 || address % 4 != 0)
    throw std::invalid_argument("Register accesses must be whole 32-bit words at aligned addresses.");
}
}  // namespace

void RegisterImageDriver::read(uint32_t address, void* data, size_t size) {
  check_access(address, data, size);
  auto* out = static_cast<uint8_t*>(data);
  for (size_t i = 0; i < size / 4; ++i) {
    const uint32_t a = address + uint32_t(4 * i);
    uint32_t value;
    auto scripted = scripted_.find(a);
    if (scripted != scripted_.end() && !scripted->second.empty()) {
      value = scripted->second.front();
      scripted->second.pop_front();
    } else {
      value = get(a);
    }
    log(Access{false, a, value});
    std::memcpy(out + 4 * i, &value, 4);
  }
}

void RegisterImageDriver::write(uint32_t address, const void* data, size_t size) {
  check_access(address, data, size);
  const auto* in = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size / 4; ++i) {
    const uint32_t a = address + uint32_t(4 * i);
    uint32_t value;
    std::memcpy(&value, in + 4 * i, 4);
    registers_[a] = value;
    log(Access{true, a, value});
  }
}

void RegisterImageDriver::log(const Access& access) {
  if (accesses_.size() >= max_logged_accesses)
    accesses_.erase(accesses_.begin(), accesses_.begin() + static_cast<std::ptrdiff_t>(max_logged_accesses / 2));
  accesses_.push_back(access);
}

uint32_t RegisterImageDriver::get(uint32_t address) const {
  auto it = registers_.find(address);
  return it == registers_.end() ? 0 : it->second;
}

void RegisterImageDriver::set(uint32_t address, uint32_t value) { registers_[address] = value; }

void RegisterImageDriver::script_reads(uint32_t address, std::vector<uint32_t> values) {
  auto& queue = scripted_[address];
  queue.insert(queue.end(), values.begin(), values.end());
}

void RegisterImageDriver::load_mesh(const MeshRegisterImage& image) {
  for (const auto& [offset, value] : image.words()) set_mesh_word(offset, value);
}

uint32_t RegisterImageDriver::np_config_address(const hw::Ident& ident) {
  return np_config_base + (uint32_t(ident.col) << 14 | uint32_t(ident.row) << 6 | (uint32_t(ident.id) & 0xFu) << 2);
}

std::vector<uint32_t> RegisterImageDriver::reads() const {
  std::vector<uint32_t> out;
  for (const Access& a : accesses_)
    if (!a.write) out.push_back(a.address);
  return out;
}

}  // namespace ovrix
