// Python class HardwareDevice and the module function devices(): direct access to the discovered
// devices (program, learning, memory, SoC driver, metrics, power events, fit/forward/predict).
#include "python/hardware_device.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <stdexcept>

#include "mapping/device_discovery.h"
#include "python/bindings.h"
#include "python/device_inference.h"
#include "python/labels.h"
#include "python/tensor_conversion.h"

namespace ovrix::python {

PyHardwareDevice::PyHardwareDevice(std::shared_ptr<Device> device) : inner(std::move(device)) {
  if (!inner || inner->hardware() == nullptr)
    throw std::invalid_argument("A HardwareDevice needs a device with hardware.");
}

const std::vector<std::shared_ptr<PyHardwareDevice>>& hardware_devices() {
  // Built once a discovery completes; a throwing discovery leaves the static unset, so the next call
  // discovers again. Released at exit.
  static const std::vector<std::shared_ptr<PyHardwareDevice>> cache = [] {
    const auto& devices = get_devices();
    std::vector<std::shared_ptr<PyHardwareDevice>> wrappers;
    wrappers.reserve(devices.size());
    for (const auto& device : devices) wrappers.push_back(std::make_shared<PyHardwareDevice>(device));
    return wrappers;
  }();
  return cache;
}

namespace {

using Inputs = py::array_t<uint8_t, py::array::forcecast>;

const char* const fit_doc = "\n        Learn from inputs on a programmed device.\n        ";

std::vector<int32_t> label_of(const NumberLabel& given) {
  const auto label = whole_number_label(given.value);
  if (!label) throw std::invalid_argument("fit method expects integers as labels");
  return {*label};
}

std::vector<int32_t> labels_of(const py::list& labels) {
  try {
    return py::cast<std::vector<int32_t>>(labels);
  } catch (const py::cast_error&) {
    throw std::invalid_argument("fit method expects integers as labels");
  }
}

void program_device(PyHardwareDevice& device, const py::bytes& program) {
  device.hw().unprogram();
  const std::string_view bytes = program;
  device.program_bytes.assign(bytes.begin(), bytes.end());
  device.hw().program(device.program_bytes.data(), device.program_bytes.size());
  device.metrics.set("program_clk", device.hw().program_clock_count());
}

}  // namespace

void init_hardware_device(py::module_& m) {
  py::classh<PyHardwareDevice, Device>(m, "HardwareDevice")
      .def_property(
          "learn_enabled", [](const PyHardwareDevice& d) { return d.hw().learn_enabled(); },
          [](PyHardwareDevice& d, bool enabled) {
            if (d.hw().learn_enabled() != enabled) d.hw().set_learn_enabled(enabled);
          },
          "\n        Property that enables/disables learning on current program (if\n        possible).\n        ")
      .def_property(
          "program",
          [](const PyHardwareDevice& d) -> py::object {
            const auto loaded = d.hw().program();
            if (loaded.data() == nullptr) return py::none();
            return py::bytes(reinterpret_cast<const char*>(loaded.data()), loaded.size());
          },
          &program_device,
          "\n        Property that retrieves current program or programs a device using a\n"
          "        serialized program bytes object.\n        ")
      .def(
          "program_external",
          [](PyHardwareDevice& d, const py::bytes& program_info, uint32_t address) {
            d.hw().unprogram();
            const std::string_view bytes = program_info;
            d.program_bytes.assign(bytes.begin(), bytes.end());
            d.hw().program_external(d.program_bytes.data(), d.program_bytes.size(), address);
            d.metrics.set("program_clk", d.hw().program_clock_count());
          },
          "\n        Program a device using a serialized program info bytes object,\n"
          "        and the address, as it is seen from ovrix on the device,\n"
          "        of corresponding program data that must have been written beforehand.\n        ")
      .def(
          "unprogram",
          [](PyHardwareDevice& d) {
            d.hw().unprogram();
            d.program_bytes.clear();
          },
          "\n        Clear current program from hardware device, restoring its initial\n        state\n        ")
      .def(
          "fit",
          [](PyHardwareDevice& d, const Inputs& inputs, const NumberLabel& label) {
            const auto labels = label_of(label);
            const FitLabels fit_labels{1, [&] { return labels; }};
            return run_device_inference(d, inputs, &fit_labels, InferenceMode::Fit);
          },
          fit_doc, py::arg("inputs"), py::arg("input_labels"))
      .def(
          "fit",
          [](PyHardwareDevice& d, const Inputs& inputs, const LabelArray& labels) {
            return fit_with_numpy_labels(d, inputs, labels.array);
          },
          fit_doc, py::arg("inputs"), py::arg("input_labels"))
      .def(
          "fit",
          [](PyHardwareDevice& d, const Inputs& inputs, const py::list& labels) {
            const std::vector<int32_t> given = labels_of(labels);
            const FitLabels fit_labels{given.size(), [&] { return given; }};
            return run_device_inference(d, inputs, &fit_labels, InferenceMode::Fit);
          },
          fit_doc, py::arg("inputs"), py::arg("input_labels") = py::list())
      .def(
          "forward",
          [](PyHardwareDevice& d, const Inputs& inputs) {
            return run_device_inference(d, inputs, nullptr, InferenceMode::Forward);
          },
          "\n        Processes inputs on a programmed device.\n\n"
          "        :param inputs: ``numpy.ndarray`` with shape matching current program\n\n"
          "        :return: ``numpy.ndarray`` with outputs from the device\n        ")
      .def(
          "predict",
          [](PyHardwareDevice& d, const Inputs& inputs) {
            return run_device_inference(d, inputs, nullptr, InferenceMode::Predict);
          },
          "\n        Processes inputs on a programmed device, returns a float array.\n\n"
          "        :param inputs: ``numpy.ndarray`` with shape matching current program\n\n"
          "        :return: ``numpy.ndarray`` with float outputs from the device\n        ")
      .def_property_readonly(
          "memory",
          [](const PyHardwareDevice& d) {
            const uint64_t memory = d.hw().memory();
            return py::make_tuple(static_cast<uint32_t>(memory), static_cast<uint32_t>(memory >> 32));
          },
          "The device memory usage and top usage (in bytes)")
      .def(
          "reset_top_memory", [](PyHardwareDevice& d) { d.hw().reset_top_memory(); },
          "Reset the device memory informations")
      .def_property_readonly(
          "soc",
          [](PyHardwareDevice& d) -> SocDriver* { return dynamic_cast<SocDriver*>(d.hw().driver()); },
          py::return_value_policy::reference_internal,
          "\n        The SocDriver interface used by the device, or None if the device\n        is not a SoC\n        ")
      .def_property_readonly(
          "metrics", [](PyHardwareDevice& d) -> PyMetrics& { return d.metrics; },
          py::return_value_policy::reference_internal, "The metrics from this device")
      .def_property_readonly(
          "inference_power_events",
          [](const PyHardwareDevice& d) {
            py::list events;
            for (const auto& e : d.power_events) events.append(py::cast(e));
            return events;
          },
          "Copy of power events logged after inference")
      .def_property(
          "learn_mem",
          [](const PyHardwareDevice& d) -> py::object {
            const uint32_t words = d.hw().learn_mem_size();
            std::vector<uint32_t> memory(words);
            d.hw().learn_mem(memory.data());
            if (words == 0) return py::none();
            return py::bytes(reinterpret_cast<const char*>(memory.data()), memory.size() * 4);
          },
          [](PyHardwareDevice& d, const py::bytes& value) {
            const std::string_view bytes = value;
            const size_t words = bytes.size() / 4;
            if (words != d.hw().learn_mem_size()) throw std::runtime_error("Unexpected input buffer size.");
            std::vector<uint32_t> memory(words);
            if (words != 0) std::memcpy(memory.data(), bytes.data(), words * 4);
            d.hw().update_learn_mem(memory.data());
          },
          "\n        Property that retrieves learning layer's memory or updates a device\n"
          "        using a serialized learning layer memory buffer.\n        ")
      .def("__eq__", [](const PyHardwareDevice& self, const Device* other) {
        return other == static_cast<const Device*>(&self);
      });

  m.def(
      "devices",
      [] {
        py::list list;
        for (const auto& device : hardware_devices()) list.append(py::cast(device));
        return list;
      },
      "\n    Returns the full list of available hardware devices\n\n    :return: list of Device\n    ");
}

}  // namespace ovrix::python
