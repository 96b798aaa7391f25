#pragma once
// Internals of the software inference: one Runner per layer, made once per run (it reads the layer's
// parameters and variables, widens the weights and checks every shape), then called once per sample on
// contiguous (d0, d1, d2) buffers. Every other thread of the run works on a fork of it: the fork shares
// the read-only data the runner prepared (weights, packed filters, output stage) and has its own
// scratch buffers, so more threads never mean more copies of a model.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/image_patches.h"
#include "engine/impl/ops/arith.h"
#include "engine/impl/ops/kernels.h"
#include "engine/layer.h"
#include "engine/params.h"

namespace ovrix::software {

// A sample's values 0 .. 255 kept as bytes, laid out as the layer that reads them takes them: a frame of
// (rows, cols) positions of `width` bytes holding the (d0, d1, d2) image at (top, left), every other byte
// (the border, the channels past d2) 0. A plain image is the frame {d0, d1, 0, 0, d2}.
struct ByteFrame {
  uint32_t rows = 0, cols = 0, top = 0, left = 0, width = 0;
  bool operator==(const ByteFrame&) const = default;
  size_t bytes() const { return size_t(rows) * cols * width; }
  // Where position (i0, i1) of the image starts.
  size_t at(size_t i0, size_t i1) const { return ((i0 + top) * cols + i1 + left) * width; }
};

// One sample's tensor: (d0, d1, d2) integers, or floats after a Dequantizer, or, between a layer whose
// outputs are bytes and the one layer reading them, bytes in the frame the reader asked for (`ints`
// then empty).
struct Buffer {
  uint32_t d0 = 1, d1 = 1, d2 = 1;
  bool is_float = false;
  std::vector<int32_t> ints;
  std::vector<float> floats;
  std::optional<ByteFrame> frame;
  // The frame's bytes; buffers of the same frame and image whose values never live at the same time
  // share them (every writer writes the image only, so the rest stays 0).
  std::shared_ptr<std::vector<uint8_t>> store;

  size_t size() const { return size_t(d0) * d1 * d2; }
  uint8_t* bytes() const { return store->data(); }
  void shape_as(const Shape& dims);  // (d0, d1, d2) from a layer's 3-dimensional dims; allocates
  // Keeps the values in frame `f` in `bytes` (f.bytes() of them, 0 outside the image) instead of ints, or
  // (no frame) in ints again.
  void set_frame(const std::optional<ByteFrame>& f, std::shared_ptr<std::vector<uint8_t>> bytes = nullptr);
  // The values as integers: `ints` itself, or the frame's image widened into `scratch`.
  const int32_t* values(std::vector<int32_t>& scratch) const;
  // Writes the (d0, d1, d2) image `v` of values 0 .. 255 into the frame.
  void put_bytes(const int32_t* v);
};

// Read-only data a runner prepares once a run and shares with its forks.
template <class T>
using Shared = std::shared_ptr<const T>;
template <class T>
Shared<T> share(T&& value) {
  return std::make_shared<const T>(std::forward<T>(value));
}

class Runner {
 public:
  explicit Runner(const Layer& layer) : layer_(layer) {}
  virtual ~Runner() = default;

  // A runner for another thread of the same run: it shares this one's read-only data, has scratch of its
  // own, and reads nothing from the layer (the layer is not to be touched from two threads at once).
  virtual std::unique_ptr<Runner> fork() const = 0;

  // Computes one sample. `in` holds one buffer per inbound layer (the run's input for the first layer).
  virtual void run(const std::vector<const Buffer*>& in, Buffer& out) = 0;
  // Clears state carried from sample to sample (the temporal FIFOs).
  virtual void reset() {}
  // True when a sample's result depends on the samples before it: such runs stay on one thread.
  virtual bool carries_state() const { return false; }
  // Last layer of a predict: produce float potentials (scaled and shifted, not rounded) instead of
  // outputs. Only layers with an output stage can.
  virtual bool set_predict() { return false; }
  // Fit: learn from the sample just run (its inputs and outputs); label -1 means unsupervised.
  virtual void prepare_learning(const LearningParams&) { unsupported_learning(); }
  virtual void learn(const std::vector<const Buffer*>& /*in*/, int32_t /*label*/) { unsupported_learning(); }
  virtual void finish_learning() {}
  virtual int32_t num_classes() const { return 0; }
  // Byte frames between layers, agreed on before a run: the frame in which this runner would take its
  // one input as bytes (none when it reads integers only), and whether it can write its outputs as bytes
  // (they always lie in 0 .. 255). A runner given a framed input it did not ask for reads it widened.
  virtual std::optional<ByteFrame> input_frame() const { return std::nullopt; }
  virtual bool writes_bytes() const { return false; }

