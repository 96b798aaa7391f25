// LayerParams and the enumerations that describe a layer. Reading a parameter also accepts four
// tuple names that return the two per-axis values together.
#include <pybind11/eval.h>
#include <pybind11/stl.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/enums.h"
#include "engine/params.h"
#include "python/bindings.h"

namespace ovrix::python {

namespace {

// Tuple name -> its per-axis keys, in (x, y) order. Built by a static initialiser when the library
// is loaded, before the interpreter can reach the module, and read-only afterwards.
std::map<std::string, std::vector<std::string>> init_layer_params_key_aliases() {
  static const char* const kernel_size[] = {"kernel_width", "kernel_height"};
  static const char* const kernel_stride[] = {"stride_x", "stride_y"};
  static const char* const pool_size[] = {"pooling_width", "pooling_height"};
  static const char* const pool_stride[] = {"pooling_stride_x", "pooling_stride_y"};
  std::map<std::string, std::vector<std::string>> aliases;
  aliases.emplace("kernel_size", std::vector<std::string>(std::begin(kernel_size), std::end(kernel_size)));
  aliases.emplace("kernel_stride", std::vector<std::string>(std::begin(kernel_stride), std::end(kernel_stride)));
  aliases.emplace("pool_size", std::vector<std::string>(std::begin(pool_size), std::end(pool_size)));
  aliases.emplace("pool_stride", std::vector<std::string>(std::begin(pool_stride), std::end(pool_stride)));
  return aliases;
}

const std::map<std::string, std::vector<std::string>> layer_params_key_aliases = init_layer_params_key_aliases();

// A key the set holds wins over a tuple name of the same name.
py::object lookup(const LayerParams& params, const std::string& key) {
  for (const auto& held : params.keys()) {
    if (held == key) return py::int_(params.get(key));
  }
  if (auto alias = layer_params_key_aliases.find(key); alias != layer_params_key_aliases.end()) {
    py::list values;
    for (const auto& axis_key : alias->second) values.append(py::int_(params.get(axis_key)));
    return values;
  }
  throw std::invalid_argument("Key " + key + " not found");
}

// Enumeration members are instances of their class, whose __doc__ is the class docstring listing
// every member. This descriptor gives a member its own docstring and leaves the class one as it is.
void give_members_their_docstrings(py::handle enum_class) {
  py::dict scope;
  scope["__builtins__"] = py::module_::import("builtins");
  py::exec(R"(
class MemberDoc:
    __slots__ = ("class_doc",)

    def __init__(self, class_doc):
        self.class_doc = class_doc

    def __get__(self, obj, cls=None):
        if obj is None:
            return self.class_doc.__get__(None, cls)
        entry = getattr(type(obj), "__entries").get(obj.name)
        if entry is not None and entry[1]:
            return entry[1]
        return self.class_doc.__get__(None, type(obj))
)",
           scope);
  py::object descriptor = scope["MemberDoc"](enum_class.attr("__dict__")["__doc__"]);
  // Assigning over the class docstring property would call its (missing) setter: replace it instead.
  py::delattr(enum_class, "__doc__");
  py::setattr(enum_class, "__doc__", descriptor);
}

}  // namespace

void init_layer_params(py::module_& m) {
  py::enum_<LayerType>(m, "LayerType", "The layer type")
      .value("Unknown", LayerType::Unknown)
      .value("InputData", LayerType::InputData)
      .value("InputConvolutional", LayerType::InputConvolutional)
      .value("FullyConnected", LayerType::FullyConnected)
      .value("Convolutional", LayerType::Convolutional)
      .value("SeparableConvolutional", LayerType::SeparableConvolutional)
      .value("Add", LayerType::Add)
      .value("Concatenate", LayerType::Concatenate)
      .value("Conv2D", LayerType::Conv2D)
      .value("InputConv2D", LayerType::InputConv2D)
      .value("DepthwiseConv2D", LayerType::DepthwiseConv2D)
      .value("Conv2DTranspose", LayerType::Conv2DTranspose)
      .value("Dequantizer", LayerType::Dequantizer)
      .value("DepthwiseConv2DTranspose", LayerType::DepthwiseConv2DTranspose)
      .value("BufferTempConv", LayerType::BufferTempConv)
      .value("DepthwiseBufferTempConv", LayerType::DepthwiseBufferTempConv)
      .value("StatefulRecurrent", LayerType::StatefulRecurrent)
      .value("Dense1D", LayerType::Dense1D)
      .value("Quantizer", LayerType::Quantizer)
      .value("LumoPostProcessing", LayerType::LumoPostProcessing)
      .export_values();

  auto padding = py::enum_<Padding>(m, "Padding",
                     "Sets the effective padding of the input for convolution, thereby determining the output "
                     "dimensions. Naming conventions are the same as Keras/Tensorflow.")
      .value("Valid", Padding::Valid, "No padding")
      .value("Same", Padding::Same,
             "Padded so that output size is input size divided by the stride. It always produces a bottom right "
             "padding.")
      .value("SameUpper", Padding::SameUpper,
             "Padded so that output size is input size divided by the stride. It always produces a top left padding.")
      .export_values();

  give_members_their_docstrings(padding);

  auto pool_type = py::enum_<PoolType>(m, "PoolType", "The pooling type")
      .value("NoPooling", PoolType::NoPooling, "No pooling applied")
      .value("Max", PoolType::Max, "Maximum pixel value is selected")
      .value("Average", PoolType::Average, "Average pixel value is selected")
      .export_values();

  give_members_their_docstrings(pool_type);

  auto activation_type = py::enum_<ActivationType>(m, "ActivationType", "The activation type")
      .value("NoActivation", ActivationType::NoActivation, "No activation is applied")
      .value("ReLU", ActivationType::ReLU, "ReLU activation is selected")
      .value("LUT", ActivationType::LUT, "LUT activation is selected")
      .export_values();

  give_members_their_docstrings(activation_type);

  py::classh<LayerParams>(m, "LayerParams", "Parameters dictionary for layers")
      .def(py::init([](LayerType layer_type, const std::map<std::string, int>& entries) {
             return LayerParams::create(layer_type, entries);
           }),
           py::arg("layer_type"), py::arg("entries"),
           "\n        Create a generic LayerParams object.\n\n        Args:\n            layer_type (:obj:`LayerType`): "
           "Type of layer.\n            entries (dict): dictionary of key (string) and value (int) pairs.\n    ")
      .def("get", &lookup, py::arg("key"),
           "\n        Retrieve a value from the LayerParams object.\n\n        Args:\n            key (str): key of the "
           "value.\n        Returns:\n            int: value associated to the key.\n        Raises:\n            "
           "ValueError: if the value is not present in the LayerParams object.\n    ")
      .def("__copy__", [](const LayerParams& self) { return LayerParams::clone(&self); })
      .def("__getattr__", &lookup, py::arg("key"))
      .def("__dir__", [](const LayerParams& self) { return self.keys(); })
      .def("has", [](const LayerParams& self, const std::string& key) { return self.has(key); }, py::arg("key"),
           "\n        Check if a key is present in the LayerParams object.\n\n        Args:\n            key (str): key "
           "to be searched.\n        Returns:\n            bool: True if the key is present, otherwise false.\n    ")
      .def_property_readonly("layer_type", [](const LayerParams& self) { return self.layer_type(); });
}

}  // namespace ovrix::python
