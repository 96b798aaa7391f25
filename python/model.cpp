// The Python class Model: construction, loading and saving, editing, and the read-only views of the
// engine model.
#include "python/model.h"

#include <pybind11/stl.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <snappy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <stdexcept>

#include "engine/device.h"
#include "engine/sequence.h"
#include "engine/tensor.h"
#include "mapping/hw_description.h"
#include "mapping/layer_mapping.h"
#include "mapping/map_constraints.h"
#include "python/bindings.h"
#include "python/model_docs.h"

namespace ovrix::python {

namespace {

// The most output a raw snappy block of n bytes can describe: the densest element is a 3-byte copy
// of 64 bytes. A larger announced length can only come from a corrupted file, and is refused before
// anything that size is allocated.
uint64_t max_uncompressed_length(size_t compressed) { return uint64_t(compressed) * 64 / 3; }

// The C library would read a path only up to its first NUL byte: "m.fbz\0.bak" would be "m.fbz".
void check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
}

// Writes all the bytes to an open descriptor; false on the first error.
bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The path whose file a save replaces: a symbolic link is followed, so that the link stays and the
// file it names is replaced.
std::filesystem::path replaced_path(const std::string& filename) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::is_symlink(fs::symlink_status(filename, error))) return filename;
  fs::path resolved = fs::weakly_canonical(filename, error);
  return error ? fs::path(filename) : resolved;
}

std::string unable_to_open(const std::string& filename) { return "Unable to open file for saving model: " + filename; }

// Whether the file could be opened for writing, tried without truncating it: a file the user made
// read-only is not replaced even where its directory would let a new file take its place. A missing file
// passes: whether it can be made is seen when it is.
bool opens_for_writing(const std::string& filename) {
  const int fd = ::open(filename.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  return errno == ENOENT;
}

// Writes the bytes into the file itself, truncated first: what is left where no new file can be made
// beside it or renamed over it. A failure part-way leaves the file partly written.
void write_in_place(const std::string& filename, const char* data, size_t size) {
  const int fd = ::open(filename.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) throw std::invalid_argument(unable_to_open(filename));
  const bool written = write_all(fd, data, size) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) throw std::invalid_argument(unable_to_open(filename));
}

// Writes the bytes in place of the file: into a new file beside it, flushed to the disk, then renamed
// over it, so that a write that fails part-way (disk full, file-size limit) leaves the old file as it
// was and no partial file behind. Something that exists but is no regular file (a device such as
// /dev/null, a pipe) cannot be replaced by a rename and is written directly; so is a file whose
// directory takes no new entry, or whose name cannot be renamed over (a file mounted on its own).
void replace_file(const std::string& filename, const char* data, size_t size) {
  namespace fs = std::filesystem;
  const fs::path target = replaced_path(filename);
  std::error_code error;
  const fs::file_status status = fs::status(target, error);
  const bool exists = fs::exists(status);
  if (exists && !fs::is_regular_file(status)) {
    std::ofstream file(filename, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!file.is_open()) throw std::invalid_argument(unable_to_open(filename));
    file.write(data, static_cast<std::streamsize>(size));
    file.close();
    if (file.fail()) throw std::runtime_error("Unable to write model file: " + filename);
    return;
  }
  // Opened and closed by a probe, a pipe would end for its reader: only a file is tried first.
  if (!opens_for_writing(filename)) throw std::invalid_argument(unable_to_open(filename));

  // A path without a file name ("", "dir/") names nothing a file could replace.
  if (target.filename().empty()) throw std::invalid_argument(unable_to_open(filename));

  // A new name in the same directory (a rename does not cross file systems); the kernel applies the
  // umask to 0666 as it would for the file itself.
  static std::atomic<uint64_t> counter{0};
  const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
  fs::path temporary;
  int fd = -1;
  int create_error = 0;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    const uint64_t tag = (uint64_t(::getpid()) << 32) ^ (counter++ * 0x9E3779B97F4A7C15ull) ^ uint64_t(attempt);
    temporary = directory / ("." + target.filename().string() + "." + fmt::format("{:016x}", tag) + ".tmp");
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    create_error = fd < 0 ? errno : 0;
    if (fd < 0 && create_error != EEXIST) break;
  }
  if (fd < 0) {
    // The directory refuses new entries, but the file itself may still be written.
    if (create_error == EACCES || create_error == EPERM || create_error == EROFS) {
      write_in_place(filename, data, size);
      return;
    }
    throw std::invalid_argument(unable_to_open(filename));
  }

  // The replacement keeps the mode (and, where permitted, the owner) of the file it replaces.
  struct stat old {};
  if (exists && ::stat(target.c_str(), &old) == 0) {
    // Only a privileged process may give a file away; otherwise it is the caller's, as a new one would be.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) errno = 0;
    (void)::fchmod(fd, old.st_mode & 07777);  // after the owner, which may clear set-id bits
  }
  const bool written = write_all(fd, data, size) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    ::unlink(temporary.c_str());
    throw std::runtime_error("Unable to write model file: " + filename);
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    const int rename_error = errno;
    ::unlink(temporary.c_str());
    // The name cannot be renamed over (a mount point, a sticky directory, another file system): the
    // file is written where it lies.
    if (rename_error == EBUSY || rename_error == EXDEV || rename_error == EPERM) {
      write_in_place(filename, data, size);
      return;
    }
    throw std::runtime_error("Unable to write model file: " + filename);
  }
  // The rename itself reaches the disk with the directory.
  const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
}

}  // namespace

