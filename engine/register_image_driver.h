#pragma once
// A software HardwareDriver over a register image: reads and writes go to a map of 32-bit registers
// (unwritten registers read 0). It lets tests and emulated devices present any mesh to mesh discovery
// and any SoC register state to the clock functions, and records every access in order.
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <vector>

#include "engine/device.h"
#include "mapping/hw_types.h"
#include "mapping/hw_version.h"

namespace ovrix {

// The mesh information words in their raw, register form (what a board reports at base + 0x50 ...).
struct MeshRegisterImage {
  uint8_t rows = 0;
  uint8_t columns = 0;
  uint8_t first_col_row1 = 0;
  uint8_t first_col_row2 = 0;
  uint8_t nps_per_node = 0;  // 3 bits
  bool dma_node_only = false;
  uint8_t dma_row = 0;
  uint8_t dma_col = 0;
  uint8_t dma_event_id = 0;  // 2 bits
  uint8_t dma_conf_id = 0;   // 2 bits
  uint8_t extra_row = 0;
  uint8_t extra_col = 0;
  uint8_t last_col = 0;
  uint16_t skip_dma_mask = 0;     // v2
  uint8_t skip_dma_channels = 0;  // v2
  bool has_hrc = false;           // v2
  bool hrc_has_lut = false;       // v2
  // Words at 0x70, 0x74, 0x78, 0x7C: v2 input and weight SRAM counts; lumo STSRAM, FSRAM, TSRAM,
  // EVSRAM sizes.
  uint32_t sram[4] = {0, 0, 0, 0};

  // The mesh information words keyed by their offset from the mesh information address.
  std::map<uint32_t, uint32_t> words() const;
};

// Capability word of an NP that can act as these types (CNP2 implies CNP1; FNP3 wins over FNP2).
uint32_t encode_np_capabilities(const std::set<hw::Type>& types, bool has_lut);

class RegisterImageDriver : public HardwareDriver {
 public:
  static constexpr uint32_t default_mesh_info_address = 0xFCC00000;
  // NP capability words live in their own window of the image, one word per position.
  static constexpr uint32_t np_config_base = 0xFD000000;

  explicit RegisterImageDriver(uint32_t mesh_info_address = default_mesh_info_address);

  // Accesses must be whole 32-bit words at 4-byte aligned addresses (std::invalid_argument otherwise).
  void read(uint32_t address, void* data, size_t size) override;
  void write(uint32_t address, const void* data, size_t size) override;
  uint32_t mesh_info_address() const override { return mesh_info_address_; }

  uint32_t get(uint32_t address) const;
  void set(uint32_t address, uint32_t value);
  // The next reads of the register return these values in turn before it falls back to its stored one.
  void script_reads(uint32_t address, std::vector<uint32_t> values);

  void load_mesh(const MeshRegisterImage& image);
  void set_mesh_word(uint32_t offset, uint32_t value) { set(mesh_info_address_ + offset, value); }

  static uint32_t np_config_address(const hw::Ident& ident);
  void set_np_config(const hw::Ident& ident, uint32_t word) { set(np_config_address(ident), word); }
  uint32_t np_config(const hw::Ident& ident) const { return get(np_config_address(ident)); }

  struct Access {
    bool write;
    uint32_t address;
    uint32_t value;
    friend bool operator==(const Access&, const Access&) = default;
  };
  // The accesses in order; only the recent ones are kept (at most max_logged_accesses, the oldest half
  // going when that is reached), so a driver polled for the life of a process stays small.
  static constexpr size_t max_logged_accesses = size_t{1} << 16;
  const std::vector<Access>& accesses() const { return accesses_; }
  // Addresses read, in order.
  std::vector<uint32_t> reads() const;
  void clear_accesses() { accesses_.clear(); }

 private:
  uint32_t mesh_info_address_;
  std::map<uint32_t, uint32_t> registers_;
  std::map<uint32_t, std::deque<uint32_t>> scripted_;
  std::vector<Access> accesses_;

  void log(const Access& access);
};

}  // namespace ovrix
