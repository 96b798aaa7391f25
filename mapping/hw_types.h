#pragma once
// Hardware description vocabulary shared by the engine, the mapping core and the editions.
#include <compare>
#include <cstdint>
#include <string>

namespace ovrix::hw {

// Kind of hardware component on a mesh.
enum class Type : uint32_t {
  None = 0,
  HRC = 1,
  CNP1 = 2,
  CNP2 = 3,
  FNP2 = 4,
  FNP3 = 5,
  SKIP_DMA_STORE = 6,
  TNP_B = 7,
  TNP_R = 8,
  SKIP_DMA_LOAD = 9,
  DMA = 10,
};

// "None", "HRC", ... ; "Unknown" for any other value.
std::string to_string(Type type);

// Coarse component kind a layer can target (what the engine's layers answer about).
enum class TargetKind : uint32_t {
  None = 0,
  HRC = 1,
  CNP = 2,
  FNP = 3,
  SkipDma = 4,
  TNP_B = 5,
  TNP_R = 6,
  DMA = 7,
};

// Four-byte identifier of a component: node column and row, index inside the node, channel
// (skip-DMA engines only). Ordered byte by byte in that order.
struct Ident {
  uint8_t col = 0;
  uint8_t row = 0;
  uint8_t id = 0;
  uint8_t channel = 0;

  constexpr Ident() = default;
  constexpr Ident(uint8_t c, uint8_t r, uint8_t i, uint8_t ch = 0) : col(c), row(r), id(i), channel(ch) {}

  friend constexpr auto operator<=>(const Ident&, const Ident&) = default;
  friend constexpr bool operator==(const Ident&, const Ident&) = default;
};

}  // namespace ovrix::hw
