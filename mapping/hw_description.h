#pragma once
// Value types that describe a device's hardware to the mapping core and the editions: an NP of the
// mesh, the part of a layer one NP handles, the memory a component uses, the components assigned to
// a layer and the SRAM budget of a mesh.
#include <cstdint>
#include <optional>
#include <set>

#include "engine/tensor.h"
#include "mapping/hw_types.h"

namespace ovrix {

namespace np {

// One component of the mesh as discovery found it: where it sits, what it can act as, and whether it
// has an activation lookup table.
struct Info {
  hw::Ident ident;
  std::set<hw::Type> types;
  bool has_lut = false;

  Info() = default;
  Info(hw::Ident ident, std::set<hw::Type> types, bool has_lut = false)
      : ident(ident), types(std::move(types)), has_lut(has_lut) {}

  // The entry of an input convolution block: identifier all zero, the single type HRC.
  static Info hrc(bool has_lut) { return Info(hw::Ident(), {hw::Type::HRC}, has_lut); }

  friend bool operator==(const Info&, const Info&) = default;
};

}  // namespace np

// The part of a layer's data that one NP handles: origin column x, origin row y, and the shape
// (width, height, channels).
struct NpSpace {
  uint32_t x = 0;
  uint32_t y = 0;
  Shape shape;

  NpSpace() = default;
  NpSpace(uint32_t x, uint32_t y, Shape shape) : x(x), y(y), shape(shape) {}

  // Same origin, same number of dimensions and the same dimensions.
  friend bool operator==(const NpSpace& a, const NpSpace& b) {
    return a.x == b.x && a.y == b.y && a.shape.count == b.shape.count && a.shape.dims == b.shape.dims;
  }
};

// Memory use of one component: input, weight and external bytes, then the four lumo SRAMs in words.
struct MemoryInfo {
  uint32_t input_size = 0;
  uint32_t weight_size = 0;
  uint32_t external_size = 0;
  uint32_t stsram_32b_size = 0;
  uint32_t fsram_64b_size = 0;
  uint32_t tsram_51b_size = 0;
  uint32_t evsram_32b_size = 0;

  friend bool operator==(const MemoryInfo&, const MemoryInfo&) = default;
};

// SRAM capacities of a mesh: input and weight bytes per pair of NPs, and the four lumo SRAMs in words
// of 32, 64, 51 and 32 bits.
struct SramSize {
  uint32_t input_bytes = 0;
  uint32_t weight_bytes = 0;
  uint32_t stsram_32b_size = 0;
  uint32_t fsram_64b_size = 0;
  uint32_t tsram_51b_size = 0;
  uint32_t evsram_32b_size = 0;

  friend constexpr bool operator==(const SramSize&, const SramSize&) = default;
};

// The standard rows of the three editions. They are constants: every new mesh starts from a copy.
inline constexpr SramSize SramSize_v1{43008, 44800, 0, 0, 0, 0};
inline constexpr SramSize SramSize_v2{65536, 51200, 0, 0, 0, 0};
inline constexpr SramSize SramSize_lumo{0, 0, 448, 8192, 892, 256};

namespace hw {

// The part of a layer that one NP processes.
struct NpMapping {
  uint32_t start_neuron = 0;  // first filter (neuron) the NP computes
  uint32_t filters = 0;       // number of filters it computes
  NpSpace spatial_partition;  // the part of the output space it computes
  NpSpace input_window;       // the window of the input it reads
  bool single_buffer = false;  // one input buffer instead of two

  friend bool operator==(const NpMapping&, const NpMapping&) = default;
};

// One component assigned to a layer. The identifier stays all zero until the mesh mapper places it.
struct Component {
  Type type = Type::None;
  Ident ident;
  std::optional<NpMapping> np;
  MemoryInfo mem_info;

  Component() = default;
  Component(Type type, std::optional<NpMapping> np = std::nullopt) : type(type), np(std::move(np)) {}

  // Readers of a component without an NP part see no filters and a single input buffer.
  uint32_t filters() const { return np ? np->filters : 0; }
  uint32_t start_neuron() const { return np ? np->start_neuron : 0; }
  bool single_buffer() const { return np ? np->single_buffer : true; }

  // Two components are the same assignment when type, place, NP part and memory agree; the buffer
  // mode is a consequence of the placement, not part of it.
  friend bool operator==(const Component& a, const Component& b) {
    if (a.type != b.type || a.ident != b.ident || a.np.has_value() != b.np.has_value()) return false;
    if (a.np && (a.np->start_neuron != b.np->start_neuron || a.np->filters != b.np->filters ||
                 a.np->spatial_partition != b.np->spatial_partition || a.np->input_window != b.np->input_window))
      return false;
    return a.mem_info == b.mem_info;
  }
};

}  // namespace hw

}  // namespace ovrix