  const Layer& layer() const { return layer_; }
  // Threads a sample of this runner may use (its convolutions split their output rows between them).
  void set_threads(unsigned n) { threads_ = n; }

 protected:
  Runner(const Runner&) = default;
  [[noreturn]] void unsupported_learning() const;
  const Layer& layer_;
  unsigned threads_ = 1;
};

// Base of the runners: fork() copies the runner, whose read-only data is held through Shared pointers and
// whose scratch buffers are plain members.
template <class Self>
class RunnerOf : public Runner {
 public:
  using Runner::Runner;
  std::unique_ptr<Runner> fork() const override { return std::make_unique<Self>(static_cast<const Self&>(*this)); }
};

// Makes the runner of a layer; kinds that cannot run in software are refused (std::runtime_error).
std::unique_ptr<Runner> make_runner(const Layer& layer);

// Runner factories, one per family file.
std::unique_ptr<Runner> make_input_runner(const Layer& layer);      // InputData
std::unique_ptr<Runner> make_quantizer_runner(const Layer& layer);  // Quantizer
std::unique_ptr<Runner> make_dequantizer_runner(const Layer& layer);
std::unique_ptr<Runner> make_conv_runner(const Layer& layer);       // Conv2D, DepthwiseConv2D, InputConv2D
std::unique_ptr<Runner> make_transpose_runner(const Layer& layer);  // Conv2DTranspose, DepthwiseConv2DTranspose
std::unique_ptr<Runner> make_dense_runner(const Layer& layer);      // Dense1D
std::unique_ptr<Runner> make_temporal_runner(const Layer& layer);   // BufferTempConv, DepthwiseBufferTempConv
std::unique_ptr<Runner> make_add_runner(const Layer& layer);
std::unique_ptr<Runner> make_concatenate_runner(const Layer& layer);
std::unique_ptr<Runner> make_recurrent_runner(const Layer& layer);        // StatefulRecurrent
std::unique_ptr<Runner> make_post_processing_runner(const Layer& layer);  // LumoPostProcessing
std::unique_ptr<Runner> make_v1_conv_runner(const Layer& layer);  // InputConvolutional, Convolutional, SeparableConvolutional
std::unique_ptr<Runner> make_v1_dense_runner(const Layer& layer);  // FullyConnected

// ---- helpers shared by the runners ----

// The values an input layer takes: its "input_bits" (1 to 32, else std::invalid_argument) and
// "input_signed", and the range they give.
struct InputValues {
  int32_t bits = 8;
  bool is_signed = false;
  arith::Range range;
};
InputValues input_values(const Layer& layer);

// std::invalid_argument "Layer '<name>': <message>"
[[noreturn]] void layer_error(const Layer& layer, const std::string& message);

// Integer parameter, or `fallback` when the layer's parameters lack the key.
int32_t param(const Layer& layer, const char* key, int32_t fallback);

// The values of a variable widened to int32, in row-major order of its shape; empty when the layer has
// no such variable. With `count` non-zero the variable must hold exactly that many values.
std::vector<int32_t> int_values(const Layer& layer, const char* name, size_t count);
// Same for a shift variable, whose values must also lie in the range of the element type its layer
// kind declares for it (0 to 255 for a uint8 shift), whatever type its tensor was set with: a shift
// outside that range has no meaning and would overflow the shift arithmetic.
std::vector<int32_t> shift_values(const Layer& layer, const char* name, size_t count);
// Replaces the layer's "weights" by a new tensor of the same type, shape and layout holding the values
// (row-major order); holders of the old tensor keep it.
void replace_weights(const Layer& layer, const std::vector<int32_t>& row_major_values);
// Same for a variable of signed values of at most 8 bits (int8, int4, int2 or bit), kept in 8 bits; empty
// when the layer has no such variable or it has another element type.
std::vector<int8_t> small_values(const Layer& layer, const char* name);
// The variable itself when its elements are such signed values of at most 8 bits (null otherwise), for
// runners that read it in its own layout.
std::shared_ptr<const Dense> small_stored(const Layer& layer, const char* name);
// How many times the runners have read a layer's weights since the process started: a run reads each
// layer's once, whatever its number of threads.
uint64_t weight_reads();
// How many buffers the runs have kept as bytes (ByteFrame) since the process started, counted once a run
// whatever its number of threads.
uint64_t byte_frames();
void count_byte_frames(uint64_t n);
// Same for float32 variables.
std::vector<float> float_values(const Layer& layer, const char* name, size_t count);
// Shape of a variable (empty shape when absent).
Shape variable_shape(const Layer& layer, const char* name);

// First input dimensions and output dimensions of a layer, as 3-dimensional shapes.
Shape input_dims3(const Layer& layer);
Shape output_dims3(const Layer& layer);

// The output stage of a neuron layer, applied per channel to potentials (accumulator plus bias):
// scale and shift, then the activation (ReLU clamp or lookup table), then the output range.
class OutputStage {
 public:
  // With a scale source, the scales and shifts are its "input_scales" and "input_shift" instead of the
  // layer's own "output_scales" and "output_shift" (a recurrent layer hands its outputs to a
  // post-processing layer that way).
  OutputStage(const Layer& layer, uint32_t channels, const Layer* scale_source = nullptr);

