// Software inference of a list of layers: wiring, input conversion, the sample loop, learning and the
// stacked output.
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <unordered_map>

#include "engine/impl/inference/runner.h"
#include "engine/impl/layer_core.h"
#include "engine/impl/parallel.h"
#include "engine/impl/ops/dense_util.h"
#include "engine/inference.h"

namespace ovrix::software {

using ops::detail::shape_text;

std::unique_ptr<Runner> make_runner(const Layer& layer) {
  switch (layer.params()->layer_type()) {
    case LayerType::InputData: return make_input_runner(layer);
    case LayerType::Quantizer: return make_quantizer_runner(layer);
    case LayerType::Dequantizer: return make_dequantizer_runner(layer);
    case LayerType::Conv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::InputConv2D: return make_conv_runner(layer);
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose: return make_transpose_runner(layer);
    case LayerType::Dense1D: return make_dense_runner(layer);
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv: return make_temporal_runner(layer);
    case LayerType::Add: return make_add_runner(layer);
    case LayerType::Concatenate: return make_concatenate_runner(layer);
    case LayerType::StatefulRecurrent: return make_recurrent_runner(layer);
    case LayerType::LumoPostProcessing: return make_post_processing_runner(layer);
    case LayerType::InputConvolutional:
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: return make_v1_conv_runner(layer);
    case LayerType::FullyConnected: return make_v1_dense_runner(layer);
    default:
      throw std::runtime_error(fmt::format("Layer '{}': layers of kind {} cannot run in software.", layer.get_name(),
                                           static_cast<int>(layer.params()->layer_type())));
  }
}

namespace {

constexpr int kRunInput = -1;

// n values converted one by one: a plain typed loop over unaliased pointers, which the compiler turns
// into vector conversions (a copy when the types are the same).
template <class From, class To>
void convert(const From* __restrict src, size_t n, To* __restrict dst) {
  if constexpr (std::is_same_v<From, To>) {
    std::memcpy(dst, src, n * sizeof(To));
  } else {
    for (size_t i = 0; i < n; ++i) dst[i] = static_cast<To>(src[i]);
  }
}

// Copies sample s of the input tensor into an integer (or, for a Quantizer, float) buffer. Float values
// bound for an integer buffer were checked to be whole 32-bit numbers (check_input).
template <class T>
void load_sample(const ops::detail::View<T>& v, size_t s, Buffer& b) {
  const size_t n = b.size();
  const T* src = v.data() + s * n;
  if constexpr (std::is_same_v<T, uint8_t>) {
    if (b.frame) {  // bytes straight into the frame of the layer reading them
      for (uint32_t i0 = 0; i0 < b.d0; ++i0)
        for (uint32_t i1 = 0; i1 < b.d1; ++i1, src += b.d2) std::memcpy(b.bytes() + b.frame->at(i0, i1), src, b.d2);
      return;
    }
  }
  if (b.is_float)
    convert(src, n, b.floats.data());
  else
    convert(src, n, b.ints.data());
}

[[noreturn]] void unreadable_input(TensorType type) {
  throw std::invalid_argument(
      fmt::format("Cannot run software inference on an input of type {}.", Tensor::type_name(type)));
}

// Float inputs stay floats up to a Quantizer: read by it directly, or through an input layer that
// feeds Quantizers only. Anywhere else they must be whole numbers.
bool floats_go_to_quantizers(const Layer& first, const Dense& input) {
  if (input.type() != TensorType::float32) return false;
  const LayerType kind = first.params()->layer_type();
  if (kind == LayerType::Quantizer) return true;
  if (kind != LayerType::InputData || first.outbound_layers().empty()) return false;
  for (const auto& out : first.outbound_layers())
    if (out->params()->layer_type() != LayerType::Quantizer) return false;
  return true;
}

// Every value must fit the bits and sign of the layer's input.
template <class T>
void check_layer_values(const Layer& layer, const Dense& input) {
  const InputValues accepted = input_values(layer);
  // Every value of the type fits (uint8 for an 8-bit unsigned input): nothing to look at.
  if (std::numeric_limits<T>::lowest() >= accepted.range.lo && std::numeric_limits<T>::max() <= accepted.range.hi)
    return;
  const ops::detail::View<T> view(input);
  const T* x = view.data();
  for (size_t i = 0; i < view.size(); ++i) {
    const auto value = static_cast<int64_t>(x[i]);
    if (value < accepted.range.lo || value > accepted.range.hi)
      layer_error(layer, fmt::format("input value {} does not fit its {}-bit {} input.", value, accepted.bits,
                                     accepted.is_signed ? "signed" : "unsigned"));
  }
}

// Float values must be whole 32-bit numbers (unless they go to Quantizers), and every value must fit
// each input layer's bits and sign.
template <class T>
void check_values(const std::vector<std::shared_ptr<Layer>>& layers, const Dense& input) {
  if constexpr (std::is_same_v<T, float>) {
    if (floats_go_to_quantizers(*layers.front(), input)) return;
    const ops::detail::View<T> view(input);
    const T* x = view.data();
    const size_t n = view.size();
    for (size_t i = 0; i < n; ++i)
      if (!(x[i] == std::floor(x[i])) || x[i] < -2147483648.0f || x[i] >= 2147483648.0f)
        throw std::invalid_argument(fmt::format("Input value {} is not a 32-bit integer.", x[i]));
  }
  for (const auto& layer : layers)
    if (layer->params()->layer_type() == LayerType::InputData) check_layer_values<T>(*layer, input);
}

template <class T>
void store_sample(const Buffer& b, size_t s, Dense& out) {
  T* dst = out.mutable_data_as<T>() + s * b.size();
  if constexpr (std::is_same_v<T, float>) {
    if (b.is_float) {
      convert(b.floats.data(), b.size(), dst);
      return;
    }
  }
  if (b.frame) {
    if (std::is_same_v<T, uint8_t> && b.frame == ByteFrame{b.d0, b.d1, 0, 0, b.d2}) {
      std::memcpy(dst, b.bytes(), b.size());
      return;
    }
    thread_local std::vector<int32_t> wide;
    convert(b.values(wide), b.size(), dst);
    return;
  }
  convert(b.ints.data(), b.size(), dst);
}

}  // namespace

std::shared_ptr<LearningParams> learning_params_to_fit(const Layer& last) {
  auto params = last.learning_params();
  if (!params)
    throw std::invalid_argument(fmt::format(
        "Cannot fit: the last layer '{}' has no learning parameters (compile the model first).", last.get_name()));
  return params;
}

void check_label_count(uint64_t samples, uint64_t labels) {
  if (labels > 1 && labels != samples)
    throw std::invalid_argument(fmt::format("Expected one label per input ({}) or one for all; got {}.", samples, labels));
}

void check_input(const std::vector<std::shared_ptr<Layer>>& layers, const Dense& input) {
  if (layers.empty()) throw std::invalid_argument("Cannot run a model with no layers.");
  for (const auto& l : layers)
    if (!l) throw std::invalid_argument("Cannot run a null layer.");
  const Shape in_dims = input_dims3(*layers.front());
  const Shape ishape = input.shape();
  if (!(ishape.size() == 4 && ishape[1] == in_dims[0] && ishape[2] == in_dims[1] && ishape[3] == in_dims[2]))
    throw std::invalid_argument(fmt::format("Input of shape {} does not match the model's input (N, {}, {}, {}).",
                                            shape_text(ishape), in_dims[0], in_dims[1], in_dims[2]));
  switch (input.type()) {
    case TensorType::uint8: check_values<uint8_t>(layers, input); break;
    case TensorType::int8: check_values<int8_t>(layers, input); break;
    case TensorType::int16: check_values<int16_t>(layers, input); break;
    case TensorType::int32: check_values<int32_t>(layers, input); break;
    case TensorType::float32: check_values<float>(layers, input); break;
    default: unreadable_input(input.type());
  }
}

std::shared_ptr<const Dense> device_input(const std::vector<std::shared_ptr<Layer>>& layers,
                                          std::shared_ptr<const Dense> input) {
  check_input(layers, *input);
  const Layer& first = *layers.front();
  const TensorType type = input->type();
  const LayerType kind = first.params()->layer_type();
  // The input convolution runs on the device's own input stage, which reads a byte a value: in
  // software it takes any whole number, on the device only what its input bits hold.
  if (kind == LayerType::InputConvolutional) {
    switch (type) {
      case TensorType::uint8: check_layer_values<uint8_t>(first, *input); break;
      case TensorType::int8: check_layer_values<int8_t>(first, *input); break;
      case TensorType::int16: check_layer_values<int16_t>(first, *input); break;
      case TensorType::int32: check_layer_values<int32_t>(first, *input); break;
      default: check_layer_values<float>(first, *input);
    }
  }
  if (type == TensorType::uint8 || type == TensorType::int8 || floats_go_to_quantizers(first, *input) ||
      (kind != LayerType::InputData && kind != LayerType::InputConvolutional))
    return input;
  const InputValues accepted = input_values(first);
  if (accepted.bits > 8) return input;
  // Checked above: every value fits the byte type.
  auto narrowed = std::shared_ptr<Dense>(
      Dense::create(accepted.is_signed ? TensorType::int8 : TensorType::uint8, input->shape()));
  auto narrow = [&](const auto& view) {
    std::byte* out = narrowed->mutable_data().data();
    for (size_t i = 0; i < view.size(); ++i) {
      const auto value = static_cast<int32_t>(view.data()[i]);
      out[i] = accepted.is_signed ? std::byte(static_cast<uint8_t>(static_cast<int8_t>(value)))
                                  : std::byte(static_cast<uint8_t>(value));
    }
  };
  switch (type) {
    case TensorType::int16: narrow(ops::detail::View<int16_t>(*input)); break;
    case TensorType::int32: narrow(ops::detail::View<int32_t>(*input)); break;
    default: narrow(ops::detail::View<float>(*input));
  }
  return narrowed;
}

// ---- what a run keeps for the next one ----

namespace {

// Walks everything a runner may read from an engine layer as a stream of bytes handed to
// `sink.put(data, size)`: its identity and wiring (the addresses of the layers wired to it), parameters,
// learning parameters, geometry, and every variable (initial zeros, or the element type, shape, layout
// and bytes of the tensor it was set to). A run records the stream of each layer when it makes the
// runners and compares the layer's stream with it at the next run, so any change is seen, however made.
template <class Sink>
void walk(const Layer& layer, const detail::LayerCore& core, Sink& sink) {
  auto raw = [&](const auto& value) { sink.put(&value, sizeof value); };
  auto text = [&](const std::string& t) {
    raw(t.size());
    sink.put(t.data(), t.size());
  };
  auto shape = [&](const Shape& sh) {
    raw(sh.count);
    sink.put(sh.dims.data(), sh.count * sizeof(uint32_t));
  };
  auto padding = [&](const PaddingParams& p) {
    raw(p.y_before);
    raw(p.y_after);
    raw(p.x_before);
    raw(p.x_after);
  };
  raw(&layer);
  for (const auto* wired : {&layer.inbound_layers(), &layer.outbound_layers()}) {
    raw(wired->size());
    for (const auto& other : *wired) raw(other.get());
  }
  const LayerParams& params = *layer.params();
  const auto keys = params.keys();
  raw(keys.size());
  for (const auto& key : keys) {
    text(key);
    raw(params.get(key));
  }
  const auto learning = layer.learning_params();
  raw(learning != nullptr);
  if (learning) {
    const auto learning_keys = learning->keys();
    raw(learning_keys.size());
    for (const auto& key : learning_keys) {
      text(key);
      raw(learning->get(key));
    }
  }
  raw(core.built());
  if (core.built()) {
    const detail::Geometry& g = core.geometry();
    raw(g.input_dims.size());
    for (const Shape& d : g.input_dims) shape(d);
    shape(g.output_dims);
    raw(g.signals.input_bits);
    raw(g.signals.output_bits);
    raw(g.signals.output_signed);
    raw(g.conv.has_value());
    if (g.conv) {
      raw(g.conv->output_width);
      raw(g.conv->output_height);
      padding(g.conv->padding);
    }
    raw(g.pool.has_value());
    if (g.pool) {
      raw(g.pool->stride_x);
      raw(g.pool->stride_y);
      raw(g.pool->output_width);
      raw(g.pool->output_height);
      padding(g.pool->padding);
      raw(g.pool->flag);
    }
    raw(g.build_values.has_value());
    if (g.build_values) raw(*g.build_values);
    raw(g.variables.size());
    for (const auto& v : g.variables) {
      text(v.name);
      raw(v.type);
      shape(v.shape);
      raw(v.layout);
      raw(v.also.has_value());
      if (v.also) raw(*v.also);
    }
    raw(g.macs);
  }
  const VariablesImpl& variables = *core.variable_set;
  const auto names = variables.names();
  raw(names.size());
  for (const auto& name : names) {
    text(name);
    const auto tensor = variables.stored(name);  // null while it holds its initial zeros
    raw(tensor != nullptr);
    if (!tensor) continue;
    raw(tensor->type());
    shape(tensor->shape());
    raw(tensor->layout());
    const auto bytes = tensor->data();
    raw(bytes.size());
    sink.put(bytes.data(), bytes.size());
  }
}

// A layer's stream as it was, and the layers whose addresses it holds, kept alive so that no other layer
// can take their place.
struct LayerRecord {
  std::vector<std::shared_ptr<Layer>> held;
  std::vector<std::byte> bytes;

