#pragma once
// The user's choices for one mapping: the device, the largest piece of work one CNP takes, the v2
// partial-reconfiguration loop switch, and two hooks the NP allocator consults while it places layers.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mapping/hw_types.h"
#include "mapping/hw_version.h"

namespace ovrix {

class Device;

class MapConstraints {
 public:
  // Null device: "Invalid device passed to MapConstraints."; a product id that names no edition:
  // "Unsupported IP version in MapConstraints constructor." (both std::invalid_argument).
  explicit MapConstraints(const std::shared_ptr<Device>& device);
  virtual ~MapConstraints() = default;

  // Called once for every layer the mesh mapper is about to place; does nothing by default.
  virtual void next_layer_handler(const std::string& layer_name) const;
  // Chooses the NPs of one type that a layer receives among those offered, in the offered order; by
  // default the first min(count, offered) of them.
  virtual std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& available, uint64_t count,
                                            hw::Type type) const;

  std::shared_ptr<Device> device() const { return device_; }
  IpVersion ip_version() const { return ip_version_; }

  uint32_t cnp_max_width() const { return cnp_max_width_; }
  uint32_t cnp_max_height() const { return cnp_max_height_; }
  uint32_t cnp_max_filters() const { return cnp_max_filters_; }
  uint32_t cnp_max_width_default() const { return cnp_max_width_default_; }
  uint32_t cnp_max_height_default() const { return cnp_max_height_default_; }
  uint32_t cnp_max_filters_default() const { return cnp_max_filters_default_; }

  // Each accepts 0 up to and including its default; above: std::invalid_argument, nothing changed.
  void set_cnp_max_width(uint32_t value);
  void set_cnp_max_height(uint32_t value);
  void set_cnp_max_filters(uint32_t value);

  bool hwpr_loopitself() const { return hwpr_loopitself_; }
  // true is accepted on v2 devices only.
  void set_hwpr_loopitself(bool value);

 private:
  std::shared_ptr<Device> device_;
  uint32_t cnp_max_width_default_ = 0;
  uint32_t cnp_max_height_default_ = 0;
  uint32_t cnp_max_filters_default_ = 0;
  uint32_t cnp_max_width_ = 0;
  uint32_t cnp_max_height_ = 0;
  uint32_t cnp_max_filters_ = 0;
  bool hwpr_loopitself_ = false;
  IpVersion ip_version_ = IpVersion::none;
};

}  // namespace ovrix
