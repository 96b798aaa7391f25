#include "backends/v1/io_recorder.h"

#include "backends/common/register_fields.h"

#include "backends/common/layer_queries.h"
#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/host_hooks.h"
#include "program/reg_detail.h"

namespace ovrix::v1 {

namespace {

// SCC words and their fields.
constexpr uint16_t SCC_MODE_ADDRESS = 4;
constexpr uint16_t SCC_INPUT_ADDRESS = 64;
constexpr uint16_t SCC_OUTPUT_ADDRESS = 68;
constexpr RegDetail SCC_MODE_INPUT_DMA{0, 1};
constexpr RegDetail SCC_MODE_RAW_OUTPUT{3, 1};
constexpr RegDetail SCC_MODE_RAW_INPUT{4, 1};
constexpr RegDetail SCC_MODE_OUTPUT_HRC{8, 1};
constexpr RegDetail SCC_INPUT_CHANNELS{0, 18};
constexpr RegDetail SCC_OUTPUT_WORDS{0, 20};
constexpr RegDetail SCC_OUTPUT_CHANNELS{20, 11};

// EPG register offsets, fixed values and fields.
constexpr uint32_t EPG_CONTROL_OFFSET = 0x00;
constexpr uint32_t EPG_BURST_OFFSET = 0x0C;
constexpr uint32_t EPG_COLUMNS_OFFSET = 0x10;
constexpr uint32_t EPG_CHANNEL_OFFSET = 0x14;
constexpr uint32_t EPG_WINDOW_OFFSET = 0x18;
constexpr uint32_t EPG_LIMIT_OFFSET = 0x1C;
constexpr uint32_t EPG_CONTROL = 0x00020200;
constexpr RegDetail EPG_CONTROL_FLAT_FNP_INPUT{1, 1};
constexpr RegDetail EPG_CONTROL_RAW_INPUT{12, 1};
constexpr uint32_t EPG_BURST_MULTI_PASS = 0x012C0010;
constexpr uint32_t EPG_BURST_SINGLE_PASS = 0x00000010;
constexpr RegDetail EPG_COLUMNS_ENABLE{0, 1};
constexpr RegDetail EPG_COLUMNS_FIRST{16, 8};
constexpr RegDetail EPG_COLUMNS_LAST{24, 8};
constexpr RegDetail EPG_CHANNEL_LOW{8, 8};
constexpr uint32_t EPG_WINDOW = 0x00FE0001;
constexpr RegDetail EPG_WINDOW_CHANNEL{24, 8};
constexpr uint32_t EPG_LIMIT = 0x027FFFFF;

// Input channel counts from this one up are streamed whatever the product.
constexpr uint32_t RAW_INPUT_CHANNEL_LIMIT = 0x40000;
// Products above this id can send the output unformatted.
constexpr uint8_t COMPACT_OUTPUT_MIN_PRODUCT = 0xA1;
constexpr uint32_t COMPACT_OUTPUT_MAX_CHANNELS = 2047;

const hw::Ident SCC_IDENT{0, 0, 0, 0};

// The output size word: channels × rows and the channels, both checked against their fields.
uint32_t scc_output_word(const Shape& output) {
  if (output[0] == 1 && output[1] == 1) return 0;
  const uint32_t channels = output[2];
  const uint64_t words = uint64_t{channels} * output[1];
  if (channels > field_mask(SCC_OUTPUT_CHANNELS))
    panic("Attempted to write value %u into a %u-bit field, which will cause an overflow.", channels,
          SCC_OUTPUT_CHANNELS.width);
  if (words > field_mask(SCC_OUTPUT_WORDS))
    panic("Attempted to write value %llu into a %u-bit field, which will cause an overflow.",
          static_cast<unsigned long long>(words), SCC_OUTPUT_WORDS.width);
  return with_field(with_field(0, SCC_OUTPUT_WORDS, static_cast<uint32_t>(words)), SCC_OUTPUT_CHANNELS, channels);
}

}  // namespace

bool is_flat_fnp_input(const Layer& layer) {
  if (!layer.is_target_component(hw::TargetKind::FNP)) return false;
  const auto& inbounds = layer.inbound_layers();
  if (!inbounds.empty() && inbounds[0]->is_target_component(hw::TargetKind::CNP)) return false;
  const Shape input = first_input_shape(layer);
  return input[0] == 1 && input[1] == 1;
}

IoRecorderImpl::IoRecorderImpl(const Device& device) : IoRecorder(device) {}

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(bool input_hrc, bool raw_input, bool output_hrc,
                                                            bool raw_output, bool /*narrow_output*/,
                                                            const Shape& input, const Shape& output) const {
  auto record = program::new_record(device_.version());
  uint32_t mode = 0;
  set_field(&mode, SCC_MODE_INPUT_DMA, input_hrc ? 0 : 1);
  set_field(&mode, SCC_MODE_RAW_OUTPUT, raw_output ? 1 : 0);
  set_field(&mode, SCC_MODE_RAW_INPUT, raw_input ? 1 : 0);
  set_field(&mode, SCC_MODE_OUTPUT_HRC, output_hrc ? 1 : 0);
  record->add_np_track(SCC_IDENT, dma::Target::RegisterWrites, SCC_MODE_ADDRESS, {mode});
  if (raw_input)
    record->add_np_track(SCC_IDENT, dma::Target::RegisterWrites, SCC_INPUT_ADDRESS,
                         {with_field(0, SCC_INPUT_CHANNELS, input[2])});
  if (raw_output)
    record->add_np_track(SCC_IDENT, dma::Target::RegisterWrites, SCC_OUTPUT_ADDRESS, {scc_output_word(output)});
  return record;
}

std::unique_ptr<std::vector<RegisterWrite>> IoRecorderImpl::record_epg(const Layer& first_layer,
                                                                       uint8_t first_column, uint8_t last_column,
                                                                       uint8_t channel, bool /*output_hrc*/,
                                                                       bool multi_pass, bool raw_input) const {
  auto writes = std::make_unique<std::vector<RegisterWrite>>();
  uint32_t control = EPG_CONTROL;
  set_field(&control, EPG_CONTROL_FLAT_FNP_INPUT, is_flat_fnp_input(first_layer) ? 1 : 0);
  set_field(&control, EPG_CONTROL_RAW_INPUT, raw_input ? 1 : 0);
  writes->emplace_back(EPG_CONTROL_OFFSET, control);
  writes->emplace_back(EPG_BURST_OFFSET, multi_pass ? EPG_BURST_MULTI_PASS : EPG_BURST_SINGLE_PASS);
  writes->emplace_back(EPG_COLUMNS_OFFSET, with_field(with_field(with_field(0, EPG_COLUMNS_ENABLE, 1), EPG_COLUMNS_FIRST, first_column),
                                                EPG_COLUMNS_LAST, last_column));
  writes->emplace_back(EPG_CHANNEL_OFFSET, with_field(0, EPG_CHANNEL_LOW, channel));
  writes->emplace_back(EPG_WINDOW_OFFSET, with_field(EPG_WINDOW, EPG_WINDOW_CHANNEL, channel));
  writes->emplace_back(EPG_LIMIT_OFFSET, EPG_LIMIT);
  return writes;
}

uint8_t IoRecorderImpl::get_input_type(const Layer& first_layer) const {
  if (device_.version().product_id != 0 && first_input_shape(first_layer)[2] < RAW_INPUT_CHANNEL_LIMIT) return 0;
  switch (layer_type(first_layer)) {
    case LayerType::InputConvolutional: return 0;
    case LayerType::FullyConnected: return is_flat_fnp_input(first_layer) ? 1 : 2;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: return 2;
    default: throw std::runtime_error("Unsupported layer type.");
  }
}

// A Quantizer or Dequantizer closing a v1 model is refused here too: the v1 output stage has no
// format for it.
uint8_t IoRecorderImpl::get_output_type(const Layer& last_layer, int8_t input_type) const {
  const bool compact = device_.version().product_id >= COMPACT_OUTPUT_MIN_PRODUCT &&
                       last_layer.output_dimensions()[2] <= COMPACT_OUTPUT_MAX_CHANNELS && input_type == 0;
  switch (layer_type(last_layer)) {
    case LayerType::FullyConnected: return compact ? 0 : 1;
    case LayerType::InputConvolutional: return 3;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: return compact && last_layer.activation_enabled() ? 0 : 2;
    default: throw std::runtime_error("Unsupported layer type.");
  }
}

}  // namespace ovrix::v1