  void put(const void* data, size_t size) {
    const auto* b = static_cast<const std::byte*>(data);
    bytes.insert(bytes.end(), b, b + size);
  }
};

// Compares a layer's stream with a record as it goes.
struct Comparison {
  const std::vector<std::byte>& recorded;
  size_t at = 0;
  bool same = true;

  void put(const void* data, size_t size) {
    if (!same) return;
    if (size > recorded.size() - at || (size != 0 && std::memcmp(recorded.data() + at, data, size) != 0)) {
      same = false;
      return;
    }
    at += size;
  }
};

// The record of a layer, or nothing for a layer the engine did not make (its runners are made at every
// run).
std::optional<LayerRecord> record(const std::shared_ptr<Layer>& layer) {
  const detail::LayerCore* core = detail::core_of(layer.get());
  if (!core) return std::nullopt;
  LayerRecord r;
  r.held.push_back(layer);
  for (const auto* wired : {&layer->inbound_layers(), &layer->outbound_layers()})
    r.held.insert(r.held.end(), wired->begin(), wired->end());
  walk(*layer, *core, r);
  return r;
}

bool unchanged(const Layer& layer, const LayerRecord& r) {
  const detail::LayerCore* core = detail::core_of(&layer);
  if (!core) return false;
  Comparison c{r.bytes};
  walk(layer, *core, c);
  return c.same && c.at == r.bytes.size();
}

// Gives `b` this form, allocating only when its size or kind changes; `fresh` (a new runner writes it)
// clears it in any case.
void shape_buffer(Buffer& b, bool is_float, const Shape& dims, bool fresh) {
  const size_t held = b.frame ? b.size() : is_float ? b.floats.size() : b.ints.size();
  if (!fresh && b.is_float == is_float && b.d0 == dims[0] && b.d1 == dims[1] && b.d2 == dims[2] && held == b.size())
    return;
  b.frame.reset();
  b.store.reset();
  b.is_float = is_float;
  // Only the vector of its kind holds memory.
  if (is_float)
    std::vector<int32_t>().swap(b.ints);
  else
    std::vector<float>().swap(b.floats);
  b.shape_as(dims);
}

}  // namespace

// One lane per thread: its own runners (they keep scratch buffers) and buffers. Lane 0's runners are made
// from the layers and checked; the others fork them, sharing what they prepared. The lanes stay for the
// next run, whatever its batch size and number of threads.
class RunState {
 public:
  struct Lane {
    std::vector<std::unique_ptr<Runner>> runners;
    // Which of lane 0's runners each runner is (lane 0's own count up as they are made; 0 for none).
    std::vector<uint64_t> made;
    Buffer input;
    std::vector<Buffer> outputs;
    std::vector<std::vector<const Buffer*>> reads;
    // The bytes of the buffers kept as bytes, one store per group of buffers that share one, with the
    // frame and image it was made for.
    struct Store {
      ByteFrame frame;
      Shape image;
      std::shared_ptr<std::vector<uint8_t>> bytes;
    };
    std::vector<Store> stores;
  };

