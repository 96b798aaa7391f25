// HardwareSequenceBuilder::build_sequence: from the builder's passes to one device program and one
// HardwareSequence. Settles the input buffering at pass boundaries, drives the serializer pass by
// pass while it counts the DMA descriptors against the device's budget, then hands the serializer
// what the program information records about the model's input and output.
#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "engine/device.h"
#include "engine/engine.h"
#include "engine/layer.h"
#include "mapping/backend_interfaces.h"
#include "mapping/edition_registry.h"
#include "mapping/host_hooks.h"
#include "mapping/sequence_builder.h"
#include "program/io_format.h"
#include "program/serializer.h"

namespace ovrix {

namespace {

bool is_kind(const LayerPtr& layer, hw::TargetKind kind) { return layer->is_target_component(kind); }

LayerType type_of(const Layer& layer) {
  const LayerParams* params = layer.parameters();
  return params == nullptr ? LayerType::Unknown : params->layer_type();
}

bool contains(const LayerList& list, const LayerPtr& layer) {
  return std::find(list.begin(), list.end(), layer) != list.end();
}

// The input layout of an FNP layer "rows packed" (2), which keeps a lookup-table activation on the
// CNP that feeds it.
bool fnp_input_rows_packed(const Layer& next) { return edition_registry().fnp_input_padding(next) == 2; }

// Whether the layer's lookup-table activation is applied by the layer that follows it in the pass.
bool lut_flag_of(const LayerPtr& layer, const LayerPtr& next) {
  if (layer->activation() != ActivationType::LUT || !next) return false;
  if (is_kind(next, hw::TargetKind::TNP_B)) return true;
  return is_kind(layer, hw::TargetKind::CNP) && is_kind(next, hw::TargetKind::FNP) &&
         (layer->output_bits() == 4 || fnp_input_rows_packed(*next));
}

// Every NP reads with one input buffer in a multi-pass program, except the NPs that carry the last
// layer of a pass into the first layer of the next one, which keep two.
void settle_input_buffers(const std::vector<std::shared_ptr<Sequence::Pass>>& passes) {
  for (const auto& pass : passes)
    for (const LayerPtr& layer : pass->layers)
      for (hw::Component& component : *require_layer_mapping(*layer)->nps)
        if (component.np) component.np->single_buffer = true;

  for (size_t k = 0; k + 1 < passes.size(); ++k) {
    const LayerPtr last = last_mappable_layer(passes[k]->layers);
    const LayerPtr first = first_mappable_layer(passes[k + 1]->layers);
    if (!last || !first) continue;
    auto& from = *require_layer_mapping(*last)->nps;
    auto& to = *require_layer_mapping(*first)->nps;
    for (hw::Component& a : from) {
      if (!a.np) continue;
      const auto b = std::find_if(to.begin(), to.end(), [&](const hw::Component& c) { return c.ident == a.ident; });
      if (b == to.end()) continue;
      a.np->single_buffer = false;
      if (b->np) b->np->single_buffer = false;
    }
  }
}

// Columns of the NPs that the pass's first mappable layer runs on (the layer after it when that one
// runs on the HRC and hrc_only is false).
std::pair<uint8_t, uint8_t> np_column_range(const Sequence::Pass& pass, bool hrc_only) {
  LayerPtr first = first_mappable_layer(pass.layers);
  if (!first) throw std::runtime_error("A hardware pass without a layer running on hardware has no NP columns.");
  if (is_kind(first, hw::TargetKind::HRC)) {
    if (hrc_only) return {0, 0};
    first = first->outbounds().at(0);
  }
  const auto& nps = *require_layer_mapping(*first)->nps;
  if (nps.size() == 1 && nps.front().type == hw::Type::HRC) return {1, 1};
  if (nps.empty())
    throw std::runtime_error(fmt::format("Layer '{}' runs on no NP: its NP columns are unknown.", first->name()));
  uint8_t lo = std::numeric_limits<uint8_t>::max(), hi = 0;
  for (const hw::Component& c : nps) {
    lo = std::min(lo, c.ident.col);
    hi = std::max(hi, c.ident.col);
  }
  return {lo, hi};
}

// Skip-DMA descriptors a layer adds to its pass in a multi-pass program.
unsigned skipdma_descriptors(const LayerMapping& mapping) {
  return (mapping.store_channel_info ? 4u : 0u) + (mapping.store_dual_output_channel_info ? 4u : 0u) +
         (mapping.load_channel_info ? 1u : 0u);
}

}  // namespace

std::pair<MappingStatus, std::shared_ptr<HardwareSequence>> HardwareSequenceBuilder::build_sequence() {
  if (passes_.empty()) throw std::runtime_error("A hardware sequence needs at least one pass.");
  for (const auto& pass : passes_)
    if (!pass) throw std::runtime_error("A hardware sequence cannot hold a null pass.");
  using Failure = std::pair<MappingStatus, std::shared_ptr<HardwareSequence>>;

  const size_t passes_count = passes_.size();
  const bool multi_pass = passes_count > 1;
  if (multi_pass) settle_input_buffers(passes_);

  SequenceSerializer serializer(layer_recorder_, io_recorder_);
  serializer.serialize_version(device_->version());

  const LayerPtr first = first_mappable_layer(layers_);
  const LayerPtr last_mappable = last_mappable_layer(layers_);
  if (!first || !last_mappable)
    throw std::runtime_error("A hardware sequence needs a layer running on hardware.");
  const LayerPtr last = layers_.back();
  const int8_t input_type = static_cast<int8_t>(io_recorder_.get_input_type(*first));
  const int8_t output_type = static_cast<int8_t>(io_recorder_.get_output_type(*last, input_type));
  const bool last_is_dequantizer = type_of(*last) == LayerType::Dequantizer;
  const uint8_t output_bits = last_is_dequantizer ? last->input_bits() : last->output_bits();
  const bool input_on_hrc = is_kind(first, hw::TargetKind::HRC);
  const bool output_on_hrc = is_kind(last_mappable, hw::TargetKind::HRC);

  const std::vector<Shape> first_inputs = first->input_dims();
  if (first_inputs.empty()) throw std::runtime_error(fmt::format("Layer '{}' has no input.", first->name()));
  Shape input_shape = first_inputs.front();
  if (type_of(*first) == LayerType::Dense1D) {
    // A dense first layer reads its input as one flat vector.
    const uint64_t flat = uint64_t{input_shape[0]} * input_shape[1] * input_shape[2];
    if (flat == 0) panic("Cannot have a shape with dimension %zu set to 0", size_t{2});
    if (flat > std::numeric_limits<uint32_t>::max())
      throw std::runtime_error(fmt::format("The input of layer '{}' has too many values.", first->name()));
    input_shape = Shape{1, 1, static_cast<uint32_t>(flat)};
  }
  const Shape output_shape = last->output_dims();
  const bool output_flag = last->output_flag();
  uint32_t conv_a = 0, conv_b = 0;
  if (input_on_hrc) {
    const auto* conv = dynamic_cast<const HasConvParams*>(first.get());
    if (conv == nullptr)
      throw std::runtime_error(fmt::format("Layer '{}' runs on the HRC without convolution parameters.", first->name()));
    const ConvCalculatedParams& params = conv->conv_calculated_params();
    conv_a = params.output_height;
    conv_b = params.output_width;
  }
  const LayerPtr seq_first = first_mappable_layer(passes_.front()->layers);
  if (!seq_first) throw std::runtime_error("The first hardware pass needs a layer running on hardware.");

  uint64_t max_count = 0;
  for (size_t k = 0; k < passes_count; ++k) {
    const Sequence::Pass& pass = *passes_[k];
    const bool last_pass_index = k + 1 == passes_count;
    const LayerPtr next_first = last_pass_index ? nullptr : first_mappable_layer(passes_[k + 1]->layers);

    uint64_t pass_count = 0;
    if (k == 0) {
      const bool scc_bits = last_is_dequantizer ? last->input_bits() <= 8
                            : output_flag       ? false
                                                : last->output_bits() <= 8;
      pass_count = serializer.serialize_scc_program(input_on_hrc, input_type == 0, output_on_hrc, output_type == 0,
                                                    scc_bits, input_shape, output_shape);
      MappingStatus status = check_num_descriptors(first, 1, pass_count);
      if (status.failed) return Failure(std::move(status), nullptr);
    }

    const LayerPtr pass_first = first_mappable_layer(pass.layers);
    const LayerPtr pass_last = last_mappable_layer(pass.layers);
    for (const LayerPtr& layer : pass.layers) {
      const bool starts_pass = k > 0 && layer == pass_first;
      const bool ends_pass = !last_pass_index && layer == pass_last;
      // The next mappable layer of the pass matters only to a lookup-table activation; finding it
      // walks the graph, so it is looked for only then.
      LayerPtr next;
      if (layer->activation() == ActivationType::LUT) {
        next = next_mappable_layer(layer);
        if (next && !contains(pass.layers, next)) next.reset();
      }
      const bool lut_flag = lut_flag_of(layer, next);

      uint64_t n;
      if (!layer->is_learning()) {
        n = serializer.serialize_layer_program(*layer, *seq_first, next_first, starts_pass, ends_pass, {}, false,
                                               lut_flag);
        // A recurrent chain on the TNP-R is recorded as a whole by its first layer.
        if (is_kind(layer, hw::TargetKind::TNP_R)) break;
        if (multi_pass) n += skipdma_descriptors(*require_layer_mapping(*layer));
      } else {
        n = serializer.serialize_learning_layer_program(*layer, starts_pass);
      }
      pass_count += n;
      MappingStatus status = check_num_descriptors(layer, k + 1, pass_count);
      if (status.failed) return Failure(std::move(status), nullptr);
    }

    if (next_first) {
      std::vector<hw::Ident> used;
      for (const LayerPtr& layer : pass.layers)
        for (const hw::Component& c : *require_layer_mapping(*layer)->nps) used.push_back(c.ident);
      pass_count += serializer.serialize_unused_nps_program(next_first, seq_first, used);
      MappingStatus status = check_num_descriptors(pass_last, k + 1, pass_count);
      if (status.failed) return Failure(std::move(status), nullptr);
    }
    max_count = std::max(max_count, pass_count);
    serializer.finalize_pass();
  }

  const uint64_t descriptors_per_pass = max_count + 1;
  {
    MappingStatus status =
        check_num_descriptors(last_mappable_layer(passes_.back()->layers), passes_count, descriptors_per_pass);
    if (status.failed) return Failure(std::move(status), nullptr);
  }

  if (output_type != 3) {
    auto [lo, hi] = np_column_range(*passes_.front(), output_on_hrc);
    for (size_t k = 1; k < passes_count; ++k) {
      const auto [lo_k, hi_k] = np_column_range(*passes_[k], false);
      lo = std::min(lo, lo_k);
      hi = std::max(hi, hi_k);
    }
    serializer.serialize_epg_tracks(*first, lo, hi, 1, output_on_hrc, multi_pass, input_type == 0);
  }

  const Layer& front = *layers_.front();
  const std::vector<float> input_scales = io::format_input_scales(front);
  const std::vector<uint8_t> input_zero_points = io::format_input_zero_points(front);
  const std::vector<int32_t> output_shift = io::format_output_shift(*last);
  const std::vector<float> output_scales = io::format_output_scales(*last);
  const uint8_t input_bits = io::input_bits(front);
  const bool input_sign = io::input_sign(front);
  const bool channels_first = io::input_channels_first(front);
  const bool lumo_post = type_of(*last) == LayerType::LumoPostProcessing;

  serializer.record_dummy_desc_hdr(multi_pass);
  const char* version_text = ovrix::version();
  serializer.finalize(version_text ? version_text : "", input_shape, output_shape, input_type, output_type, output_bits,
                      output_flag, conv_a, conv_b, output_shift, output_scales,
                      static_cast<uint8_t>(descriptors_per_pass), &program_, passes_, input_bits, input_sign,
                      channels_first, input_scales, input_zero_points, lumo_post);

  // The sequence takes the program; clear() empties what is left here.
  auto sequence = std::make_shared<HardwareSequence>(device_, constraints_, layers_, passes_, std::move(program_));
  clear();
  return {MappingStatus::success(), std::move(sequence)};
}

}  // namespace ovrix
