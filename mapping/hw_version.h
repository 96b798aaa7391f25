#pragma once
// Hardware version of a device and the IP edition it implies.
#include <cstdint>
#include <string>

namespace ovrix {

enum class IpVersion : uint32_t { none = 0, v1 = 1, v2 = 2, lumo = 3 };

// "v1", "v2", "lumo"; "none" for every other value.
std::string to_string(IpVersion version);

// Four bytes packed least significant first: vendor, product, major and minor revision.
struct HwVersion {
  uint8_t vendor_id = 0;
  uint8_t product_id = 0;
  uint8_t major_rev = 0;
  uint8_t minor_rev = 0;

  constexpr HwVersion() = default;
  constexpr HwVersion(uint8_t vendor, uint8_t product, uint8_t major, uint8_t minor)
      : vendor_id(vendor), product_id(product), major_rev(major), minor_rev(minor) {}

  // The product byte alone decides the edition: 0x00/0xA1 v1, 0xA2 v2, 0xB1 lumo, else none.
  constexpr IpVersion get_ip_version() const {
    switch (product_id) {
      case 0x00:
      case 0xA1: return IpVersion::v1;
      case 0xA2: return IpVersion::v2;
      case 0xB1: return IpVersion::lumo;
      default: return IpVersion::none;
    }
  }
  constexpr uint32_t to_u32() const {
    return uint32_t(vendor_id) | uint32_t(product_id) << 8 | uint32_t(major_rev) << 16 | uint32_t(minor_rev) << 24;
  }
  static constexpr HwVersion from_u32(uint32_t v) {
    return HwVersion(uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24));
  }
  // The four bytes in decimal joined by ".".
  std::string to_string() const;

  friend constexpr bool operator==(const HwVersion&, const HwVersion&) = default;
};

namespace hw_versions {
inline constexpr HwVersion Quor_v1{0xBC, 0x00, 0x00, 0x01};
inline constexpr HwVersion Quor_v2{0xBC, 0x00, 0x00, 0x02};
inline constexpr HwVersion Tamsel_v1{0xBC, 0xA1, 0x03, 0x06};
inline constexpr HwVersion ZMX2400_v1{0xBC, 0xA1, 0x03, 0x09};
inline constexpr HwVersion Proteo_v2{0xBC, 0xA2, 0x01, 0x00};
inline constexpr HwVersion Lumo_Proteo{0xBC, 0xB1, 0x01, 0x00};
}  // namespace hw_versions

}  // namespace ovrix
