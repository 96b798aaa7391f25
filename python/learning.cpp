// Learning parameters: the Optimizer class (a fixed set of named values) and the factory of the
// unsupervised on-chip learning parameters.
#include <pybind11/stl.h>

#include <cstdint>
#include <map>
#include <string>

#include "engine/params.h"
#include "python/bindings.h"

namespace ovrix::python {

namespace {

std::shared_ptr<LearningParams> ovrix_unsupervised(uint32_t num_weights, uint32_t num_classes,
                                                   double initial_plasticity, double learning_competition,
                                                   double min_plasticity, double plasticity_decay) {
  const std::map<std::string, double> values = {
      {"num_weights", static_cast<double>(num_weights)},
      {"num_classes", static_cast<double>(num_classes)},
      {"initial_plasticity", initial_plasticity},
      {"learning_competition", learning_competition},
      {"min_plasticity", min_plasticity},
      {"plasticity_decay", plasticity_decay},
  };
  return LearningParams::create(LearningType::Unsupervised, values);
}

}  // namespace

void init_learning_binding(py::module_& m) {
  py::classh<LearningParams>(m, "Optimizer", "Optimizer generic parameters")
      .def("get", [](const LearningParams& self, const std::string& key) { return self.get(key); }, py::arg("key"),
           "\n        Retrieve a value from the LearningParams object.\n\n        Args:\n            key (str): key of "
           "the value.\n        Returns:\n            int: value associated to the key.\n        Raises:\n            "
           "ValueError: if the value is not present in the LearningParams object.\n    ")
      .def("__copy__", [](const LearningParams& self) { return LearningParams::clone(&self); })
      .def("__getattr__", [](const LearningParams& self, const std::string& key) { return self.get(key); },
           py::arg("key"))
      .def("__dir__", [](const LearningParams& self) { return self.keys(); })
      // No Python class stands for the learning rule: its number (0, unsupervised) is shown as is.
      .def_property_readonly("learning_type",
                             [](const LearningParams& self) { return static_cast<int32_t>(self.learning_type()); });

  m.def("OvrixUnsupervised", &ovrix_unsupervised, py::arg("num_weights"), py::arg("num_classes") = 1u,
        py::arg("initial_plasticity") = 1.0, py::arg("learning_competition") = 0.0,
        py::arg("min_plasticity") = static_cast<double>(0.1f), py::arg("plasticity_decay") = 0.25,
        "\n   Prepare the Ovrix Unsupervised optimizer for learning of the last layer.\n\n   Args:\n       num_weights "
        "(int): number of connections for each neuron.\n       num_classes (int, optional): number of classes when "
        "running in a\n           'labeled mode'.\n       initial_plasticity (float, optional): defines how easily "
        "the weights\n           will change when learning occurs.\n       learning_competition (float, optional): "
        "controls competition between\n           neurons.\n       min_plasticity (float, optional): defines the "
        "minimum level to which\n           plasticity will decay.\n       plasticity_decay (float, optional): "
        "defines the decay of plasticity\n           with each learning step.\n       optimizer(:obj:`ovrix."
        "LearningParams`): the optimizer used for\n           learning\n   ");
}

}  // namespace ovrix::python
