// Software inference of a list of layers: wiring, input conversion, the sample loop, learning and the
// stacked output.
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "engine/impl/inference/runner.h"
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

// Copies sample s of the input tensor into an integer (or, for a Quantizer, float) buffer. Float values
// bound for an integer buffer were checked to be whole 32-bit numbers (check_input).
template <class T>
void load_sample(const ops::detail::View<T>& v, size_t s, Buffer& b) {
  const size_t n = b.size();
  const T* src = v.data() + s * n;
  if (b.is_float) {
    for (size_t i = 0; i < n; ++i) b.floats[i] = static_cast<float>(src[i]);
    return;
  }
  for (size_t i = 0; i < n; ++i) b.ints[i] = static_cast<int32_t>(src[i]);
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
      std::copy(b.floats.begin(), b.floats.end(), dst);
      return;
    }
  }
  for (size_t i = 0; i < b.size(); ++i) dst[i] = static_cast<T>(b.ints[i]);
}

}  // namespace

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

std::shared_ptr<Tensor> run(const std::vector<std::shared_ptr<Layer>>& layers, const Dense& input, Mode mode,
                            const std::vector<int32_t>& labels) {
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

  // One lane per thread: its own runners (they keep scratch buffers) and buffers. The first lane is made
  // first and checks the layers and the wiring; the others fork its runners, sharing what they prepared.
  struct Lane {
    std::vector<std::unique_ptr<Runner>> runners;
    Buffer input;
    std::vector<Buffer> outputs;
    std::vector<std::vector<const Buffer*>> reads;
  };
  const bool predict = mode == Mode::Predict;
  const Shape in_dims = input_dims3(*layers.front());
  const bool float_input = floats_go_to_quantizers(*layers.front(), input);
  // Buffers: the run's input and one output per layer, allocated once per lane.
  auto make_lane = [&](Lane& lane, const Lane* from) {
    lane.runners.reserve(layers.size());
    for (size_t i = 0; i < layers.size(); ++i)
      lane.runners.push_back(from ? from->runners[i]->fork() : make_runner(*layers[i]));
    const bool float_tail = (predict && lane.runners.back()->set_predict()) ||
                            last.params()->layer_type() == LayerType::Dequantizer;
    lane.input.is_float = float_input;
    lane.input.shape_as(in_dims);
    lane.outputs.resize(layers.size());
    for (size_t i = 0; i < layers.size(); ++i) {
      const LayerType kind = layers[i]->params()->layer_type();
      lane.outputs[i].is_float = kind == LayerType::Dequantizer ||
                                 (i + 1 == layers.size() && predict && float_tail) ||
                                 (i == 0 && float_input && kind == LayerType::InputData);
      lane.outputs[i].shape_as(output_dims3(*layers[i]));
    }
    lane.reads.assign(layers.size(), {});
    for (size_t i = 0; i < layers.size(); ++i)
      for (int s : sources[i]) lane.reads[i].push_back(s == kRunInput ? &lane.input : &lane.outputs[size_t(s)]);
  };
  std::deque<Lane> lanes(1);  // a deque: lanes hold pointers into themselves, so they never move
  make_lane(lanes[0], nullptr);
  Runner& tail = *lanes[0].runners.back();

  check_input(layers, input);
  const uint32_t samples = input.shape()[0];

  for (size_t i = 0; i < layers.size(); ++i)
    for (int s : sources[i]) {
      const Buffer& b = s == kRunInput ? lanes[0].input : lanes[0].outputs[size_t(s)];
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
  const Buffer& result = lanes[0].outputs.back();
  TensorType out_type = TensorType::int32;
  if (predict || result.is_float)
    out_type = TensorType::float32;
  else if (last.activation_enabled() && last.output_bits() <= 8)
    out_type = last.output_signed() ? TensorType::int8 : TensorType::uint8;
  std::shared_ptr<Dense> out = Dense::create(out_type, Shape{samples, result.d0, result.d1, result.d2});

  // Learning.
  const bool fit = mode == Mode::Fit;
  if (fit) {
    auto params = last.learning_params();
    if (!params)
      throw std::invalid_argument(
          fmt::format("Cannot fit: the last layer '{}' has no learning parameters (compile the model first).",
                      last.get_name()));
    check_label_count(samples, labels.size());
    tail.prepare_learning(*params);
  }

  // Samples are independent unless the run learns or a layer carries state from one sample to the next:
  // then they run in order on this thread; otherwise the batch is shared between the engine's threads.
  bool independent = !fit;
  for (const auto& r : lanes[0].runners) independent = independent && !r->carries_state();
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
  lanes.resize(lane_count);
  for (size_t k = 1; k < lanes.size(); ++k) make_lane(lanes[k], &lanes[0]);
  for (size_t k = 0; k < lanes.size(); ++k)
    for (auto& r : lanes[k].runners) r->set_threads(threads / lane_count + (k < threads % lane_count ? 1 : 0));

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
      Lane& lane = lanes[chunk];
      for (auto& r : lane.runners) r->reset();
      const Buffer& lane_result = lane.outputs.back();
      for (size_t s = next++; s < samples && s < failed.load(); s = next++) {
        try {
          load_sample(view, s, lane.input);
          for (size_t i = 0; i < layers.size(); ++i) lane.runners[i]->run(lane.reads[i], lane.outputs[i]);
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

}  // namespace ovrix::software
