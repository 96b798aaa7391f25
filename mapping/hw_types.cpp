#include "mapping/hw_types.h"

#include <fmt/format.h>

#include "mapping/hw_version.h"

namespace ovrix {
namespace hw {

std::string to_string(Type type) {
  switch (type) {
    case Type::None: return "None";
    case Type::HRC: return "HRC";
    case Type::CNP1: return "CNP1";
    case Type::CNP2: return "CNP2";
    case Type::FNP2: return "FNP2";
    case Type::FNP3: return "FNP3";
    case Type::SKIP_DMA_STORE: return "SKIP_DMA_STORE";
    case Type::TNP_B: return "TNP_B";
    case Type::TNP_R: return "TNP_R";
    case Type::SKIP_DMA_LOAD: return "SKIP_DMA_LOAD";
    case Type::DMA: return "DMA";
  }
  return "Unknown";
}

}  // namespace hw

std::string to_string(IpVersion version) {
  switch (version) {
    case IpVersion::v1: return "v1";
    case IpVersion::v2: return "v2";
    case IpVersion::lumo: return "lumo";
    default: return "none";
  }
}

std::string HwVersion::to_string() const {
  return fmt::format("{}.{}.{}.{}", vendor_id, product_id, major_rev, minor_rev);
}

}  // namespace ovrix
