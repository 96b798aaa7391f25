// The NP submodule: how a device's hardware is described to Python. SramSize and Mesh describe a
// whole mesh; Ident, Type, Info, NpSpace, MemoryInfo and Component describe single components.
#include <fmt/format.h>
#include <pybind11/stl.h>

#include <optional>
#include <set>
#include <vector>

#include "mapping/hw_description.h"
#include "mapping/hw_types.h"
#include "mapping/mesh.h"
#include "python/bindings.h"

namespace ovrix::python {

namespace {

py::module_ np_submodule(py::module_& m) { return m.def_submodule("NP", "Neural Processor"); }

// Python's int range of the SramSize constructors is the signed 32-bit one; the fields keep the
// two's-complement bit pattern.
uint32_t as_field(int32_t value) { return static_cast<uint32_t>(value); }

// "(col, row, id)": the channel is not part of the text.
std::string format_ident(const hw::Ident& ident) { return fmt::format("({}, {}, {})", ident.col, ident.row, ident.id); }

py::list to_list(const std::vector<np::Info>& infos) {
  py::list list;
  for (const auto& info : infos) list.append(py::cast(info));
  return list;
}

// Converts every item before anything is stored, so a failed conversion leaves the target unchanged.
std::set<hw::Type> to_type_set(const py::iterable& types) {
  std::set<hw::Type> set;
  for (py::handle item : types) set.insert(item.cast<hw::Type>());
  return set;
}

}  // namespace

void init_np(py::module_& m) {
  py::module_ np_mod = np_submodule(m);

  py::class_<SramSize>(np_mod, "SramSize", "Size of shared SRAM available inside the mesh.\n      ")
      .def(py::init<>())
      .def(py::init([](int32_t input_bytes, int32_t weight_bytes) {
             SramSize size;
             size.input_bytes = as_field(input_bytes);
             size.weight_bytes = as_field(weight_bytes);
             return size;
           }),
           py::arg("input_bytes"), py::arg("weight_bytes"))
      .def(py::init([](int32_t stsram_32b_size, int32_t fsram_64b_size, int32_t tsram_51b_size,
                       int32_t evsram_32b_size) {
             SramSize size;
             size.stsram_32b_size = as_field(stsram_32b_size);
             size.fsram_64b_size = as_field(fsram_64b_size);
             size.tsram_51b_size = as_field(tsram_51b_size);
             size.evsram_32b_size = as_field(evsram_32b_size);
             return size;
           }),
           py::arg("stsram_32b_size"), py::arg("fsram_64b_size"), py::arg("tsram_51b_size"),
           py::arg("evsram_32b_size"))
      .def_readwrite("input_bytes", &SramSize::input_bytes,
                     "Size of shared input packet SRAM available inside the mesh for each two NPs. (Bytes).")
      .def_readwrite("weight_bytes", &SramSize::weight_bytes,
                     "Size of shared filter SRAM available inside the mesh for each two NPs. (Bytes).")
      .def_readwrite("stsram_32b_size", &SramSize::stsram_32b_size, "Size of STSRAM in 32-bit words (Lumo only).")
      .def_readwrite("fsram_64b_size", &SramSize::fsram_64b_size, "Size of FSRAM in 64-bit words (Lumo only).")
      .def_readwrite("tsram_51b_size", &SramSize::tsram_51b_size, "Size of TSRAM in 51-bit words (Lumo only).")
      .def_readwrite("evsram_32b_size", &SramSize::evsram_32b_size, "Size of EVSRAM in 32-bit words (Lumo only).")
      .def(
          "__eq__", [](const SramSize& a, const SramSize& b) { return a == b; }, py::is_operator())
      // The standard rows are read by every new mesh: Python gets a fresh copy on each read, so an
      // assignment to a field of what it holds can never change them.
      .def_property_readonly_static("SramSize_v1", [](const py::object&) { return SramSize_v1; })
      .def_property_readonly_static("SramSize_v2", [](const py::object&) { return SramSize_v2; })
      .def_property_readonly_static("SramSize_lumo", [](const py::object&) { return SramSize_lumo; });

  py::class_<Mesh>(np_mod, "Mesh",
                   "\n    Represents the layout of a mesh of Neural Processors.\n\n"
                   "    Contains configuration and event endpoints related to DMA (Direct Memory Access)\n"
                   "    for managing data transfer across the mesh, HRC availability and sram memory sizes.\n    ")
      .def(py::init([](IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf,
                       std::optional<np::Info> hrc, std::vector<np::Info> nps, std::vector<np::Info> skip_dmas) {
             return Mesh(version, dma_event, dma_conf, std::move(hrc), std::move(nps), std::move(skip_dmas));
           }),
           py::arg("version"), py::arg("dma_event"), py::arg("dma_conf"), py::arg("hrc"), py::arg("nps"),
           py::arg("skip_dmas") = std::vector<np::Info>{})
      // np_sram_size has no default: it is given by keyword unless skip_dmas is given by position.
      .def(py::init([](IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf,
                       std::optional<np::Info> has_hrc, std::vector<np::Info> nps, std::vector<np::Info> skip_dmas,
                       const SramSize& np_sram_size) {
             Mesh mesh(version, dma_event, dma_conf, std::move(has_hrc), std::move(nps), std::move(skip_dmas));
             mesh.np_sram_size = np_sram_size;
             return mesh;
           }),
           py::arg("version"), py::arg("dma_event"), py::arg("dma_conf"), py::arg("has_hrc"), py::arg("nps"),
           py::arg("skip_dmas") = std::vector<np::Info>{}, py::arg("np_sram_size"))
      .def_readwrite("dma_event", &Mesh::dma_event, "DMA event endpoint")
      .def_readwrite("dma_conf", &Mesh::dma_conf, "DMA configuration endpoint")
      // hrc, skip_dmas and nps read as copies: assigning one of them replaces the entries a view
      // would point into.
      .def_property(
          "hrc", [](const Mesh& mesh) { return mesh.hrc; },
          [](Mesh& mesh, std::optional<np::Info> hrc) { mesh.hrc = std::move(hrc); }, "HRC if installed.")
      .def_property(
          "skip_dmas", [](const Mesh& mesh) { return to_list(mesh.skip_dmas); },
          [](Mesh& mesh, std::vector<np::Info> skip_dmas) { mesh.skip_dmas = std::move(skip_dmas); }, "Skip DMAs")
      .def_property(
          "nps", [](const Mesh& mesh) { return to_list(mesh.nps); },
          [](Mesh& mesh, std::vector<np::Info> nps) { mesh.nps = std::move(nps); }, "Neural processors")
      .def_readwrite("np_sram_size", &Mesh::np_sram_size, "Size of shared SRAM available inside the mesh for NPs.")
      .def(
          "__eq__", [](const Mesh& a, const Mesh& b) { return a == b; }, py::is_operator());
}

void init_np_binding(py::module_& m) {
  py::module_ np_mod = np_submodule(m);

  py::class_<hw::Ident>(np_mod, "Ident",
                        "\n    Represents the unique identifier for a Hardware Component.\n\n"
                        "    This includes the component position on the mesh (row, column, id) and\n"
                        "    the channel index for skip DMAs.")
      .def(py::init([](uint8_t col, uint8_t row, uint8_t id) { return hw::Ident(col, row, id); }))
      .def(py::init([](uint8_t col, uint8_t row, uint8_t id, uint8_t channel) {
        return hw::Ident(col, row, id, channel);
      }))
      .def_readwrite("col", &hw::Ident::col, "Hardware Component column number")
      .def_readwrite("row", &hw::Ident::row, "Hardware Component row number")
      .def_readwrite("id", &hw::Ident::id, "Hardware Component id")
      .def_readwrite("channel", &hw::Ident::channel, "Component channel")
      .def("__str__", &format_ident)
      .def("__repr__", &format_ident)
      .def(
          "__eq__", [](const hw::Ident& a, const hw::Ident& b) { return a == b; }, py::is_operator());

  py::enum_<hw::Type>(np_mod, "Type", "Harwdare Component type")
      .value("HRC", hw::Type::HRC, "High Resolution Convolution")
      .value("CNP1", hw::Type::CNP1, "Convolutional Neural Processor Type 1")
      .value("CNP2", hw::Type::CNP2, "Convolutional Neural Processor Type 2")
      .value("FNP2", hw::Type::FNP2, "FullyConnected Neural Processor (external memory)")
      .value("FNP3", hw::Type::FNP3, "FullyConnected Neural Processor (internal memory)")
      .value("TNP_B", hw::Type::TNP_B, "Temporal Neural Processor Buffered")
      .value("TNP_R", hw::Type::TNP_R, "Temporal Neural Processor Recurrent")
      .value("SKIP_DMA_STORE", hw::Type::SKIP_DMA_STORE, "Skip DMA store engine")
      .value("SKIP_DMA_LOAD", hw::Type::SKIP_DMA_LOAD, "Skip DMA load engine")
      .export_values();

  py::class_<np::Info>(np_mod, "Info",
                       "\n        Describes a hardware component.\n\n"
                       "        Includes its unique identifier and the set of hardware types it supports.\n        ")
      .def_readwrite("ident", &np::Info::ident, "Hardware Component identifier")
      .def_property(
          "types",
          [](const np::Info& info) {
            py::list list;
            for (hw::Type type : info.types) list.append(py::cast(type));
            return list;
          },
          [](np::Info& info, const py::iterable& types) { info.types = to_type_set(types); },
          "Hardware Component supported types")
      .def_readwrite("has_lut", &np::Info::has_lut, "Indicate whether the NP has a lookup table.")
      .def(py::init([](const hw::Ident& ident, const py::iterable& types, bool has_lut) {
             return np::Info(ident, to_type_set(types), has_lut);
           }),
           py::arg("ident"), py::arg("types"), py::arg("has_lut") = false)
      .def_static("hrc", &np::Info::hrc, py::arg("has_lut"), "Construct an ovrix.NP.Info for HRC with optional LUT.")
      .def(
          "__eq__", [](const np::Info& a, const np::Info& b) { return a == b; }, py::is_operator());

  py::class_<NpSpace>(np_mod, "NpSpace",
                      "\n      Represents the part of the input used by this Neural Processor if a layer is split over "
                      "several NPs.")
      .def_readonly("x", &NpSpace::x, "X index")
      .def_readonly("y", &NpSpace::y, "Y index")
      .def_property_readonly(
          "shape",
          [](const NpSpace& space) {
            py::list list;
            for (size_t i = 0; i < space.shape.size(); ++i) list.append(space.shape[i]);
            return list;
          },
          "Shape of the space")
      .def(py::init<>());

  py::class_<MemoryInfo>(np_mod, "MemoryInfo",
                         "Represents memory usage information for a Hardware Component.\n\n"
                         "      This includes memory used by inputs, weights, and any external buffers.\n"
                         "      All sizes are in bytes.\n      ")
      .def(py::init<>())
      .def_readonly("input_size", &MemoryInfo::input_size, "Input memory size. (Bytes)")
      .def_readonly("weight_size", &MemoryInfo::weight_size, "Weight memory size. (Bytes)")
      .def_readonly("external_size", &MemoryInfo::external_size, "External memory size. (Bytes)")
      .def_readonly("stsram_32b_size", &MemoryInfo::stsram_32b_size, "Stsram size for Lumo. (Number of 32-bits words)")
      .def_readonly("fsram_64b_size", &MemoryInfo::fsram_64b_size, "Fsram Lumo memory size. (Number of 64-bits words)")
      .def_readonly("tsram_51b_size", &MemoryInfo::tsram_51b_size, "Tsram Lumo memory size. (Number of 51-bits words)")
      .def_readonly("evsram_32b_size", &MemoryInfo::evsram_32b_size,
                    "Evsram Lumo memory size. (Number of 32-bits words)")
      .def(
          "__eq__", [](const MemoryInfo& a, const MemoryInfo& b) { return a == b; }, py::is_operator());

  // Components are made by the mapping core only: no constructor.
  py::class_<hw::Component>(np_mod, "Component", "\n      An Ovrix component")
      .def_readonly("ident", &hw::Component::ident, "Hardware Component identifier")
      .def_property_readonly(
          "type", [](const hw::Component& c) { return c.type; }, "Hardware Component type")
      .def_readonly("mem_info", &hw::Component::mem_info, "Hardware Component memory information")
      .def_property_readonly(
          "filters", [](const hw::Component& c) { return c.filters(); },
          "Number of filters processed by the Neural Processor")
      .def_property_readonly(
          "start_neuron", [](const hw::Component& c) { return c.start_neuron(); },
          "Index of the first filter processed by the Neural Processor")
      .def_property_readonly(
          "spatial_partition", [](const hw::Component& c) { return c.np ? c.np->spatial_partition : NpSpace(); },
          "Spatial partition processed by the Neural Processor")
      .def_property_readonly(
          "single_buffer", [](const hw::Component& c) { return c.single_buffer(); },
          "Neural Processor uses a single or dual input buffer")
      .def(
          "__eq__", [](const hw::Component& a, const hw::Component& b) { return a == b; }, py::is_operator());
}

}  // namespace ovrix::python
