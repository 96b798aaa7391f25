#pragma once
// The editions built into this library and the only way the mapping core reaches them: each edition
// registers, once at start-up, its four back-end implementations and the product ids it serves; the
// hardware back-end and the hardware sequence then pick an edition by a device's product id here.
//
// An edition lives in backends/<edition>/, registers itself in backends/<edition>/edition.cpp
// through ovrix::<edition>::register_edition(EditionRegistry&) (declared in its edition.h), and is
// built when its name is in the CMake list OVRIX_EDITIONS, from which the build generates the calls.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mapping/backend_interfaces.h"
#include "mapping/hardware_constraints.h"
#include "mapping/hw_version.h"

namespace ovrix {

class Device;
class Layer;

// Who an edition is and which devices it serves.
struct EditionIds {
  IpVersion ip_version = IpVersion::none;
  // Products whose models this edition maps; each must imply ip_version (HwVersion::get_ip_version).
  std::vector<uint8_t> product_ids;
  // Products whose learnt variables this edition's layer recorder reads back after a run with labels.
  std::vector<uint8_t> learning_product_ids;
};

// An edition as the registry keeps it: its ids and a factory for each of its four implementations.
struct Edition {
  EditionIds ids;
  std::unique_ptr<CompatibilityChecker> (*make_checker)(const Device&, const HardwareConstraints&) = nullptr;
  std::unique_ptr<MemorySizer> (*make_memory_sizer)() = nullptr;
  std::unique_ptr<IoRecorder> (*make_io_recorder)(const Device&) = nullptr;
  std::unique_ptr<LayerRecorder> (*make_layer_recorder)(const Device&, const HardwareConstraints&) = nullptr;

  // "v1", "v2", "lumo".
  std::string name() const { return to_string(ids.ip_version); }
};

// The edition whose four implementations are these classes, constructed as the hardware back-end
// constructs them: checker (device, limits), sizer (), I/O recorder (device), layer recorder (device,
// limits).
template <class Checker, class Sizer, class Io, class Recorder>
Edition edition_of(EditionIds ids) {
  return Edition{
      .ids = std::move(ids),
      .make_checker = [](const Device& device, const HardwareConstraints& limits) -> std::unique_ptr<CompatibilityChecker> {
        return std::make_unique<Checker>(device, limits);
      },
      .make_memory_sizer = []() -> std::unique_ptr<MemorySizer> { return std::make_unique<Sizer>(); },
      .make_io_recorder = [](const Device& device) -> std::unique_ptr<IoRecorder> {
        return std::make_unique<Io>(device);
      },
      .make_layer_recorder = [](const Device& device,
                                const HardwareConstraints& limits) -> std::unique_ptr<LayerRecorder> {
        return std::make_unique<Recorder>(device, limits);
      },
  };
}

class EditionRegistry {
 public:
  // A dense layer's input layout code on an FNP (0 to 3), as one edition's rule answers it for every
  // device; see fnp_input_padding.
  using FnpInputPaddingRule = uint32_t (*)(const Layer& layer);

  // Adds an edition. Refused (std::logic_error): a missing factory, an edition registered twice, a
  // product id that does not imply the edition's IpVersion or that another edition already serves.
  void add(Edition edition);

  // The edition that maps the product's models, or null when none in this build does.
  const Edition* find(uint8_t product_id) const;
  // The edition whose layer recorder reads the product's learnt variables back, or null.
  const Edition* find_learning(uint8_t product_id) const;
  const std::vector<Edition>& editions() const { return editions_; }

  // The sequence build asks one edition's FNP input-layout rule, whatever the device's edition, to
  // decide whether a CNP keeps a lookup-table activation for the FNP it feeds (layout 2, rows
  // packed). The edition that owns the rule sets it; without it the answer is 0.
  void set_fnp_input_padding_rule(FnpInputPaddingRule rule) { fnp_input_padding_ = rule; }
  uint32_t fnp_input_padding(const Layer& layer) const { return fnp_input_padding_ ? fnp_input_padding_(layer) : 0; }

 private:
  std::vector<Edition> editions_;
  FnpInputPaddingRule fnp_input_padding_ = nullptr;
};

// The registry of this process. The build links into every program one generated object that fills
// it with the editions of OVRIX_EDITIONS, and registers the hardware back-end with the engine,
// before main runs.
EditionRegistry& edition_registry();

// The edition that maps the product's models; an unknown product: "Unsupported IP version in
// IpVersionSpecificHardwareBackend."; a known one whose edition is not built: "The <edition> hardware
// back-end is not available in this build." (std::runtime_error).
const Edition& require_edition(uint8_t product_id);

}  // namespace ovrix
