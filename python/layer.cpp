// Layer: a layer of the engine, shared between Python, models and other layers; and Layer.Mapping,
// where a mapped layer sits on the hardware.
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "mapping/hw_description.h"
#include "mapping/hw_types.h"
#include "mapping/layer_mapping.h"
#include "python/bindings.h"

namespace ovrix::python {

namespace {

// NP hardware type (1..10) -> the coarse component kind a layer answers about; anything else is 0.
constexpr uint32_t target_kind_of_type[10] = {
    1,  // HRC
    2,  // CNP1
    2,  // CNP2
    3,  // FNP2
    3,  // FNP3
    4,  // SKIP_DMA_STORE
    5,  // TNP_B
    6,  // TNP_R
    4,  // SKIP_DMA_LOAD
    7,  // DMA
};

hw::TargetKind target_kind(hw::Type type) {
  const auto number = static_cast<uint32_t>(type);
  if (number < 1 || number > 10) return hw::TargetKind::None;
  return static_cast<hw::TargetKind>(target_kind_of_type[number - 1]);
}

py::list dims_to_list(const Shape& shape) {
  py::list dims;
  for (size_t i = 0; i < shape.size(); ++i) dims.append(py::int_(shape[i]));
  return dims;
}

py::list input_dimensions(const Layer& layer) {
  const std::vector<Shape> shapes = layer.input_dimensions();
  if (shapes.size() == 1) return dims_to_list(shapes[0]);
  py::list all;
  for (const auto& shape : shapes) all.append(dims_to_list(shape));
  return all;
}

}  // namespace

void init_layer(py::module_& m) {
  py::classh<Layer> layer(m, "Layer");

  // Each read copies the components: what Python changes on them never reaches the mapping. Only the
  // mapping core's layer mappings list components; any other mapping shows none.
  py::classh<Layer::Mapping>(layer, "Mapping", "The mapping of a Layer on one or more Neural Processors.")
      .def_property_readonly(
          "nps",
          [](const Layer::Mapping& self) {
            std::vector<hw::Component> nps;
            if (const auto* mapping = dynamic_cast<const LayerMapping*>(&self); mapping && mapping->nps) {
              nps = *mapping->nps;
            }
            return nps;
          },
          "a list of ``NP.Component`` objects.")
      .def_property_readonly(
          "skipdma_loads",
          [](const Layer::Mapping& self) {
            std::vector<hw::Component> loads;
            if (const auto* mapping = dynamic_cast<const LayerMapping*>(&self)) {
              if (const hw::Component* load = mapping->skipdma_load()) loads.push_back(*load);
            }
            return loads;
          },
          "a list of ``NP.Component`` objects.")
      .def_property_readonly(
          "skipdma_stores",
          [](const Layer::Mapping& self) {
            std::vector<hw::Component> stores;
            if (const auto* mapping = dynamic_cast<const LayerMapping*>(&self)) {
              if (const hw::Component* store = mapping->skipdma_store()) stores.push_back(*store);
              if (const hw::Component* dual = mapping->skipdma_store_dual_output()) stores.push_back(*dual);
            }
            return stores;
          },
          "a list of ``NP.Component`` objects.");

  layer
      .def(py::init([](const LayerParams& params, const std::string& name) { return Layer::create(&params, name); }),
           py::arg("params"), py::arg("name"))
      .def("is_target_component",
           [](const Layer& self, hw::Type hw_type) { return self.is_target_component(target_kind(hw_type)); },
           py::arg("hw_type"), "Checks whether the layer can be mapped on the specified hardware component type. ")
      .def_property_readonly("name", &Layer::get_name, "The layer name.")
      .def_property_readonly("macs", &Layer::macs, "The number of multiply-accumulate operations.")
      .def_property_readonly("input_dims", &input_dimensions, "The layer input dimensions.")
      .def_property_readonly("output_dims", [](const Layer& self) { return dims_to_list(self.output_dimensions()); },
                             "The layer output dimensions.")
      // The variables and parameters belong to the layer: the Python objects handed out keep the
      // layer's Python object (and so the layer) alive while they are in use.
      .def_property_readonly("variables", py::cpp_function(&Layer::variables, py::keep_alive<0, 1>()),
                             "The layer trainable variables.")
      .def_property_readonly("parameters", &Layer::params, py::return_value_policy::reference_internal,
                             "The layer parameters set.")
      .def_property_readonly("input_bits", &Layer::input_bits, "The layer input bits.")
      .def_property_readonly("output_signed", &Layer::output_signed, "Whether output is signed or not.")
      .def_property_readonly(
          "inbounds", [](const Layer& self) { return std::vector<std::shared_ptr<Layer>>(self.inbound_layers()); },
          "The layer inbound layers.")
      .def_property_readonly("mapping", &Layer::mapping, "The layer hardware mapping.")
      .def_property_readonly("splittable", &Layer::splittable, "The layer is splittable.");
}

}  // namespace ovrix::python
