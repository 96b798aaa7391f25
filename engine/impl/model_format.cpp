// The serialized model (see engine/README.md for the layout). Everything is little-endian.
//
//   header   "OVRIXMDL", u32 version (1), u32 flags (0), u64 payload size
//   payload  the layers, then the learning parameters
//   trailer  u64 FNV-1a 64 of header and payload
//
// Reading checks every length against what is left, rebuilds the model through the same add path
// as a user would, and refuses anything that does not rebuild to exactly what was written.
#include <fmt/format.h>

#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "engine/impl/model_impl.h"

namespace ovrix::detail {

namespace {

constexpr char magic[8] = {'O', 'V', 'R', 'I', 'X', 'M', 'D', 'L'};
constexpr uint32_t format_version = 1;
constexpr size_t header_size = 8 + 4 + 4 + 8;
constexpr size_t trailer_size = 8;

uint64_t fnv1a64(const uint8_t* data, size_t size) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < size; ++i) {
    h ^= data[i];
    h *= 1099511628211ull;
  }
  return h;
}

class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
  void u8(uint8_t v) { out_.push_back(v); }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
  void u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void str(const std::string& s) {
    u32(static_cast<uint32_t>(s.size()));
    bytes(s.data(), s.size());
  }
  void bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    out_.insert(out_.end(), b, b + n);
  }
  void zeros(size_t n) { out_.resize(out_.size() + n, 0); }

 private:
  std::vector<uint8_t>& out_;
};

