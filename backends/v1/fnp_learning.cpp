#include "backends/v1/fnp_learning.h"

#include <fmt/format.h>

#include <string>

#include "backends/common/layer_queries.h"
#include "backends/common/register_fields.h"
#include "backends/common/sizes.h"
#include "backends/v1/fnp_error.h"
#include "backends/v1/fnp_ram.h"
#include "backends/v1/fnp_registers.h"
#include "backends/v1/fnp_sizes.h"
#include "engine/engine.h"
#include "mapping/layer_mapping.h"

namespace ovrix::v1 {

namespace {

constexpr RegDetail HEADER_CLASS{20, 10};           // word 1
constexpr RegDetail HEADER_NUM_WEIGHTS{0, 20};      // word 2
constexpr RegDetail HEADER_THRESHOLD_HIGH{16, 4};   // word 2: bits 16..19 of threshold_learning
constexpr RegDetail HEADER_THRESHOLD_LOW{16, 16};   // word 3: bits 0..15 of threshold_learning
constexpr RegDetail HEADER_THSWAP{0, 16};           // word 3
constexpr uint32_t MAX_NUM_WEIGHTS = 0xFFFF;
constexpr uint32_t FNP3_COPY_HEADER_WORDS = 2;

// Words of one neuron block of the 1-bit learning layout.
uint64_t learning_block_words(uint64_t inputs) { return ceil_div(inputs, 32) + FNP_HEADER_WORDS; }

uint32_t as_count(double v) { return v <= 0 ? 0u : v >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(v); }

}  // namespace

void format_fnp_learning_headers(std::vector<uint32_t>* ram, uint32_t inputs, uint32_t units, uint32_t num_weights,
                                 uint32_t num_classes, const Dense& threshold_learning, const Dense& thswap) {
  const uint64_t block = learning_block_words(inputs);
  const int32_t* thresholds = threshold_learning.data_as<int32_t>();
  const int32_t* swaps = thswap.data_as<int32_t>();
  if (uint64_t{units} * block > ram->size() || units > threshold_learning.size() || units > thswap.size())
    throw FnpError(fmt::format("the learning layer has {} units, but {} neuron blocks, {} threshold_learning and {} "
                               "thswap values.",
                               units, ram->size() / block, threshold_learning.size(), thswap.size()));
  if (units > 0 && num_weights > MAX_NUM_WEIGHTS)
    throw FnpError(
        fmt::format("num_weights should be at most 65535 for learning. Receives num_weights {}.", num_weights));
  const uint32_t per_class = num_classes == 0 ? 0 : units / num_classes;
  for (uint32_t k = 0; k < units; ++k) {
    uint32_t* h = ram->data() + k * block;
    // Units that do not divide into the classes give the last neurons the next class number.
    if (num_classes > 1) set_field(&h[1], HEADER_CLASS, (per_class == 0 ? 0 : k / per_class) + 1);
    set_field(&h[2], HEADER_NUM_WEIGHTS, num_weights);
    const int32_t t = thresholds[k];
    if (t < 0) throw FnpError("Negative value for threshold_learning not supported.");
    const uint32_t threshold = signed_field_value(t, 20);
    set_field(&h[2], HEADER_THRESHOLD_HIGH, (threshold >> 16) & 0xF);
    set_field(&h[3], HEADER_THRESHOLD_LOW, threshold & 0xFFFF);
    set_field(&h[3], HEADER_THSWAP, static_cast<uint32_t>(swaps[k]));
  }
}

program::LearnRecordsPtr record_program_learning_dense_layer(const Device& device, const Layer& layer,
                                                             bool ib_spikes) {
  const auto mapping = require_layer_mapping(layer);
  const hw::Component& np = mapping->nps->at(0);
  const std::shared_ptr<LearningParams> params = layer.learning_params();
  if (!params) throw FnpError("layer '" + layer.get_name() + "' has no learning parameters.");
  const int32_t bits = layer_param(layer, "weights_bits");
  if (bits != 1)
    throw FnpError(fmt::format("on-chip learning needs 1-bit weights. Receives weights_bits {}.", bits));
  program::LearnRecordsPtr out;
  out.first = program::new_record(device.version());
  out.second = program::new_record(device.version());
  out.third = program::new_record(device.version());
  const auto learn = format_fnp_regs(device, layer, true, nullptr, ib_spikes, false);
  const auto infer = format_fnp_regs(device, layer, false, nullptr, ib_spikes, false);
  out.first->add_np_track(np.ident, kFnpRegistersTarget, 0, learn.at(np.ident));
  out.second->add_np_track(np.ident, kFnpRegistersTarget, 0, infer.at(np.ident));

  std::vector<uint32_t> ram = format_layer_fnp_ram(layer);
  const Shape shape = layer_variable(layer, "weights")->shape();
  format_fnp_learning_headers(&ram, shape[1], static_cast<uint32_t>(layer_param(layer, "units")),
                              as_count(params->get("num_weights")), as_count(params->get("num_classes")),
                              *layer_variable(layer, "threshold_learning"), *layer_variable(layer, "thswap"));
  if (np.type == hw::Type::FNP2)
    out.third->add_fnp2_filters_track(np.ident, ram);
  else
    out.third->add_np_track(np.ident, kFnpWeightsTarget, 0, ram);
  out.learning_value = get_fnp_sram_size(layer);
  return out;
}

void decode_fnp_learning_memory(const std::vector<uint32_t>& memory, VariablesImpl* variables, bool fnp3) {
  const auto weights = variables->get("weights");
  const auto thresholds = variables->get("threshold_learning");
  const auto swaps = variables->get("thswap");
  if (!weights || !thresholds || !swaps)
    throw FnpError("the layer needs the variables weights, threshold_learning and thswap to read learning back.");
  const Shape shape = weights->shape();
  const uint32_t n = shape[0], m = shape[1];
  const uint64_t block = learning_block_words(m);
  const size_t skip = fnp3 && memory.size() > FNP3_COPY_HEADER_WORDS ? FNP3_COPY_HEADER_WORDS : 0;
  if (memory.size() - skip < n * block)
    throw FnpError(fmt::format("the learning memory holds {} words, but {} neurons of {} inputs need {}.",
                               memory.size() - skip, n, m, n * block));
  if (thresholds->size() < n || swaps->size() < n)
    throw FnpError(fmt::format("threshold_learning and thswap need one value for each of the {} neurons.", n));
  const uint32_t* words = memory.data() + skip;

  std::shared_ptr<Dense> learnt = Dense::create(weights->type(), shape, Dense::Layout::Reversed);
  const std::vector<uint32_t> strides = learnt->strides();
  int8_t* w = learnt->mutable_data_as<int8_t>();
  std::shared_ptr<Dense> threshold_learning =
      Dense::create(thresholds->type(), thresholds->shape(), Dense::Layout::Reversed);
  std::shared_ptr<Dense> thswap = Dense::create(swaps->type(), swaps->shape(), Dense::Layout::Reversed);
  int32_t* t = threshold_learning->mutable_data_as<int32_t>();
  int32_t* v = thswap->mutable_data_as<int32_t>();
  for (uint32_t k = 0; k < n; ++k) {
    const uint32_t* h = words + k * block;
    for (uint32_t i = 0; i < m; ++i)
      w[size_t{k} * strides[0] + size_t{i} * strides[1]] = static_cast<int8_t>((h[4 + i / 32] >> (i % 32)) & 1u);
    t[k] = static_cast<int32_t>((h[2] & 0xF0000u) | (h[3] >> 16));
    v[k] = static_cast<int32_t>(h[3] & 0xFFFFu);
  }
  // Every value is decoded before the first variable changes.
  variables->set("weights", learnt);
  variables->set("threshold_learning", threshold_learning);
  variables->set("thswap", thswap);
}

void fnp_update_learn_vars(HardwareDevice* device, VariablesImpl* variables, bool fnp3) {
  if (device == nullptr) throw FnpError("the layer's device has no hardware to read learning back from.");
  if (variables == nullptr) throw FnpError("the layer's variables cannot take the learnt values.");
  std::vector<uint32_t> memory(device->learn_mem_size(), 0);
  device->learn_mem(memory.data());
  decode_fnp_learning_memory(memory, variables, fnp3);
}

}  // namespace ovrix::v1
