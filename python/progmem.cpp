// ProgramMemoryRequired and get_program_memory_infos: the host memory a device program needs.
#include <fmt/format.h>

#include <cstdint>
#include <string>

#include "engine/program_info.h"
#include "python/bindings.h"

namespace ovrix::python {

namespace {

struct ProgramMemoryRequired {
  uint64_t input_memory = 0;
  uint64_t input_descriptor_memory = 0;
  uint64_t output_memory = 0;
  uint64_t program_memory = 0;
  uint64_t extra_program_memory = 0;
  uint64_t program_descriptors_memory = 0;
};

std::string repr(const ProgramMemoryRequired& m) {
  return fmt::format(
      "<ovrix.ProgramMemoryRequired(input_memory={}B, input_descriptor_memory={}B, output_memory={}B, "
      "program_memory={}B, extra_program_memory={}B, program_descriptors_memory={}B)>",
      m.input_memory, m.input_descriptor_memory, m.output_memory, m.program_memory, m.extra_program_memory,
      m.program_descriptors_memory);
}

ProgramMemoryRequired program_memory_infos(const py::bytes& program) {
  // A private copy: the view below must see the same bytes until the last query has returned.
  const std::string bytes = program;
  const ProgramInfo info(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  ProgramMemoryRequired result;
  result.input_memory = input_memory_required(info);
  result.input_descriptor_memory = input_descriptor_memory_required(info);
  result.output_memory = output_memory_required(info);
  result.program_memory = program_data_memory_required(info);
  result.extra_program_memory = extra_program_memory_required(info);
  result.program_descriptors_memory = program_descriptors_memory_required(info);
  return result;
}

}  // namespace

void init_progmem_binding(py::module_& m) {
  py::class_<ProgramMemoryRequired>(m, "ProgramMemoryRequired")
      .def_readonly("input_memory", &ProgramMemoryRequired::input_memory, "memory required (in bytes) for one input")
      .def_readonly("input_descriptor_memory", &ProgramMemoryRequired::input_descriptor_memory,
                    "memory required (in bytes) for one input descriptor")
      .def_readonly("output_memory", &ProgramMemoryRequired::output_memory, "memory required (in bytes) for one output")
      .def_readonly("program_memory", &ProgramMemoryRequired::program_memory, "memory required (in bytes) for program")
      .def_readonly("extra_program_memory", &ProgramMemoryRequired::extra_program_memory)
      .def_readonly("program_descriptors_memory", &ProgramMemoryRequired::program_descriptors_memory,
                    "memory required (in bytes) for program descriptors")
      .def("__repr__", &repr);

  m.def("get_program_memory_infos", &program_memory_infos, "Get the memory requirements for the given program");
}

}  // namespace ovrix::python
