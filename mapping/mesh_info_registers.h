#pragma once
// The layout of a device's mesh information registers and NP capability words, as mesh discovery
// reads them and the engine's register images present them.
#include <cstdint>

namespace ovrix {

// Byte offsets of the mesh information words from the driver's mesh information address.
namespace mesh_regs {
inline constexpr uint32_t GRID = 0x50;
inline constexpr uint32_t DMA = 0x54;
inline constexpr uint32_t EDGES = 0x58;
inline constexpr uint32_t SKIP_DMA = 0x64;      // v2 only
inline constexpr uint32_t HRC = 0x68;           // v2 only
inline constexpr uint32_t SRAM_A = 0x70;        // v2: input SRAM count; lumo: STSRAM words
inline constexpr uint32_t SRAM_B = 0x74;        // v2: weight SRAM count; lumo: FSRAM words
inline constexpr uint32_t TSRAM = 0x78;         // lumo only
inline constexpr uint32_t EVSRAM = 0x7C;        // lumo only
}  // namespace mesh_regs

// Bits of an NP capability word.
namespace np_caps {
inline constexpr uint32_t FNP_SHIFT = 4;  // 2 bits: 2 FNP2, 3 FNP3
inline constexpr uint32_t CNP_SHIFT = 6;  // 2 bits: 1 CNP1, 2 CNP1 and CNP2
inline constexpr uint32_t TNP_B = 1u << 8;
inline constexpr uint32_t TNP_R = 1u << 9;
inline constexpr uint32_t LUT = 1u << 10;
}  // namespace np_caps

}  // namespace ovrix