[[noreturn]] void refuse(const std::string& why) { throw std::runtime_error("Invalid serialized model: " + why); }

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  size_t left() const { return static_cast<size_t>(end_ - p_); }
  const uint8_t* take(size_t n) {
    if (n > left()) refuse("the buffer is truncated.");
    const uint8_t* at = p_;
    p_ += n;
    return at;
  }
  uint8_t u8() { return *take(1); }
  uint32_t u32() {
    const uint8_t* b = take(4);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  }
  int32_t i32() { return static_cast<int32_t>(u32()); }
  uint64_t u64() {
    const uint8_t* b = take(8);
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | b[i];
    return v;
  }
  std::string str() {
    uint32_t n = u32();
    const uint8_t* b = take(n);
    return std::string(reinterpret_cast<const char*>(b), n);
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

struct VariableRecord {
  std::string name;
  std::shared_ptr<Dense> tensor;
};

struct LayerRecord {
  std::string name;
  LayerType type;
  std::vector<std::pair<std::string, int32_t>> params;
  std::vector<uint32_t> inbounds;
  std::vector<VariableRecord> variables;
};

struct ModelRecord {
  std::vector<LayerRecord> layers;
  bool has_learning = false;
  LearningType learning_type = LearningType::Unsupervised;
  std::vector<std::pair<std::string, double>> learning;
};

// Keys are written in increasing order, each once.
void check_key_order(const std::string& previous, const std::string& key, size_t index, const char* what) {
  if (index > 0 && !(previous < key)) refuse(std::string(what) + " keys are not in strictly increasing order.");
}

VariableRecord read_variable(Reader& r) {
  VariableRecord v;
  v.name = r.str();
  const int32_t type = r.i32();
  if (type < 0 || type > 10) refuse(fmt::format("variable {} has the unknown element type {}.", v.name, type));
  const uint8_t layout = r.u8();
  if (layout > 1) refuse(fmt::format("variable {} has the unknown layout {}.", v.name, layout));
  const uint8_t count = r.u8();
  if (count > Shape::max_dims) refuse(fmt::format("variable {} has {} dimensions.", v.name, count));
  Shape shape;
  shape.count = count;
  for (size_t i = 0; i < count; ++i) shape.dims[i] = r.u32();
  for (size_t i = 0; i < count; ++i) {
    if (shape.dims[i] == 0) refuse("variable " + v.name + " has an empty dimension.");
  }
  if (shape.elements() > UINT32_MAX) refuse("variable " + v.name + " has too many elements.");
  const uint64_t nbytes = r.u64();
  const auto tt = static_cast<TensorType>(type);
  if (nbytes != shape.elements() * element_size(tt)) refuse("variable " + v.name + " has a wrong byte count.");
  const uint8_t* bytes = r.take(static_cast<size_t>(nbytes));
  v.tensor = Dense::copy(reinterpret_cast<const char*>(bytes), static_cast<size_t>(nbytes), tt, shape,
                         static_cast<Dense::Layout>(layout));
  return v;
}

ModelRecord parse(const uint8_t* data, size_t size) {
  if (data == nullptr && size != 0) refuse("null buffer.");
  if (size < header_size + trailer_size) refuse("the buffer is truncated.");
  if (std::memcmp(data, magic, sizeof magic) != 0) refuse("bad magic number.");
  Reader head(data + 8, header_size - 8);
  const uint32_t version = head.u32();
  if (version != format_version) refuse(fmt::format("unsupported format version {}.", version));
  const uint32_t flags = head.u32();
  if (flags != 0) refuse("unknown flags.");
  const uint64_t payload = head.u64();
  if (payload != size - header_size - trailer_size) refuse("the buffer size does not match its payload size.");
  Reader tail(data + size - trailer_size, trailer_size);
  if (tail.u64() != fnv1a64(data, size - trailer_size)) refuse("checksum mismatch.");

  Reader r(data + header_size, static_cast<size_t>(payload));
  ModelRecord m;
  const uint32_t layer_count = r.u32();
  for (uint32_t i = 0; i < layer_count; ++i) {
    LayerRecord l;
    l.name = r.str();
    l.type = static_cast<LayerType>(r.i32());
    const uint32_t nparams = r.u32();
    for (uint32_t k = 0; k < nparams; ++k) {
      std::string key = r.str();
      check_key_order(l.params.empty() ? std::string() : l.params.back().first, key, k, "parameter");
      l.params.emplace_back(std::move(key), r.i32());
    }
    const uint32_t ninbounds = r.u32();
    for (uint32_t k = 0; k < ninbounds; ++k) {
      const uint32_t index = r.u32();
      if (index >= i) refuse("layer " + l.name + " takes its input from a layer that does not precede it.");
      l.inbounds.push_back(index);
    }
    const uint32_t nvars = r.u32();
    for (uint32_t k = 0; k < nvars; ++k) l.variables.push_back(read_variable(r));
    m.layers.push_back(std::move(l));
  }
  const uint8_t has_learning = r.u8();
  if (has_learning > 1) refuse("bad learning marker.");
  m.has_learning = has_learning == 1;
  if (m.has_learning) {
    if (m.layers.empty()) refuse("learning parameters without layers.");
    m.learning_type = static_cast<LearningType>(r.i32());
    const uint32_t n = r.u32();
    for (uint32_t k = 0; k < n; ++k) {
      std::string key = r.str();
      check_key_order(m.learning.empty() ? std::string() : m.learning.back().first, key, k, "learning");
      m.learning.emplace_back(std::move(key), std::bit_cast<double>(r.u64()));
    }
  }
  if (r.left() != 0) refuse("unexpected bytes after the model.");
  return m;
}

std::unique_ptr<Model> rebuild(const ModelRecord& m) {
  auto model = std::make_unique<ModelImpl>();
  for (const auto& l : m.layers) {
    std::map<std::string, int> values(l.params.begin(), l.params.end());
    auto params = LayerParams::create(l.type, values);
    if (params->keys().size() != l.params.size()) refuse("layer " + l.name + " lacks some of its parameters.");
    auto layer = Layer::create(params.get(), l.name);
    if (!layer->is_input_layer() && l.inbounds.empty()) refuse("layer " + l.name + " has no inbound layer.");
    std::vector<std::shared_ptr<Layer>> inbounds;
    for (uint32_t index : l.inbounds) inbounds.push_back(model->layers()[index]);
    std::vector<PresetVariable> presets;
    presets.reserve(l.variables.size());
    for (const auto& v : l.variables) presets.push_back(PresetVariable{v.name, v.tensor});
    model->add_with_variables(layer, inbounds, &presets);
  }
  if (m.has_learning) {
    std::map<std::string, double> values(m.learning.begin(), m.learning.end());
    auto learning = LearningParams::create(m.learning_type, values);
    if (learning->keys().size() != m.learning.size()) refuse("the learning parameters are incomplete.");
    model->compile(*learning);
  }
  return model;
}

}  // namespace

