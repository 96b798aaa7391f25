// Mapping a model on a device: the hardware back-end takes what it can of the layers into hardware
// sequences; the layers it leaves run in software unless the caller asked for hardware only.
#include <stdexcept>
#include <string>

#include "engine/device.h"
#include "engine/impl/model_impl.h"
#include "mapping/map_constraints.h"

namespace ovrix::detail {

namespace {

// Layers that run on the host, in model order, as one pass.
class SoftwareSequence final : public Sequence {
 public:
  explicit SoftwareSequence(std::vector<std::shared_ptr<Layer>> layers) {
    auto pass = std::make_shared<Pass>();
    pass->layers = std::move(layers);
    passes_.push_back(std::move(pass));
  }
  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Software; }
  std::span<const uint8_t> program() const override { return {}; }
  ProgramParts program_parts() const override { return {}; }
  std::string name() const override {
    const auto& layers = passes_.front()->layers;
    std::string text = "SW/";
    if (layers.empty()) return text;
    text += layers.front()->get_name();
    if (layers.size() >= 2) text += "-" + layers.back()->get_name();
    return text;
  }

 private:
  std::vector<std::shared_ptr<Pass>> passes_;
};

}  // namespace

void ModelImpl::map(std::shared_ptr<Device> device, bool hw_only, std::shared_ptr<MapConstraints> constraints) {
  // The mapper calls back into the caller (MapConstraints overrides), which could otherwise change
  // the layers under it, or map again: the sequences would then describe another model than the
  // one that runs.
  refuse_while_mapping("map the model");
  if (!constraints) {
    constraints = std::make_shared<MapConstraints>(device);
  } else if (constraints->device() != device) {
    throw std::invalid_argument("The map constraints were made for another device.");
  }
  // From here on the model no longer holds its earlier mapping, whatever happens.
  forget_mapping();
  mapping_ = true;
  struct EndOfMapping {
    bool& mapping;
    ~EndOfMapping() { mapping = false; }
  } end_of_mapping{mapping_};

  // The back-end erases what it maps from the list it is given: hand it a copy.
  std::vector<std::shared_ptr<Layer>> remaining = layers_;
  std::vector<std::shared_ptr<Sequence>> mapped;
  const std::unique_ptr<Backend> backend = create_hardware_backend();
  const MappingStatusGroup status = backend->map(&remaining, &mapped, constraints);
  if (status.failed) {
    // Dropping the sequences unmaps their layers again.
    mapped.clear();
    throw std::runtime_error(status.to_string());
  }
  if (!remaining.empty() && !hw_only) mapped.push_back(std::make_shared<SoftwareSequence>(std::move(remaining)));
  sequences_ = std::move(mapped);
  device_ = std::move(device);
}

}  // namespace ovrix::detail

namespace ovrix {

namespace {
BackendFactory& hardware_backend_factory() {
  static BackendFactory factory = nullptr;
  return factory;
}
}  // namespace

void register_hardware_backend_factory(BackendFactory factory) { hardware_backend_factory() = factory; }

std::unique_ptr<Backend> create_hardware_backend() {
  const BackendFactory factory = hardware_backend_factory();
  if (factory == nullptr) throw std::runtime_error("No hardware back-end is registered in this build.");
  return factory();
}

}  // namespace ovrix
