// The device list of OVRIX_EMULATED_DEVICES and the standard meshes of the emulated editions.
#include <fmt/format.h>

#include <charconv>
#include <stdexcept>

#include "engine/emulation.h"

namespace ovrix::emulation {

namespace {

struct NamedVersion {
  std::string_view name;
  HwVersion version;
};

constexpr NamedVersion named_versions[] = {
    {"v1", hw_versions::Tamsel_v1},         {"v2", hw_versions::Proteo_v2},
    {"lumo", hw_versions::Lumo_Proteo},     {"Quor_v1", hw_versions::Quor_v1},
    {"Quor_v2", hw_versions::Quor_v2},      {"Tamsel_v1", hw_versions::Tamsel_v1},
    {"ZMX2400_v1", hw_versions::ZMX2400_v1}, {"Proteo_v2", hw_versions::Proteo_v2},
    {"Lumo_Proteo", hw_versions::Lumo_Proteo},
};

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\n\r");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\n\r");
  return s.substr(first, last - first + 1);
}

[[noreturn]] void refuse(std::string_view token, std::string_view why) {
  throw std::invalid_argument(fmt::format("{}: {} in '{}'. Expected a comma-separated list of "
                                          "name[:option+option...], e.g. \"v2,v1:soc,lumo:soc+flash\".",
                                          devices_variable, why, token));
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

template <class T>
bool parse_number(std::string_view text, T* value, int base) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
  return ec == std::errc() && end == text.data() + text.size();
}

// Four hexadecimal bytes "BC.A2.01.00".
bool parse_hex_version(std::string_view text, HwVersion* version) {
  const auto parts = split(text, '.');
  if (parts.size() != 4) return false;
  uint8_t bytes[4];
  for (size_t i = 0; i < 4; ++i)
    if (parts[i].size() > 2 || !parse_number(parts[i], &bytes[i], 16)) return false;
  *version = HwVersion(bytes[0], bytes[1], bytes[2], bytes[3]);
  return true;
}

bool parse_u32(std::string_view text, uint32_t* value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return parse_number(text.substr(2), value, 16);
  return parse_number(text, value, 10);
}

DeviceSpec parse_token(std::string_view token) {
  const size_t colon = token.find(':');
  const std::string_view name = trim(token.substr(0, colon));
  DeviceSpec spec;
  spec.name = std::string(name);
  bool known = false;
  for (const auto& named : named_versions) {
    if (named.name == name) {
      spec.version = named.version;
      known = true;
    }
  }
  if (!known && !parse_hex_version(name, &spec.version)) refuse(token, fmt::format("unknown device '{}'", name));
  if (colon == std::string_view::npos) return spec;

  for (std::string_view option : split(token.substr(colon + 1), '+')) {
    option = trim(option);
    if (option == "soc") {
      spec.soc = true;
    } else if (option == "flash") {
      spec.flash = true;
    } else if (option == "flash=null") {
      spec.flash = true;
      spec.null_flash = true;
    } else if (option == "fail") {
      spec.fail_open = true;
    } else if (option == "mismatch") {
      spec.mismatch = true;
    } else if (option == "hrc-timeout") {
      spec.hrc_timeout = true;
    } else if (option == "busy=stuck") {
      spec.busy = ClockBusy::stuck;
    } else if (option == "busy=set") {
      spec.busy = ClockBusy::set;
    } else if (option.starts_with("clock=")) {
      if (!parse_u32(option.substr(6), &spec.clock)) refuse(token, fmt::format("bad clock value '{}'", option));
    } else {
      refuse(token, fmt::format("unknown option '{}'", option));
    }
  }
  return spec;
}

}  // namespace

std::vector<DeviceSpec> parse_devices(std::string_view text) {
  std::vector<DeviceSpec> specs;
  if (trim(text).empty()) return specs;
  for (std::string_view token : split(text, ',')) {
    token = trim(token);
    if (token.empty()) refuse(text, "empty device name");
    specs.push_back(parse_token(token));
  }
  return specs;
}

MeshRegisterImage standard_layout(IpVersion edition) {
  MeshRegisterImage m;
  // Every edition keeps its DMA controller in node (1, 1): event endpoint id 0, configuration id 1.
  m.dma_row = 1;
  m.dma_col = 1;
  m.dma_event_id = 0;
  m.dma_conf_id = 1;
  switch (edition) {
    case IpVersion::v2:
      m.rows = 2;
      m.columns = 4;
      m.nps_per_node = 4;
      m.last_col = 4;
      m.skip_dma_mask = 0x001E;  // engines in columns 1 to 4
      m.skip_dma_channels = 4;
      m.has_hrc = true;
      m.hrc_has_lut = true;
      m.sram[0] = 32768;  // 65536 input bytes
      m.sram[1] = 8192;   // 51200 weight bytes
      break;
    case IpVersion::lumo:
      m.rows = 1;
      m.columns = 1;
      m.nps_per_node = 1;
      m.last_col = 1;
      m.sram[0] = 448;   // STSRAM
      m.sram[1] = 8192;  // FSRAM
      m.sram[2] = 892;   // TSRAM
      m.sram[3] = 256;   // EVSRAM
      break;
    default:
      m.rows = 2;
      m.columns = 5;
      m.nps_per_node = 4;
      m.last_col = 5;
      m.has_hrc = true;
      break;
  }
  return m;
}

uint32_t standard_np_capabilities(IpVersion edition, const hw::Ident& ident) {
  if (edition == IpVersion::lumo) return 0;
  // CNP1 and CNP2 everywhere; FNP3 on even ids, FNP2 on odd ones.
  uint32_t word = 2u << 6 | (ident.id % 2 == 0 ? 3u : 2u) << 4;
  if (edition == IpVersion::v2) word |= 1u << 8 | 1u << 10;  // TNP_B and a lookup table
  return word;
}


}  // namespace ovrix::emulation