std::vector<uint8_t> serialize_model(const ModelImpl& model) {
  const auto& layers = model.layers();
  std::unordered_map<const Layer*, uint32_t> index;
  size_t tensor_bytes = 0;
  for (size_t i = 0; i < layers.size(); ++i) {
    index[layers[i].get()] = static_cast<uint32_t>(i);
    auto* vars = core_of(layers[i].get())->variable_set.get();
    for (const auto& name : vars->names()) {
      const auto* spec = vars->spec(name);
      auto t = vars->stored(name);
      tensor_bytes += t ? t->data().size() : spec->shape.elements() * element_size(spec->type);
    }
  }
  std::vector<uint8_t> out;
  out.reserve(header_size + trailer_size + tensor_bytes + 256 * (layers.size() + 1));
  Writer w(out);
  w.bytes(magic, sizeof magic);
  w.u32(format_version);
  w.u32(0);
  w.u64(0);  // payload size, filled below

  w.u32(static_cast<uint32_t>(layers.size()));
  for (const auto& layer : layers) {
    w.str(layer->get_name());
    const LayerParams& params = *layer->params();
    w.i32(static_cast<int32_t>(params.layer_type()));
    const auto keys = params.keys();
    w.u32(static_cast<uint32_t>(keys.size()));
    for (const auto& k : keys) {
      w.str(k);
      w.i32(params.get(k));
    }
    const auto& inbounds = layer->inbound_layers();
    w.u32(static_cast<uint32_t>(inbounds.size()));
    for (const auto& in : inbounds) w.u32(index.at(in.get()));
    auto* vars = core_of(layer.get())->variable_set.get();
    const auto names = vars->names();
    w.u32(static_cast<uint32_t>(names.size()));
    for (const auto& name : names) {
      const auto* spec = vars->spec(name);
      auto t = vars->stored(name);
      const Shape shape = t ? t->shape() : spec->shape;
      const TensorType type = t ? t->type() : spec->type;
      w.str(name);
      w.i32(static_cast<int32_t>(type));
      w.u8(t ? t->layout() : static_cast<uint8_t>(spec->layout));
      w.u8(static_cast<uint8_t>(shape.count));
      for (size_t i = 0; i < shape.count; ++i) w.u32(shape.dims[i]);
      if (t) {
        auto bytes = t->data();
        w.u64(bytes.size());
        w.bytes(bytes.data(), bytes.size());
      } else {
        // Never read, so never allocated: the initial zeros go straight to the buffer.
        const uint64_t n = shape.elements() * element_size(type);
        w.u64(n);
        w.zeros(static_cast<size_t>(n));
      }
    }
  }
  auto learning = model.learning();
  w.u8(learning ? 1 : 0);
  if (learning) {
    w.i32(static_cast<int32_t>(learning->learning_type()));
    const auto keys = learning->keys();
    w.u32(static_cast<uint32_t>(keys.size()));
    for (const auto& k : keys) {
      w.str(k);
      w.u64(std::bit_cast<uint64_t>(learning->get(k)));
    }
  }

  const uint64_t payload = out.size() - header_size;
  for (int i = 0; i < 8; ++i) out[16 + i] = static_cast<uint8_t>(payload >> (8 * i));
  Writer(out).u64(fnv1a64(out.data(), out.size()));
  return out;
}

std::unique_ptr<Model> deserialize_model(const char* data, size_t size) {
  const auto record = parse(reinterpret_cast<const uint8_t*>(data), size);
  try {
    return rebuild(record);
  } catch (const std::exception& e) {
    // Whatever the rebuild refused, the caller sees one kind of failure and no model.
    refuse(e.what());
  }
}

}  // namespace ovrix::detail