std::vector<char> read_model_file(const std::string& filename) {
  check_path(filename);
  // A directory opens for reading on Linux but holds no file.
  std::error_code error;
  if (std::filesystem::is_directory(filename, error)) throw std::runtime_error("File not found.");
  std::ifstream file(filename, std::ios::in | std::ios::binary);
  if (!file.is_open() || !file.good()) throw std::runtime_error("File not found.");
  file.seekg(0, std::ios::end);
  const std::streamoff end = file.tellg();
  // Model files are at most 2^31 - 1 bytes long.
  if (end > std::numeric_limits<int32_t>::max()) throw std::runtime_error("File is too large.");
  const auto length = static_cast<int32_t>(end);
  if (length <= 0) throw std::runtime_error("File is empty.");
  file.seekg(0, std::ios::beg);
  std::vector<char> compressed(static_cast<size_t>(length), 0);
  file.read(compressed.data(), length);
  if (file.gcount() != length) throw std::runtime_error("Unable to read model file: " + filename);

  size_t uncompressed_length = 0;
  if (!snappy::GetUncompressedLength(compressed.data(), compressed.size(), &uncompressed_length) ||
      uncompressed_length > max_uncompressed_length(compressed.size())) {
    throw std::invalid_argument("Cannot uncompress corrupted serialization buffer");
  }
  std::vector<char> serialized(uncompressed_length, 0);
  // Bytes after the block make RawUncompress report a failure although the block decoded fully, so
  // the flag is not the test of the content: Model::from_buffer refuses anything that is not one
  // complete, valid serialized model.
  if (uncompressed_length > 0) {
    (void)snappy::RawUncompress(compressed.data(), compressed.size(), serialized.data());
  }
  return serialized;
}

void write_model_file(const std::string& filename, const std::vector<uint8_t>& serialized) {
  check_path(filename);
  // Snappy block lengths are 32-bit, and the loader reads files of at most 2^31 - 1 bytes.
  if (serialized.size() > std::numeric_limits<uint32_t>::max()) {
    throw std::runtime_error("The model is too large to be saved.");
  }
  std::string compressed(snappy::MaxCompressedLength(serialized.size()), '\0');
  size_t compressed_length = 0;
  snappy::RawCompress(reinterpret_cast<const char*>(serialized.data()), serialized.size(), compressed.data(),
                      &compressed_length);
  if (compressed_length > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::runtime_error("The model is too large to be saved.");
  }

  replace_file(filename, compressed.data(), compressed_length);
}

PyModel::PyModel(const std::string& filename) {
  const std::vector<char> serialized = read_model_file(filename);
  model_ = Model::from_buffer(serialized.data(), serialized.size());
  if (!model_) throw std::runtime_error("Unable to load model file: " + filename);
}

