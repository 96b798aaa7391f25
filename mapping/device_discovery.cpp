#include "mapping/device_discovery.h"

#include <fmt/format.h>

#include <cstdint>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>

#include "engine/layer.h"
#include "engine/params.h"
#include "mapping/host_hooks.h"

namespace ovrix {

namespace {

// The one version whose input convolution block can hang until the driver is opened again.
constexpr HwVersion hrc_check_version{0xBC, 0x00, 0x00, 0x02};

void check_ip_version(const Device& device) {
  const HwVersion version = device.version();
  const IpVersion mesh_version = device.mesh().version;
  if (version.get_ip_version() != mesh_version)
    throw std::invalid_argument(fmt::format("Incompatible hardware and Ip versions: HW Version is {} with product id = "
                                            "{} while IP version is {}.",
                                            version.to_string(), version.product_id, to_string(mesh_version)));
}

std::shared_ptr<Device> open_host_device(HardwareDriver* driver) {
  auto device = std::make_shared<HostDevice>(HardwareDevice::create(driver));
  check_ip_version(*device);
  return device;
}

// A tiny input convolution that exercises the HRC.
const std::map<std::string, int>& check_model_params() {
  static const std::map<std::string, int> params = {
      {"input_width", 8},      {"input_height", 8},     {"input_channels", 1},   {"kernel_width", 3},
      {"kernel_height", 3},    {"padding", 1},          {"stride_x", 2},         {"stride_y", 2},
      {"filters", 1},          {"weights_bits", 1},     {"padding_value", 0},    {"activation", 1},
      {"act_bits", 1},         {"pooling_width", 2},    {"pooling_height", 2},   {"pool_type", 1},
      {"pooling_stride_x", 2}, {"pooling_stride_y", 2},
  };
  return params;
}

}  // namespace

HostDevice::HostDevice(std::shared_ptr<HardwareDevice> hardware) : hardware_device(std::move(hardware)) {
  if (!hardware_device) throw std::invalid_argument("A host device needs a hardware device.");
  device_mesh = Mesh::discover(hardware_device.get());
}

std::vector<std::shared_ptr<Device>> populate_devices(const std::vector<HardwareDriver*>& drivers,
                                                      const HrcCheck& hrc_check) {
  std::vector<std::shared_ptr<Device>> devices;
  for (HardwareDriver* driver : drivers) {
    try {
      std::shared_ptr<Device> device = open_host_device(driver);
      if (device->version() == hrc_check_version && hrc_check(device)) {
        // The first device is released once nothing else holds it.
        device = open_host_device(driver);
      }
      devices.push_back(std::move(device));
    } catch (const std::runtime_error& e) {
      std::cout << e.what() << std::endl;
    }
  }
  return devices;
}

std::vector<std::shared_ptr<Device>> populate_devices() { return populate_devices(get_drivers(), hrc_check_timeout); }

const std::vector<std::shared_ptr<Device>>& get_devices() {
  // A throwing initialisation leaves the static unset, so the next call discovers again.
  static const std::vector<std::shared_ptr<Device>> devices = populate_devices();
  return devices;
}

bool hrc_check_timeout(std::shared_ptr<Device> device) {
  std::shared_ptr<Model> model = Model::create();
  const auto params = LayerParams::create(LayerType::InputConvolutional, check_model_params());
  auto layer = Layer::create(params.get(), "inputconv");
  model->add(layer);
  const int8_t ones[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
  layer->variables()->set("weights", std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(ones),
                                                                        sizeof ones, TensorType::int8, Shape{3, 3, 1, 1})));
  model->map(device, true, nullptr);
  const auto input = get_constant_inputs(*model);
  try {
    model->forward(input, 0);
  } catch (const std::exception&) {
    return true;
  }
  return false;
}

std::shared_ptr<Dense> get_constant_inputs(const Model& model) {
  const Shape in = model.input_shape();
  Shape shape{1, in[0], in[1], in[2]};
  for (size_t i = 1; i < 4; ++i)
    if (shape[i] == 0) panic("Cannot have a shape with dimension %zu set to 0", i);
  const uint64_t count = uint64_t{shape[1]} * shape[2] * shape[3];
  constexpr size_t max_count = 4294967295u;
  if (count > max_count)
    panic("Tensor shape size %lu exceeds maximum shape size (%zu)", static_cast<unsigned long>(count), max_count);
  const std::vector<char> ones(count, 1);
  return std::shared_ptr<Dense>(Dense::copy(ones.data(), ones.size(), TensorType::uint8, shape));
}

}  // namespace ovrix