  // Makes lane 0's runners for `layers` where the ones kept do not fit them any more (all of them for
  // another list of layers), in layer order. Returns which were made.
  std::vector<char> refresh(const std::vector<std::shared_ptr<Layer>>& layers, bool predict);
  // Lane k with runners of lane 0's making (forked where they are not yet) and buffers of this run's form.
  Lane& lane(size_t k, bool predict, const Shape& in_dims, bool float_input, const std::vector<Shape>& out_dims,
             const std::vector<char>& out_float, const std::vector<char>& made_now);
  bool float_tail() const { return float_tail_; }
  void learnt() { learnt_ = true; }

 private:
  std::vector<std::shared_ptr<Layer>> layers_;
  // Every layer a runner may read: the run's layers and those wired to them.
  std::unordered_map<const Layer*, LayerRecord> records_;
  std::deque<Lane> lanes_;  // a deque: lanes hold pointers into themselves, so they never move
  uint64_t made_ = 0;
  bool predict_ = false;     // lane 0's last runner gives potentials
  bool float_tail_ = false;  // ... as floats
  bool learnt_ = false;      // lane 0's last runner learnt in a fit: it is made again
};

std::vector<char> RunState::refresh(const std::vector<std::shared_ptr<Layer>>& layers, bool predict) {
  const size_t n = layers.size();
  const bool same_list = layers_.size() == n && std::equal(layers.begin(), layers.end(), layers_.begin());
  if (!same_list) *this = RunState{};
  if (lanes_.empty()) {
    layers_ = layers;
    lanes_.resize(1);
    lanes_[0].runners.resize(n);
    lanes_[0].made.assign(n, 0);
  }
  // What changed since the runners were made, layer by layer (every layer looked at, so that the
  // records below cover all of them).
  struct Look {
    std::shared_ptr<Layer> layer;
    bool changed;
  };
  std::unordered_map<const Layer*, Look> looked;
  auto look_at = [&](const std::shared_ptr<Layer>& l) {
    const auto [it, first] = looked.try_emplace(l.get(), Look{l, true});
    if (first) {
      const auto r = records_.find(l.get());
      it->second.changed = r == records_.end() || !unchanged(*l, r->second);
    }
    return it->second.changed;
  };
  Lane& lane = lanes_[0];
  std::vector<char> stale(n, 0);
  for (size_t i = 0; i < n; ++i) {
    bool s = look_at(layers[i]) || !lane.runners[i];
    for (const auto* wired : {&layers[i]->inbound_layers(), &layers[i]->outbound_layers()})
      for (const auto& other : *wired) s = look_at(other) || s;
    stale[i] = s;
  }
  if (learnt_ || predict != predict_) stale[n - 1] = 1;
  for (size_t i = 0; i < n; ++i) {
    if (!stale[i]) continue;
    lane.runners[i].reset();
    lane.runners[i] = make_runner(*layers[i]);
    lane.made[i] = ++made_;
  }
  if (stale[n - 1]) {
    predict_ = predict;
    float_tail_ = predict && lane.runners.back()->set_predict();
    learnt_ = false;
  }
  // Recorded once the runners are made: they may have made the initial zeros of what they read.
  std::unordered_map<const Layer*, LayerRecord> records;
  for (const auto& [l, look] : looked) {
    if (!look.changed)
      records.insert(records_.extract(l));
    else if (auto r = record(look.layer))
      records.emplace(l, std::move(*r));
  }
  records_ = std::move(records);
  return stale;
}

RunState::Lane& RunState::lane(size_t k, bool predict, const Shape& in_dims, bool float_input,
                               const std::vector<Shape>& out_dims, const std::vector<char>& out_float,
                               const std::vector<char>& made_now) {
  const size_t n = layers_.size();
  while (lanes_.size() <= k) {
    lanes_.emplace_back();
    lanes_.back().runners.resize(n);
    lanes_.back().made.assign(n, 0);
  }
  Lane& lane = lanes_[k];
  const Lane& first = lanes_[0];
  std::vector<char> fresh = made_now;
  if (k > 0) {
    for (size_t i = 0; i < n; ++i) {
      fresh[i] = lane.made[i] != first.made[i];
      if (!fresh[i]) continue;
      lane.runners[i].reset();
      lane.runners[i] = first.runners[i]->fork();
      if (predict && i + 1 == n) lane.runners[i]->set_predict();
      lane.made[i] = first.made[i];
    }
  }
  shape_buffer(lane.input, float_input, in_dims, false);
  lane.outputs.resize(n);
  for (size_t i = 0; i < n; ++i) shape_buffer(lane.outputs[i], out_float[i], out_dims[i], fresh[i]);
  return lane;
}

namespace {

// Which buffers of a run hold bytes (ByteFrame) instead of integers, and which of them share their bytes.
struct BytePlan {
  std::optional<ByteFrame> input;
  std::vector<std::optional<ByteFrame>> outputs;
  // The stores: the frame and image each was made for; which store each buffer kept as bytes uses.
  struct Slot {
    ByteFrame frame;
    Shape image;
    size_t free_from;  // the first step of the sample at which it may be written again
  };
  std::vector<Slot> slots;
  size_t input_slot = 0;
  std::vector<size_t> output_slots;

