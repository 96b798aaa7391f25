// HardwareSequenceBuilder: collecting the passes of one hardware sequence, counting DMA descriptors
// against the device's budget, and build_sequence, from those passes to one device program and one
// HardwareSequence. build_sequence settles the input buffering at pass boundaries, drives the
// serializer pass by pass while it counts the descriptors, then hands the serializer what the
// program information records about the model's input and output.
#include "mapping/sequence_builder.h"

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
#include "mapping/mesh.h"
#include "program/io_format.h"
#include "program/serializer.h"

namespace ovrix {

namespace {

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
    first = first->outbound_layers().at(0);
  }
  const auto& nps = *require_layer_mapping(*first)->nps;
  if (nps.size() == 1 && nps.front().type == hw::Type::HRC) return {1, 1};
  if (nps.empty())
    throw std::runtime_error(fmt::format("Layer '{}' runs on no NP: its NP columns are unknown.", first->get_name()));
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

// Bytes of program data a sequence will most likely take, at most (the weights are recorded anyway):
// the editions lay an n-bit weight out in at most 1.5 n bits of words (with their containers and the
// padding of the last filter group), and each NP's registers, variables and headers take well under
// 4 KiB. An estimate short of the program only lets the buffer grow.
size_t program_data_estimate(const std::vector<std::shared_ptr<Sequence::Pass>>& passes) {
  constexpr size_t per_np = 4096;
  size_t bytes = 64 * 1024;
  for (const auto& pass : passes)
    for (const LayerPtr& layer : pass->layers) {
      // Only the weights are looked at: reading a variable that was never set would create it.
      if (const auto variables = layer->variables())
        for (const std::string& name : variables->names())
          if (name.rfind("weights", 0) == 0)
            if (const auto tensor = variables->get(name)) {
              const size_t bits = tensor->type() == TensorType::int4   ? 4
                                  : tensor->type() == TensorType::int2 ? 2
                                  : tensor->type() == TensorType::bit  ? 1
                                                                       : 8;
              bytes += tensor->size() * bits * 3 / 16;
            }
      if (const auto mapping = layer_mapping(*layer); mapping && mapping->nps) bytes += per_np * mapping->nps->size();
    }
  return bytes;
}

}  // namespace

HardwareSequenceBuilder::HardwareSequenceBuilder(std::shared_ptr<Device> device, const HardwareConstraints& constraints,
                                                 const IoRecorder& io_recorder, const LayerRecorder& layer_recorder)
    : device_(std::move(device)), constraints_(constraints), io_recorder_(io_recorder), layer_recorder_(layer_recorder) {
  if (!device_) throw std::invalid_argument("A hardware sequence builder needs a device.");
}

void HardwareSequenceBuilder::add_layers(LayerList layers, const LayerList& sequence_layers,
                                         ComponentLists components) {
  if (layers.size() != components.size())
    throw std::invalid_argument(fmt::format("A hardware pass of {} layers was given {} component lists.",
                                            layers.size(), components.size()));
  for (const LayerPtr& layer : layers)
    if (!layer) throw std::invalid_argument("A hardware pass cannot hold a null layer.");

  if (pending_layer_) {
    layers.insert(layers.begin(), std::move(pending_layer_));
    components.insert(components.begin(), std::move(pending_components_));
    pending_layer_.reset();
    pending_components_.clear();
  }
  if (!layers.empty() && layers.back()->is_target_component(hw::TargetKind::SkipDma)) {
    pending_layer_ = std::move(layers.back());
    pending_components_ = std::move(components.back());
    layers.pop_back();
    components.pop_back();
  }
  // A group that was only a held-back skip-DMA layer makes no pass of its own.
  if (layers.empty()) return;

  layers_.insert(layers_.end(), layers.begin(), layers.end());
  passes_.push_back(
      std::make_shared<HardwarePass>(layers, sequence_layers, components, device_->mesh().dma_event, last_pass()));
}

std::shared_ptr<HardwarePass> HardwareSequenceBuilder::hardware_pass(size_t index) const {
  if (index >= passes_.size())
    throw std::out_of_range(fmt::format("Pass {} does not exist: the builder holds {} passes.", index, passes_.size()));
  return std::dynamic_pointer_cast<HardwarePass>(passes_[index]);
}

std::shared_ptr<HardwarePass> HardwareSequenceBuilder::last_pass() const {
  return passes_.empty() ? nullptr : hardware_pass(passes_.size() - 1);
}

void HardwareSequenceBuilder::clear() {
  layers_.clear();
  passes_.clear();
  program_.clear();
}