PyModel::PyModel(const std::vector<std::shared_ptr<Layer>>& layers) : model_(Model::create()) {
  if (layers.empty()) return;
  for (const auto& layer : layers) {
    if (!layer) throw std::runtime_error("Invalid layer received");
  }

  const auto& first = layers.front();
  if (!first->is_input_layer()) {
    const std::vector<Shape> inputs = first->input_dimensions();
    if (inputs.empty() || inputs.front().size() < 3) {
      throw std::invalid_argument("Cannot add an input layer before " + first->get_name() +
                                  ": its input does not have three dimensions.");
    }
    const Shape& input = inputs.front();
    const uint8_t bits = first->input_bits();
    const bool is_signed = bits > 7 && first->ip_version() != IpVersion::v1;
    // Dimensions above 2^31 - 1 do not fit a parameter value.
    for (size_t i = 0; i < 3; ++i) {
      if (input[i] > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        throw std::invalid_argument("Cannot add an input layer before " + first->get_name() +
                                    ": its input dimensions are too large.");
      }
    }
    const auto params = LayerParams::create(LayerType::InputData, {
                                                                      {"input_width", int(input[0])},
                                                                      {"input_height", int(input[1])},
                                                                      {"input_channels", int(input[2])},
                                                                      {"input_bits", int(bits)},
                                                                      {"input_signed", is_signed ? 1 : 0},
                                                                  });
    model_->add(Layer::create(params.get(), "InputData"), {});
  }

  for (size_t i = 0; i < layers.size(); ++i) {
    const auto& listed = layers[i];
    auto copy = Layer::create(listed->params(), listed->get_name());
    std::vector<std::shared_ptr<Layer>> inbounds;
    if (i > 0) {
      for (const auto& inbound : listed->inbound_layers()) inbounds.push_back(model_->get_layer(inbound->get_name()));
    }
    model_->add(copy, inbounds);
    if (listed->is_learning()) {
      const auto learning = listed->learning_params();
      if (!learning) throw std::runtime_error("The layer " + listed->get_name() + " learns but has no learning parameters.");
      model_->compile(*learning);
    }
    const auto from = listed->variables();
    const auto to = copy->variables();
    // The tensors are shared, not duplicated: setting a variable replaces its tensor, never writes into it.
    for (const auto& name : from->names()) to->set(name, from->get(name));
  }
}

void PyModel::add(std::shared_ptr<Layer> layer, const std::vector<std::shared_ptr<Layer>>& inbound_layers) {
  model_->add(std::move(layer), inbound_layers);
}

void PyModel::pop_layer() { model_->pop_layer(); }

void PyModel::compile(const LearningParams& optimizer) { model_->compile(optimizer); }

py::bytes PyModel::to_buffer() const {
  const std::vector<uint8_t> bytes = model_->to_buffer();
  return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void PyModel::save_model_file(const std::string& model_file) const { write_model_file(model_file, model_->to_buffer()); }

namespace {

bool is_signed_byte_type(TensorType type) {
  return type == TensorType::int8 || type == TensorType::int4 || type == TensorType::int2 || type == TensorType::bit;
}

// A copy of the new layer's tensor with the old layer's values carried over: for "weights", each
// input's run of old neurons (dimension 0, contiguous) at the start of the same input's run; for any
// other variable, the old bytes at the start.
std::shared_ptr<Dense> carry_over(const std::string& name, const Dense& old, const Dense& current) {
  const auto current_bytes = current.data();
  auto fresh = std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(current_bytes.data()),
                                                  current_bytes.size(), current.type(), current.shape(),
                                                  static_cast<Dense::Layout>(current.layout())));
  const auto from = old.data();
  auto to = fresh->mutable_data();
  if (name == "weights") {
    (void)old.data_as<int8_t>();
    (void)fresh->mutable_data_as<int8_t>();
    const Shape old_shape = old.shape();
    const uint64_t neurons = old_shape[0];
    const uint64_t inputs = old_shape.size() > 1 ? old_shape[1] : 0;
    const auto old_strides = old.strides();
    const auto new_strides = fresh->strides();
    if (old_strides.size() < 2 || new_strides.size() < 2) return fresh;
    for (uint64_t j = 0; j < inputs; ++j) {
      const uint64_t src = j * old_strides[1];
      const uint64_t dst = j * new_strides[1];
      if (src + neurons > from.size() || dst + neurons > to.size()) {
        throw std::runtime_error("Cannot carry the weights of the last layer over: their shapes do not match.");
      }
      std::memcpy(to.data() + dst, from.data() + src, neurons);
    }
  } else {
    std::memcpy(to.data(), from.data(), std::min(from.size(), to.size()));
  }
  return fresh;
}

}  // namespace