  // Potential of channel c from a wrapped 32-bit accumulator.
  int32_t potential(uint32_t acc, uint32_t c) const { return arith::add_bias(arith::as_signed(acc), bias_[c]); }
  // Output of channel c from its potential.
  int32_t output(int32_t p, uint32_t c) const;
  // Predict value of channel c from a potential (or the sum of `count` potentials).
  float predict(int64_t p, uint32_t c, int64_t count = 1) const {
    return arith::predict_value(p, scale_[c], shift_[c], count);
  }
  // Output of every position of a (positions, channels) buffer of accumulators.
  void outputs(const uint32_t* acc, size_t positions, int32_t* out) const;
  // The same as bytes, position i at out + i x stride, when every output lies in 0 .. 255 (bytes()).
  void outputs(const uint32_t* acc, size_t positions, uint8_t* out, size_t stride) const;
  bool bytes() const { return range_.lo >= 0 && range_.hi <= 255; }
  // True when a larger accumulator never gives a smaller output (every activation but the lookup table).
  bool non_decreasing() const { return activation_ != ActivationType::LUT; }

 private:
  uint32_t channels_;
  ActivationType activation_;
  std::vector<int64_t> bias_;
  std::vector<uint32_t> scale_;
  std::vector<int32_t> shift_;
  std::vector<int64_t> relu_max_;
  std::vector<int32_t> lut_;
  std::vector<uint32_t> act_scale_;
  std::vector<int32_t> act_shift_;
  arith::Range range_;
  // Fast path of outputs() when no output shift is a left shift.
  bool all_right_ = true;
  std::vector<uint64_t> half_, right_;
  std::vector<int64_t> offset_;
  std::vector<int32_t> scale32_, max32_;
  // Its 32-bit path, for a ReLU whose products stay within 32 bits.
  bool narrow_ = false;
  std::vector<int32_t> low32_, high32_, bias32_;
  std::vector<uint32_t> half32_, right32_;
};

// Pooling after the output stage: none, max over windows, or average (global when pool_size is -1).
class PoolStage {
 public:
  // in0, in1: the size of the pooled image; reads "pool_type" and "pool_size", and the strides and padding
  // from the layer's calculated pooling parameters when it has them, else "pool_stride" (default: the
  // window) with Valid padding.
  PoolStage(const Layer& layer, uint32_t in0, uint32_t in1);
  // `type` over the windows of an explicit sweep (the v1 kinds, whose pooling keys differ); an inactive
  // stage passes the sweep's (d0, d1) image.
  PoolStage(PoolType type, const ops::kernel::Sweep& g) : type_(type), g_(g) {}
  PoolStage() = default;
  bool active() const { return type_ != PoolType::NoPooling; }
  uint32_t out0() const { return active() ? g_.out0 : g_.d0; }
  uint32_t out1() const { return active() ? g_.out1 : g_.d1; }
  // Pools a (in0, in1, C) integer image into (out0, out1, C).
  void pool(const int32_t* in, uint32_t channels, int32_t* out) const;
  // The outputs of a (in0, in1, C) image of accumulators, pooled into (out0, out1, C) (not pooled when the
  // stage is inactive); `scratch` holds in0 x in1 x C values. A max pooling of a stage that never lowers
  // its output as the accumulator grows pools the accumulators and runs the stage on the pooled ones only.
  void pool_outputs(const OutputStage& stage, const uint32_t* acc, uint32_t channels, int32_t* scratch,
                    int32_t* out) const;
  // Predict: pools potentials (max, or sums for the average) then turns them into floats.
  void pool_predict(const int32_t* potentials, uint32_t channels, const OutputStage& stage, float* out) const;

 private:
  PoolType type_ = PoolType::NoPooling;
  ops::kernel::Sweep g_;
};

}  // namespace ovrix::software