MappingStatus HardwareSequenceBuilder::check_num_descriptors(const LayerPtr& layer, uint64_t a, uint64_t b) {
  uint64_t needed = 0;
  const bool overflow = __builtin_mul_overflow(a, b, &needed);
  if (!overflow && needed <= max_descriptors) return MappingStatus::success();
  // The layer may be one of the passes that clear() releases: take its name first.
  std::string name = layer ? layer->get_name() : std::string();
  clear();
  const std::string count = overflow ? fmt::format("{} x {}", a, b) : fmt::format("{}", needed);
  return MappingStatus(std::move(name),
                       fmt::format("Model is too big. The maximum number of descriptors is more than allowed. {} are "
                                   "needed but {} are available.",
                                   count, max_descriptors));
}

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
  serializer.reserve_program_data(program_data_estimate(passes_));

  const LayerPtr first = first_mappable_layer(layers_);
  const LayerPtr last_mappable = last_mappable_layer(layers_);
  if (!first || !last_mappable)
    throw std::runtime_error("A hardware sequence needs a layer running on hardware.");
  const LayerPtr last = layers_.back();
  const int8_t input_type = static_cast<int8_t>(io_recorder_.get_input_type(*first));
  const int8_t output_type = static_cast<int8_t>(io_recorder_.get_output_type(*last, input_type));
  const bool last_is_dequantizer = layer_type(*last) == LayerType::Dequantizer;
  const uint8_t output_bits = last_is_dequantizer ? last->input_bits() : last->output_bits();
  const bool input_on_hrc = is_kind(first, hw::TargetKind::HRC);
  const bool output_on_hrc = is_kind(last_mappable, hw::TargetKind::HRC);

  const std::vector<Shape> first_inputs = first->input_dimensions();
  if (first_inputs.empty()) throw std::runtime_error(fmt::format("Layer '{}' has no input.", first->get_name()));
  Shape input_shape = first_inputs.front();
  if (layer_type(*first) == LayerType::Dense1D) {
    // A dense first layer reads its input as one flat vector.
    const uint64_t flat = uint64_t{input_shape[0]} * input_shape[1] * input_shape[2];
    if (flat == 0) panic("Cannot have a shape with dimension %zu set to 0", size_t{2});
    if (flat > std::numeric_limits<uint32_t>::max())
      throw std::runtime_error(fmt::format("The input of layer '{}' has too many values.", first->get_name()));
    input_shape = Shape{1, 1, static_cast<uint32_t>(flat)};
  }
  const Shape output_shape = last->output_dimensions();
  const bool output_flag = last->output_flag();
  uint32_t conv_a = 0, conv_b = 0;
  if (input_on_hrc) {
    const auto* conv = dynamic_cast<const HasConvParams*>(first.get());
    if (conv == nullptr)
      throw std::runtime_error(fmt::format("Layer '{}' runs on the HRC without convolution parameters.", first->get_name()));
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

  // Read in this order, so that of several faults the first one read is reported.
  const Layer& front = *layers_.front();
  std::vector<float> input_scales = io::format_input_scales(front);
  std::vector<uint8_t> input_zero_points = io::format_input_zero_points(front);
  std::vector<int32_t> output_shift = io::format_output_shift(*last);
  std::vector<float> output_scales = io::format_output_scales(*last);

  serializer.record_dummy_desc_hdr(multi_pass);
  const char* version_text = ovrix::version();
  serializer.finalize(
      {
          .version = version_text ? version_text : "",
          .input_shape = input_shape,
          .output_shape = output_shape,
          .input_type = input_type,
          .output_type = output_type,
          .output_bits = output_bits,
          .output_flag = output_flag,
          .input_conv_param_a = conv_a,
          .input_conv_param_b = conv_b,
          .output_shift = std::move(output_shift),
          .output_scales = std::move(output_scales),
          .descriptors_per_pass = static_cast<uint8_t>(descriptors_per_pass),
          .input_bits = io::input_bits(front),
          .input_signed = io::input_sign(front),
          .input_channels_first = io::input_channels_first(front),
          .input_scales = std::move(input_scales),
          .input_zero_points = std::move(input_zero_points),
          .lumo_post_processing = layer_type(*last) == LayerType::LumoPostProcessing,
      },
      passes_, &program_);

  // The sequence takes the program; clear() empties what is left here.
  auto sequence = std::make_shared<HardwareSequence>(device_, constraints_, layers_, passes_, std::move(program_));
  clear();
  return {MappingStatus::success(), std::move(sequence)};
}

}  // namespace ovrix