void PyModel::add_classes(int32_t num_add_classes) {
  if (num_add_classes < 1) throw std::invalid_argument("The number of classes to add must be positive.");
  // With no layer the index wraps to the largest value, which names no layer.
  const auto last = model_->get_layer(model_->layer_count() - 1);
  if (!last) throw std::runtime_error("The model must have at least one layer.");
  const LayerParams& params = *last->params();
  if (params.layer_type() != LayerType::FullyConnected) {
    throw std::runtime_error("The last layer must be a FullyConnected layer.");
  }
  const auto learning = model_->learning();
  if (!learning) throw std::runtime_error("The last layer must be compiled.");

  std::map<std::string, double> values;
  for (const auto& key : learning->keys()) values[key] = learning->get(key);
  const double classes = values["num_classes"];
  // The neurons per class are units / classes: without a positive class count there is no such number.
  if (!(classes > 0) || !std::isfinite(classes)) {
    throw std::invalid_argument("The learning parameter num_classes must be positive.");
  }
  const int32_t units = params.get("units");
  values["num_classes"] = classes + num_add_classes;
  const double per_class = std::trunc(static_cast<double>(units) / classes);
  const double new_units = static_cast<double>(units) + per_class * num_add_classes;
  if (!(new_units >= 1 && new_units <= std::numeric_limits<int32_t>::max())) {
    throw std::invalid_argument("The number of units of the last layer after adding classes is out of range.");
  }

  // Everything that can be refused is prepared before the model changes.
  const auto new_learning = LearningParams::create(learning->learning_type(), values);
  const auto new_params = LayerParams::create(LayerType::FullyConnected, {
                                                                             {"units", static_cast<int>(new_units)},
                                                                             {"weights_bits", params.get("weights_bits")},
                                                                             {"activation", params.get("activation")},
                                                                             {"act_bits", params.get("act_bits")},
                                                                         });
  const auto layer = Layer::create(new_params.get(), last->get_name());
  const auto old_variables = last->variables();
  const std::vector<std::string> names = old_variables->names();
  std::vector<std::shared_ptr<Dense>> old_tensors;
  for (const auto& name : names) {
    auto tensor = old_variables->get(name);
    if (!tensor) throw std::runtime_error("The last layer has no variable " + name + ".");
    if (name == "weights" && !is_signed_byte_type(tensor->type())) (void)tensor->data_as<int8_t>();
    old_tensors.push_back(std::move(tensor));
  }
  const std::vector<std::shared_ptr<Layer>> old_inbounds = last->inbound_layers();

  model_->pop_layer();
  bool added = false;
  try {
    model_->add(layer, {});
    added = true;
    model_->compile(*new_learning);
    const auto new_variables = layer->variables();
    std::vector<std::shared_ptr<Dense>> fresh;
    for (size_t i = 0; i < names.size(); ++i) {
      const auto current = new_variables->get(names[i]);
      if (!current) throw std::runtime_error("The new last layer has no variable " + names[i] + ".");
      fresh.push_back(carry_over(names[i], *old_tensors[i], *current));
    }
    for (size_t i = 0; i < names.size(); ++i) new_variables->set(names[i], fresh[i]);
  } catch (...) {
    // Put the old last layer back, with its learning parameters and variables.
    try {
      if (added) model_->pop_layer();
      model_->add(last, old_inbounds);
      model_->compile(*learning);
      for (size_t i = 0; i < names.size(); ++i) old_variables->set(names[i], old_tensors[i]);
    } catch (...) {
    }
    throw;
  }
}

namespace {

py::list shape_to_list(const Shape& shape) {
  py::list dims;
  for (size_t i = 0; i < shape.size(); ++i) dims.append(py::int_(shape[i]));
  return dims;
}

// The components a mapped layer occupies: its skip-DMA load and store engines, then its NPs. A layer
// without a mapping of the mapping core occupies none.
template <typename Visit>
void for_each_component(const Layer& layer, Visit&& visit) {
  const auto mapping = layer_mapping(layer);
  if (!mapping) return;
  if (const hw::Component* load = mapping->skipdma_load()) visit(*load);
  if (const hw::Component* store = mapping->skipdma_store()) visit(*store);
  if (mapping->nps) {
    for (const auto& np : *mapping->nps) visit(np);
  }
}

py::dict component_count(const Model& model) {
  std::map<hw::Type, uint64_t> counts;
  for (const auto& layer : model.layers()) {
    if (layer) for_each_component(*layer, [&](const hw::Component& c) { ++counts[c.type]; });
  }
  py::dict result;
  for (const auto& [type, count] : counts) result[py::cast(type)] = count;
  return result;
}

// External memory of every mapped layer of every pass; a layer in several passes counts once per pass.
// Summed in 64 bits: each component's size fits 32 bits, but their total need not.
uint64_t external_memory_size(const Model& model) {
  uint64_t total = 0;
  for (const auto& sequence : model.sequences()) {
    for (const auto& pass : sequence->passes()) {
      for (const auto& layer : pass->layers) {
        if (layer) for_each_component(*layer, [&](const hw::Component& c) { total += c.mem_info.external_size; });
      }
    }
  }
  return total;
}

}  // namespace

