#pragma once
// Software inference: runs a model's layers on the CPU with the engine's integer kernels (engine/ops.h).
// Model::forward, predict and fit call it for the layers that run in software; the arithmetic of every
// layer kind is described in engine/README.md ("Integer arithmetic" and "Software inference").
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/layer.h"
#include "engine/sequence.h"
#include "engine/tensor.h"

namespace ovrix::software {

enum class Mode {
  Forward,  // outputs of the last layer
  Predict,  // potentials of the last layer as float32 (scaled and shifted, not rounded)
  Fit,      // learning on the last layer, outputs as Forward
};

// Runs the samples of `input` through `layers` and returns the stacked outputs (N, d0, d1, d2), d being
// the last layer's output dimensions.
//
// - `layers`: in wiring order (every inbound layer of a layer comes before it in the list). A layer whose
//   inbound layer is not in the list, and the first layer, read the run's input. Not empty.
// - `input`: (N, s0, s1, s2), (s0, s1, s2) being the first layer's input dimensions; element type uint8,
//   int8, int16, int32 or float32. Integer values must fit the input range of an input layer (its bits and
//   sign); float32 values must be integers in that range, unless they go to Quantizers only (the first
//   layer, or every layer an input layer feeds), which take any float.
// - Samples run one after another, in order; the FIFOs of the temporal layers start empty (zero) at each
//   call and carry over from one sample to the next within the call.
// - Forward and Fit give float32 after a Dequantizer, uint8 or int8 (by the last layer's output sign) when
//   the last layer's activation is on and its output holds at most 8 bits, int32 otherwise. Predict gives
//   float32 and refuses a last layer whose activation is on (std::runtime_error) and a list made only of
//   an input layer (std::invalid_argument).
// - Fit needs learning parameters on the last layer (Layer::learning_params) and learns sample by sample
//   after computing each sample's output: `labels` hold one label per sample, one label for all, or none
//   (unsupervised). A sample whose label lies outside 0 .. num_classes - 1 is run but not learnt; a v1
//   FullyConnected numbers its classes as the device's neuron headers do, neuron k in class
//   k / (units / num_classes), so the neurons left over when the units do not divide into the classes
//   learn from the labels of the classes past num_classes - 1 that they are in. The
//   learnt weights are stored back into the layer's "weights" variable at the end of the call.
// Errors: std::invalid_argument for inputs, labels or layers that do not fit (with the layer's name),
// std::runtime_error for layer kinds that cannot run in software.
std::shared_ptr<Tensor> run(const std::vector<std::shared_ptr<Layer>>& layers, const Dense& input, Mode mode,
                            const std::vector<int32_t>& labels = {});

// The learning parameters of the layer a fit teaches, also when it learns on a device; refused
// (std::invalid_argument) when it has none: "Cannot fit: the last layer '<name>' has no learning
// parameters (compile the model first).".
std::shared_ptr<LearningParams> learning_params_to_fit(const Layer& last);

// What a run leaves for the next run on the same layers: the runners of every thread's lane (the layers
// prepared for the kernels, the runners' scratch) and the lanes' buffers, with a copy of everything the
// runners read from the layers (identities and wiring, parameters, geometry, learning parameters, every
// variable's type, shape, layout and bytes). A run reuses a runner only when what its layer and the layers
// wired to it hold now equals that copy, so an edit of any kind (Variables::set, a write through
// mutable_data, a fit, a new wiring) is seen by the next run. Opaque; used by one run at a time.
class RunState;

// `run` keeping its runners and buffers in `state` for the next call, with the same results and errors.
// A run that fails leaves the state empty.
std::shared_ptr<Tensor> run(RunState& state, const std::vector<std::shared_ptr<Layer>>& layers, const Dense& input,
                            Mode mode, const std::vector<int32_t>& labels = {});

// The run states a model keeps between its calls, one per software part of its runs (the whole run of an
// unmapped model, each software sequence of a mapped one), lent to one call at a time.
class RunCache {
 public:
  RunCache();
  ~RunCache();
  RunCache(const RunCache&) = delete;
  RunCache& operator=(const RunCache&) = delete;

  // Frees the states unless a call holds them (the layers they were made for are being edited).
  void clear();

  // The states of one call: the cache's own when no other call holds them, else fresh ones that go away
  // with the lease; two calls at once never share a state.
  class Lease {
   public:
    explicit Lease(RunCache& cache);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    // The state of software part `index` (0 for an unmapped model), empty when first asked for.
    RunState& part(size_t index);

   private:
    RunCache& cache_;
    bool holds_;  // the cache's own states
    std::vector<std::unique_ptr<RunState>> own_;
  };

 private:
  std::atomic<bool> busy_{false};
  std::vector<std::unique_ptr<RunState>> parts_;
};

// The checks of `run` on its input, made before any sample runs: the shape (N, s0, s1, s2) with s the
// first layer's input dimensions; the element type (uint8, int8, int16, int32 or float32); float32
// values whole 32-bit numbers unless they go to Quantizers only; and every value within the bits and
// sign of each input layer ("Layer '<name>': input value <v> does not fit its <b>-bit unsigned input.").
// std::invalid_argument otherwise. A mapped model makes them before its input reaches a device.
void check_input(const std::vector<std::shared_ptr<Layer>>& layers, const Dense& input);

// The input of a run that starts on a device: checked with check_input (and, for an InputConvolutional
// first layer, which takes any whole number in software, against its input bits and sign too), then,
// for an input layer of at most 8 bits, as the device reads it, one byte a value (uint8, int8 for a
// signed input layer); wider element types are narrowed, which the checks make exact. Other inputs
// come back as they are.
std::shared_ptr<const Dense> device_input(const std::vector<std::shared_ptr<Layer>>& layers,
                                          std::shared_ptr<const Dense> input);

// The label count of a fit of `samples` samples: none, one for all, or one per sample
// (std::invalid_argument "Expected one label per input (N) or one for all; got L." otherwise). Callers
// that convert labels check their count first.
void check_label_count(uint64_t samples, uint64_t labels);

// Runs a mapped model: its sequences one after the other, each taking the previous one's output.
// - When the first sequence runs on hardware, the input is checked first as `run` checks it, against the
//   model's layers, and given to the device as device_input makes it.
// - A Hardware sequence must be a ForwardableSequence: the samples (the input split along dimension 0)
//   go to forward_samples, with the labels in Fit (always a list, possibly empty) and none otherwise;
//   its outputs, one per sample and all of one shape and type, are stacked in order (N, ...). In Predict
//   a hardware result that ends the run is returned as float32.
// - A Software sequence runs the layers of its passes, in order, with `run`: in `mode` when it is the
//   last sequence, in Forward otherwise. After another sequence its input layers are skipped (the model
//   input went to the first sequence), and a sequence left without layers changes nothing.
// `model_layers` are the model's layers, for the checks of Predict that `run` makes on its own layers (the
// last layer's activation, an input-only model); learning on hardware is the hardware sequence's.
// With a lease, the software sequences keep their run states in it (part k for the k-th sequence).
// std::invalid_argument for an empty sequence list, a hardware sequence that cannot run samples, or
// outputs of different shapes or types.
std::shared_ptr<Tensor> run_sequences(const std::vector<std::shared_ptr<Sequence>>& sequences,
                                      const std::vector<std::shared_ptr<Layer>>& model_layers, const Dense& input,
                                      Mode mode, const std::vector<int32_t>& labels = {},
                                      RunCache::Lease* lease = nullptr);

}  // namespace ovrix::software