  uint64_t count() const {
    return uint64_t(input.has_value()) +
           uint64_t(std::count_if(outputs.begin(), outputs.end(), [](const auto& f) { return f.has_value(); }));
  }
  // A store for a buffer of this frame and image written at step `written` and last read at `last_read`:
  // one whose buffers are all read by then, else a new one.
  size_t slot_for(const ByteFrame& f, const Shape& image, size_t written, size_t last_read) {
    for (size_t k = 0; k < slots.size(); ++k)
      if (slots[k].frame == f && slots[k].image == image && slots[k].free_from <= written) {
        slots[k].free_from = last_read + 1;
        return k;
      }
    slots.push_back(Slot{f, image, last_read + 1});
    return slots.size() - 1;
  }
};

// Bytes between layers: a layer whose outputs are bytes, read by one layer that takes them as bytes,
// writes them straight into the frame that layer reads (no image of integers written and read back);
// the last layer writes a byte result as bytes. A byte input read by one layer only (through an input
// layer that passes it on) goes straight into that layer's frame the same way. A learning last layer
// reads its inputs as integers. Buffers of one frame and image share their bytes when their values never
// live at the same time: the input's from the sample's start to its reader's run, layer i's from its run
// to its reader's (the last layer's to the sample's end), so that a lane's bytes stay few and in the cache.
BytePlan plan_bytes(const std::vector<std::unique_ptr<Runner>>& runners, const std::vector<std::vector<int>>& sources,
                    const std::vector<char>& passes, const std::vector<char>& out_float,
                    const std::vector<Shape>& out_dims, const Shape& in_dims, bool byte_input, bool fit,
                    bool byte_result) {
  const size_t n = runners.size();
  BytePlan plan;
  plan.outputs.resize(n);
  plan.output_slots.assign(n, 0);
  // The layers reading each buffer (passing input layers do not run: their readers read the input).
  std::vector<int> readers(n, 0), reader(n, -1);
  int input_readers = 0, input_reader = -1;
  for (size_t j = 0; j < n; ++j)
    for (int s : sources[j]) {
      if (passes[j]) continue;
      if (s == kRunInput || passes[size_t(s)])
        ++input_readers, input_reader = int(j);
      else
        ++readers[size_t(s)], reader[size_t(s)] = int(j);
    }
  // The frame the one reader j of a (d0, d1, d2) image asks for, if the image fits it.
  auto frame_of = [&](size_t j, const Shape& d) -> std::optional<ByteFrame> {
    if (sources[j].size() != 1 || (fit && j + 1 == n)) return std::nullopt;
    const std::optional<ByteFrame> f = runners[j]->input_frame();
    if (f && f->top + d[0] <= f->rows && f->left + d[1] <= f->cols && d[2] <= f->width) return f;
    return std::nullopt;
  };
  // Step 0 loads the input, step i + 1 runs layer i, step n + 1 stores the result.
  if (byte_input && input_readers == 1 && (plan.input = frame_of(size_t(input_reader), in_dims)))
    plan.input_slot = plan.slot_for(*plan.input, in_dims, 0, size_t(input_reader) + 1);
  for (size_t i = 0; i < n; ++i) {
    if (passes[i] || out_float[i] || !runners[i]->writes_bytes()) continue;
    const Shape& d = out_dims[i];
    if (i + 1 == n) {
      if (byte_result && !fit && readers[i] == 0) {
        plan.outputs[i] = ByteFrame{d[0], d[1], 0, 0, d[2]};
        plan.output_slots[i] = plan.slot_for(*plan.outputs[i], d, n, n + 1);
      }
    } else if (readers[i] == 1 && (plan.outputs[i] = frame_of(size_t(reader[i]), d))) {
      plan.output_slots[i] = plan.slot_for(*plan.outputs[i], d, i + 1, size_t(reader[i]) + 1);
    }
  }
  return plan;
}

// Gives a lane's buffers the plan's form, the lane keeping one store per slot (zeroed when made).
void keep_as_bytes(RunState::Lane& lane, const BytePlan& plan) {
  auto& stores = lane.stores;
  stores.resize(plan.slots.size());
  for (size_t k = 0; k < plan.slots.size(); ++k) {
    auto& st = stores[k];
    const auto& slot = plan.slots[k];
    if (st.bytes && st.frame == slot.frame && st.image == slot.image) continue;
    st = RunState::Lane::Store{slot.frame, slot.image, std::make_shared<std::vector<uint8_t>>(slot.frame.bytes(), 0)};
  }
  lane.input.set_frame(plan.input, plan.input ? stores[plan.input_slot].bytes : nullptr);
  for (size_t i = 0; i < lane.outputs.size(); ++i)
    lane.outputs[i].set_frame(plan.outputs[i], plan.outputs[i] ? stores[plan.output_slots[i]].bytes : nullptr);
}

std::shared_ptr<Tensor> run_in(RunState& state, const std::vector<std::shared_ptr<Layer>>& layers,
                               const Dense& input, Mode mode, const std::vector<int32_t>& labels) {
  if (layers.empty()) throw std::invalid_argument("Cannot run a model with no layers.");
  for (const auto& l : layers)
    if (!l) throw std::invalid_argument("Cannot run a null layer.");
  const Layer& last = *layers.back();

  if (mode == Mode::Predict) {
    if (layers.size() == 1 && last.params()->layer_type() == LayerType::InputData)
      throw std::invalid_argument("Cannot predict with a model made of an input layer only.");
    if (last.activation_enabled())
      throw std::runtime_error(
          fmt::format("Cannot predict with layer '{}': its activation is on (use forward).", last.get_name()));
  }

  // Wiring: the buffers each layer reads (kRunInput for the run's input).
  std::unordered_map<const Layer*, int> position;
  std::vector<std::vector<int>> sources(layers.size());
  for (size_t i = 0; i < layers.size(); ++i) {
    for (const auto& in : layers[i]->inbound_layers()) {
      auto it = position.find(in.get());
      sources[i].push_back(it == position.end() ? kRunInput : it->second);
    }
    if (sources[i].empty()) sources[i].push_back(kRunInput);
    if (!position.emplace(layers[i].get(), int(i)).second)
      throw std::invalid_argument(fmt::format("Layer '{}' appears twice.", layers[i]->get_name()));
  }

  const bool predict = mode == Mode::Predict;
  const Shape in_dims = input_dims3(*layers.front());
  const bool float_input = floats_go_to_quantizers(*layers.front(), input);
  // Lane 0 first: making its runners checks the layers.
  const std::vector<char> made_now = state.refresh(layers, predict);
  const bool float_tail = state.float_tail() || last.params()->layer_type() == LayerType::Dequantizer;
  // Buffers: the run's input and one output per layer, in every lane.
  std::vector<Shape> out_dims(layers.size());
  std::vector<char> out_float(layers.size());
  for (size_t i = 0; i < layers.size(); ++i) {
    const LayerType kind = layers[i]->params()->layer_type();
    out_float[i] = kind == LayerType::Dequantizer || (i + 1 == layers.size() && predict && float_tail) ||
                   (i == 0 && float_input && kind == LayerType::InputData);
    out_dims[i] = output_dims3(*layers[i]);
  }
  std::vector<RunState::Lane*> lanes{&state.lane(0, predict, in_dims, float_input, out_dims, out_float, made_now)};
  Runner& tail = *lanes[0]->runners.back();

  check_input(layers, input);
  const uint32_t samples = input.shape()[0];

  for (size_t i = 0; i < layers.size(); ++i)
    for (int s : sources[i]) {
      const Buffer& b = s == kRunInput ? lanes[0]->input : lanes[0]->outputs[size_t(s)];
      const LayerType kind = layers[i]->params()->layer_type();
      if (b.is_float && kind != LayerType::Quantizer && !(kind == LayerType::InputData && s == kRunInput))
        throw std::invalid_argument(
            fmt::format("Layer '{}' cannot take the float output of a Dequantizer.", layers[i]->get_name()));
      const Shape want = input_dims3(*layers[i]);
      if (layers[i]->params()->layer_type() != LayerType::Concatenate &&
          !(b.d0 == want[0] && b.d1 == want[1] && b.d2 == want[2]))
        throw std::invalid_argument(fmt::format("Layer '{}' expects inputs {} but receives ({}, {}, {}).",
                                                layers[i]->get_name(), shape_text(want), b.d0, b.d1, b.d2));
    }

  // The result tensor.
  const Buffer& result = lanes[0]->outputs.back();
  TensorType out_type = TensorType::int32;
  if (predict || result.is_float)
    out_type = TensorType::float32;
  else if (last.activation_enabled() && last.output_bits() <= 8)
    out_type = last.output_signed() ? TensorType::int8 : TensorType::uint8;
  std::shared_ptr<Dense> out = Dense::create(out_type, Shape{samples, result.d0, result.d1, result.d2});

  // Learning.
  const bool fit = mode == Mode::Fit;
  if (fit) {
    const auto params = learning_params_to_fit(last);
    check_label_count(samples, labels.size());
    state.learnt();
    tail.prepare_learning(*params);
  }

  // Samples are independent unless the run learns or a layer carries state from one sample to the next:
  // then they run in order on this thread; otherwise the batch is shared between the engine's threads.
  bool independent = !fit;
  for (const auto& r : lanes[0]->runners) independent = independent && !r->carries_state();
  // A thread costs its start and its own copy of the layers' state: each gets at least a few million
  // multiply-accumulates (or samples of layers without any).
  constexpr uint64_t kMacsPerThread = uint64_t{1} << 22;
  uint64_t macs = 0;
  for (const auto& l : layers) macs += l->macs();
  const uint64_t worth = macs == 0 ? samples : std::max<uint64_t>(1, macs * samples / kMacsPerThread);
  // One lane per thread over the samples; when there are fewer samples than threads, each lane's
  // convolutions also split the rows of their output between the threads left over.
  const unsigned threads = unsigned(std::max<uint64_t>(1, std::min<uint64_t>(parallel::thread_count(), worth)));
  const unsigned lane_count = independent ? std::min(threads, std::max(samples, 1u)) : 1;
  for (size_t k = 1; k < lane_count; ++k)
    lanes.push_back(&state.lane(k, predict, in_dims, float_input, out_dims, out_float, made_now));
  // An input layer that reads the run's input passes it on unchanged: the layers after it read the input
  // buffer itself instead of a copy (the last layer keeps its own buffer, the one the result is read from).
  std::vector<char> passes(layers.size(), 0);
  for (size_t i = 0; i + 1 < layers.size(); ++i)
    passes[i] = layers[i]->params()->layer_type() == LayerType::InputData && sources[i].size() == 1 &&
                sources[i][0] == kRunInput && out_dims[i] == in_dims && bool(out_float[i]) == float_input;
  for (size_t k = 0; k < lanes.size(); ++k) {
    RunState::Lane& lane = *lanes[k];
    lane.reads.assign(layers.size(), {});
    for (size_t i = 0; i < layers.size(); ++i)
      for (int s : sources[i])
        lane.reads[i].push_back(s == kRunInput || passes[size_t(s)] ? &lane.input : &lane.outputs[size_t(s)]);
    for (auto& r : lane.runners) r->set_threads(threads / lane_count + (k < threads % lane_count ? 1 : 0));
  }

  const BytePlan bytes = plan_bytes(lanes[0]->runners, sources, passes, out_float, out_dims, in_dims,
                                    input.type() == TensorType::uint8 && !float_input && !fit, fit,
                                    out_type == TensorType::uint8);
  count_byte_frames(bytes.count());
  for (RunState::Lane* lane : lanes) keep_as_bytes(*lane, bytes);

  // Each lane takes the next sample not taken yet, so a lane whose thread the system holds back does not
  // hold the others up. On an error the lanes take no sample after the failing one and the error of the
  // first failing sample is reported, the one a single thread would have met: every sample before it was
  // taken before it, and runs to its end.
  std::atomic<size_t> next{0};
  std::atomic<size_t> failed{samples};
  std::exception_ptr error;
  std::mutex error_mutex;
  auto run_samples = [&](const auto& view) {
    parallel::for_chunks(lane_count, lane_count, [&](unsigned chunk, size_t, size_t) {
      RunState::Lane& lane = *lanes[chunk];
      for (auto& r : lane.runners) r->reset();
      const Buffer& lane_result = lane.outputs.back();
      for (size_t s = next++; s < samples && s < failed.load(); s = next++) {
        try {
          load_sample(view, s, lane.input);
          for (size_t i = 0; i < layers.size(); ++i)
            if (!passes[i]) lane.runners[i]->run(lane.reads[i], lane.outputs[i]);
          if (fit) {
            const int32_t label = labels.empty() ? -1 : labels[labels.size() == 1 ? 0 : s];
            if (labels.empty())
              tail.learn(lane.reads.back(), -1);
            else if (label >= 0 && label < tail.num_classes())
              tail.learn(lane.reads.back(), label);
          }
          switch (out_type) {
            case TensorType::float32: store_sample<float>(lane_result, s, *out); break;
            case TensorType::int8: store_sample<int8_t>(lane_result, s, *out); break;
            case TensorType::uint8: store_sample<uint8_t>(lane_result, s, *out); break;
            default: store_sample<int32_t>(lane_result, s, *out);
          }
        } catch (...) {
          std::lock_guard lock(error_mutex);
          if (s < failed.load()) {
            failed.store(s);
            error = std::current_exception();
          }
          return;
        }
      }
    });
    if (error) std::rethrow_exception(error);
  };
  switch (input.type()) {
    case TensorType::uint8: run_samples(ops::detail::View<uint8_t>(input)); break;
    case TensorType::int8: run_samples(ops::detail::View<int8_t>(input)); break;
    case TensorType::int16: run_samples(ops::detail::View<int16_t>(input)); break;
    case TensorType::int32: run_samples(ops::detail::View<int32_t>(input)); break;
    case TensorType::float32: run_samples(ops::detail::View<float>(input)); break;
    default: unreadable_input(input.type());
  }
  if (fit) tail.finish_learning();
  return out;
}

}  // namespace

std::shared_ptr<Tensor> run(RunState& state, const std::vector<std::shared_ptr<Layer>>& layers, const Dense& input,
                            Mode mode, const std::vector<int32_t>& labels) {
  try {
    return run_in(state, layers, input, mode, labels);
  } catch (...) {
    // A run stopped part way may leave runners with half a sample or half a learning: none is kept.
    state = RunState{};
    throw;
  }
}

std::shared_ptr<Tensor> run(const std::vector<std::shared_ptr<Layer>>& layers, const Dense& input, Mode mode,
                            const std::vector<int32_t>& labels) {
  RunState state;
  return run_in(state, layers, input, mode, labels);
}

RunCache::RunCache() = default;
RunCache::~RunCache() = default;

void RunCache::clear() {
  if (busy_.exchange(true)) return;
  parts_.clear();
  busy_.store(false);
}

RunCache::Lease::Lease(RunCache& cache) : cache_(cache), holds_(!cache.busy_.exchange(true)) {}

RunCache::Lease::~Lease() {
  if (holds_) cache_.busy_.store(false);
}

RunState& RunCache::Lease::part(size_t index) {
  auto& parts = holds_ ? cache_.parts_ : own_;
  if (parts.size() <= index) parts.resize(index + 1);
  if (!parts[index]) parts[index] = std::make_unique<RunState>();
  return *parts[index];
}

}  // namespace ovrix::software