void init_model(py::module_& m) {
  using LayerList = std::vector<std::shared_ptr<Layer>>;
  py::classh<PyModel>(m, "Model", docs::model_class)
      .def(py::init<const std::string&>(), py::arg("filename"), docs::model_init_file)
      .def(py::init<const LayerList&>(), py::arg("layers") = LayerList{}, docs::model_init_layers)
      .def("add", &PyModel::add, py::arg("layer"), py::arg("inbound_layers") = LayerList{}, docs::model_add)
      .def("add_classes", &PyModel::add_classes, py::arg("num_add_classes"), docs::model_add_classes)
      .def(
          "_map",
          [](PyModel& self, std::shared_ptr<Device> device, bool hw_only, std::shared_ptr<MapConstraints> constraints) {
            self.core().map(std::move(device), hw_only, std::move(constraints));
          },
          py::arg("device"), py::arg("hw_only") = false, py::arg("constraints") = py::none())
      .def("pop_layer", &PyModel::pop_layer, docs::model_pop_layer)
      .def("compile", &PyModel::compile, py::arg("optimizer"), docs::model_compile)
      .def("fit", &PyModel::fit_scalar_label, py::arg("inputs"), py::arg("input_labels"), py::arg("batch_size") = 0,
           docs::model_fit_float_label)
      .def("fit", &PyModel::fit_numpy_labels, py::arg("inputs"), py::arg("input_labels"), py::arg("batch_size") = 0,
           docs::model_fit_array_labels)
      .def("fit", &PyModel::fit_list_labels, py::arg("inputs"), py::arg("input_labels") = py::list(),
           py::arg("batch_size") = 0, docs::model_fit_list_labels)
      .def("forward", &PyModel::forward, py::arg("inputs"), py::arg("batch_size") = 0, docs::model_forward)
      .def("predict", &PyModel::predict, py::arg("inputs"), py::arg("batch_size") = 0, docs::model_predict)
      .def(
          "get_layer",
          [](const PyModel& self, const std::string& layer_name) { return self.core().get_layer(layer_name); },
          py::arg("layer_name"), docs::model_get_layer_name)
      .def(
          "get_layer",
          [](const PyModel& self, uint64_t layer_index) { return self.core().get_layer(layer_index); },
          py::arg("layer_index"), docs::model_get_layer_index)
      .def_property_readonly(
          "sequences", [](const PyModel& self) { return std::vector<std::shared_ptr<Sequence>>(self.core().sequences()); },
          "The list of layer sequences in the Model")
      .def_property_readonly(
          "layers", [](const PyModel& self) { return LayerList(self.core().layers()); },
          "Get a list of layers in current model.")
      // The learning parameters stay shared with the engine model; the Model object is kept alive too.
      .def_property_readonly(
          "learning",
          py::cpp_function([](const PyModel& self) { return self.core().learning(); }, py::keep_alive<0, 1>()),
          "The learning parameters set.")
      .def_property_readonly(
          "input_shape", [](const PyModel& self) { return shape_to_list(self.core().input_shape()); },
          "The model input dimensions.")
      .def_property_readonly(
          "output_shape", [](const PyModel& self) { return shape_to_list(self.core().output_shape()); },
          "The model output dimensions.")
      .def_property_readonly(
          "metrics", [](PyModel& self) -> PyMetrics& { return self.metrics; }, py::return_value_policy::reference_internal,
          "The model metrics.")
      .def_property_readonly(
          "ip_version", [](const PyModel& self) { return self.core().ip_version(); },
          "The IP version this model is compatible with.")
      .def_property_readonly(
          "device",
          [](const PyModel& self) -> py::object {
            auto device = self.core().device();
            return device ? py::cast(std::move(device)) : py::none();
          },
          "The Device the Model is mapped to.")
      .def_property_readonly(
          "layer_count", [](const PyModel& self) { return self.core().layer_count(); }, "The number of layers.")
      .def_property_readonly(
          "component_count", [](const PyModel& self) { return component_count(self.core()); },
          "A dictionary with the number of components per type used in the model.")
      .def_property_readonly(
          "external_memory_size", [](const PyModel& self) { return external_memory_size(self.core()); },
          "Returns model external memory usage in Bytes.")
      .def_property_readonly(
          "macs", [](const PyModel& self) { return self.core().macs(); },
          "Returns model number of multiply-accumulate operations.")
      .def("evaluate", &evaluate_accuracy, py::arg("inputs"), py::arg("labels"), py::arg("num_classes") = 0,
           py::arg("batch_size") = 0, docs::model_evaluate)
      .def("save", &PyModel::save_model_file, py::arg("model_file"), docs::model_save)
      .def("to_buffer", &PyModel::to_buffer, docs::model_to_buffer)
      .def_property_readonly(
          "power_events",
          [](const PyModel& self) {
            py::list events;
            for (const auto& e : self.power_events) events.append(py::cast(e));
            return events;
          },
          "Copy of power events logged after inference");
}

}  // namespace ovrix::python
