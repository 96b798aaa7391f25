// Python class MapConstraints: the user's mapping limits, and the two hooks of the NP allocator that a
// Python subclass may override.
#include <pybind11/stl.h>

#include "engine/device.h"
#include "mapping/map_constraints.h"
#include "python/bindings.h"

namespace ovrix::python {

namespace {

// Dispatches the hooks to a Python subclass's methods of the same names (next_layer_handler,
// select_nps) when it defines them; the overriding macros take the interpreter lock for the call.
class PyMapConstraints : public MapConstraints, public py::trampoline_self_life_support {
 public:
  using MapConstraints::MapConstraints;

  void next_layer_handler(const std::string& layer_name) const override {
    PYBIND11_OVERRIDE(void, MapConstraints, next_layer_handler, layer_name);
  }

  std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& available, uint64_t count,
                                    hw::Type type) const override {
    PYBIND11_OVERRIDE(std::vector<hw::Ident>, MapConstraints, select_nps, available, count, type);
  }
};

}  // namespace

void init_map_constraints(py::module_& m) {
  py::classh<MapConstraints, PyMapConstraints>(m, "MapConstraints")
      .def(py::init<const std::shared_ptr<Device>&>(), py::arg("device"),
           "Obtain hardware constraints from a device.\n\n"
           "        Args:\n"
           "            device(ovrix.device): the device.\n        ")
      .def_property_readonly("cnp_max_width_default", &MapConstraints::cnp_max_width_default,
                             "The maximal width to map a CNP.\n\n"
                             "        Returns:\n"
                             "            int: the maximal witdh\n        ")
      .def_property_readonly("cnp_max_height_default", &MapConstraints::cnp_max_height_default,
                             "The maximal height to map a CNP.\n\n"
                             "        Returns:\n"
                             "            int: the maximal height\n        ")
      .def_property_readonly("cnp_max_filters_default", &MapConstraints::cnp_max_filters_default,
                             "The maximal filters number to map a CNP.\n\n"
                             "        Returns:\n"
                             "            int: the maximal height\n        ")
      .def_property_readonly("device", &MapConstraints::device,
                             "Return the device used.\n\n"
                             "        Returns:\n"
                             "            :obj:`ovrix.device`: the device.\n        ")
      .def_property("cnp_max_width", &MapConstraints::cnp_max_width, &MapConstraints::set_cnp_max_width,
                    "The width to use to map a CNP.")
      .def_property("cnp_max_height", &MapConstraints::cnp_max_height, &MapConstraints::set_cnp_max_height,
                    "The height to use to map a CNP.")
      .def_property("cnp_max_filters", &MapConstraints::cnp_max_filters, &MapConstraints::set_cnp_max_filters,
                    "The filters number to use to map a CNP.")
      .def_property("hwpr_loopitself", &MapConstraints::hwpr_loopitself, &MapConstraints::set_hwpr_loopitself,
                    "The HWPR NP loopitself feature.")
      .def("next_layer", &MapConstraints::next_layer_handler, py::arg("layer_name"),
           "Callback on the layer mapping.\n\n"
           "        Args:\n"
           "            layer_name (str): the layer name\n        ")
      .def("select_nps", &MapConstraints::select_nps, py::arg("source_nps"), py::arg("num_nps"), py::arg("type"),
           "Selection from a predefined list of NPs.\n\n"
           "        Args:\n"
           "            source_nps (:obj:`list`): the predefined list of NPs\n"
           "            num_nps (int): the number of NPs needed\n"
           "            type (:obj:`ovrix.NP.Type`): the type of NPs\n\n"
           "        Returns:\n"
           "            :obj:`list`: the selected list of NPs\n        ");
}

}  // namespace ovrix::python
