// Sequence, Pass and ProgramParts: read-only views of what mapping left in a model. Python never makes
// them; Model.sequences hands out sequences, and a sequence its passes and program parts.
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "engine/sequence.h"
#include "python/bindings.h"

namespace ovrix::python {

namespace {

// A program cut into its two parts, with the bytes copied out of the sequence when the cut is made:
// the engine's cut only points into the sequence's program, which a later mapping may free while
// Python still holds the parts.
struct ProgramPartsCopy {
  std::optional<std::string> program_info;
  std::optional<std::string> program_data;
};

// None for a view without data, else a copy of exactly its bytes.
std::optional<std::string> copy_bytes(std::span<const uint8_t> view) {
  if (view.data() == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(view.data()), view.size());
}

py::object to_bytes(const std::optional<std::string>& bytes) {
  if (!bytes) return py::none();
  return py::bytes(*bytes);
}

}  // namespace

void init_sequence_binding(py::module_& m) {
  py::class_<ProgramPartsCopy>(m, "ProgramParts",
                               "\n      Represents a program split in different parts.\n\n"
                               "      program_info is the program part containing information on how to program the\n"
                               "      device.\n"
                               "      program_data is the program part containing the program data required by ovrix\n"
                               "      to configure the IP.\n")
      .def_property_readonly("program_info", [](const ProgramPartsCopy& self) { return to_bytes(self.program_info); })
      .def_property_readonly("program_data", [](const ProgramPartsCopy& self) { return to_bytes(self.program_data); });

  py::classh<Sequence>(m, "Sequence",
                       "\n          Represents a sequence of layers.\n\n"
                       "          Sequences can be mapped in Software or on a Device.\n          ")
      .def_property_readonly(
          "passes",
          [](const Sequence& self) { return std::vector<std::shared_ptr<Sequence::Pass>>(self.passes()); },
          "Get the list of passes in this sequence.")
      .def_property_readonly(
          "backend", [](const Sequence& self) { return self.backend(); }, "The backend type for this Sequence.")
      .def_property_readonly(
          "program",
          [](const Sequence& self) {
            const auto view = self.program();
            return view.data() ? py::object(py::bytes(reinterpret_cast<const char*>(view.data()), view.size()))
                               : py::object(py::none());
          },
          "\n             Get the hardware program for this sequence.\n\n"
          "             Returns None if the Sequence is not compatible with the selected\n"
          "             Device.\n\n"
          "             :return: a bytes buffer or None\n          ")
      .def_property_readonly(
          "program_parts",
          [](const Sequence& self) {
            const Sequence::ProgramParts parts = self.program_parts();
            return ProgramPartsCopy{copy_bytes(parts.program_info), copy_bytes(parts.program_data)};
          },
          "Get the program, split in different parts")
      .def_property_readonly(
          "name", [](const Sequence& self) { return self.name(); }, "The name of the sequence");

  py::classh<Sequence::Pass>(m, "Pass",
                             "\n      Represents a subset of the Sequence.\n\n"
                             "      Hardware Sequences can typically be split into multiple passes on devices\n"
                             "      that support hardware partial reconfiguration feature, reducing the\n"
                             "      intervention of the software during inference.\n      ")
      .def_property_readonly(
          "layers", [](const Sequence::Pass& self) { return std::vector<std::shared_ptr<Layer>>(self.layers); },
          "Get the list of layers in this pass.");
}

}  // namespace ovrix::python
