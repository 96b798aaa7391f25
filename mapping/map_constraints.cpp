#include "mapping/map_constraints.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

#include "engine/device.h"

namespace ovrix {

MapConstraints::MapConstraints(const std::shared_ptr<Device>& device) : device_(device) {
  if (!device_) throw std::invalid_argument("Invalid device passed to MapConstraints.");
  const HwVersion version = device_->version();
  switch (version.product_id) {
    case 0x00:
    case 0xA1:
      ip_version_ = IpVersion::v1;
      cnp_max_width_default_ = 32;
      cnp_max_height_default_ = 256;
      cnp_max_filters_default_ = version == hw_versions::Quor_v2 ? 504 : 512;
      break;
    case 0xA2:
      ip_version_ = IpVersion::v2;
      cnp_max_width_default_ = 64;
      cnp_max_height_default_ = 256;
      cnp_max_filters_default_ = 512;
      break;
    case 0xB1:
      ip_version_ = IpVersion::lumo;
      break;
    default: throw std::invalid_argument("Unsupported IP version in MapConstraints constructor.");
  }
  cnp_max_width_ = cnp_max_width_default_;
  cnp_max_height_ = cnp_max_height_default_;
  cnp_max_filters_ = cnp_max_filters_default_;
}

void MapConstraints::next_layer_handler(const std::string&) const {}

std::vector<hw::Ident> MapConstraints::select_nps(const std::vector<hw::Ident>& available, uint64_t count,
                                                  hw::Type) const {
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, available.size()));
  return std::vector<hw::Ident>(available.begin(), available.begin() + static_cast<std::ptrdiff_t>(n));
}

void MapConstraints::set_cnp_max_width(uint32_t value) {
  if (value > cnp_max_width_default_)
    throw std::invalid_argument(fmt::format("CNP max width should be <= {}. Receives {}.", cnp_max_width_default_, value));
  cnp_max_width_ = value;
}

void MapConstraints::set_cnp_max_height(uint32_t value) {
  if (value > cnp_max_height_default_)
    throw std::invalid_argument(
        fmt::format("CNP max height should be <= {}. Receives {}.", cnp_max_height_default_, value));
  cnp_max_height_ = value;
}

void MapConstraints::set_cnp_max_filters(uint32_t value) {
  if (value > cnp_max_filters_default_)
    throw std::invalid_argument(
        fmt::format("CNP max filters should be <= {}. Receives {}.", cnp_max_filters_default_, value));
  cnp_max_filters_ = value;
}

void MapConstraints::set_hwpr_loopitself(bool value) {
  if (value && ip_version_ != IpVersion::v2)
    throw std::invalid_argument("HWPR NP loopitself feature is only supported for IP v2.");
  hwpr_loopitself_ = value;
}

}  // namespace ovrix
