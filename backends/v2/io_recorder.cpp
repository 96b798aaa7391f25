#include "backends/v2/io_recorder.h"

#include "backends/common/register_fields.h"
#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/host_hooks.h"
#include "program/reg_detail.h"

namespace ovrix::v2 {

namespace {

// SCC words and their fields.
constexpr uint16_t SCC_MODE_ADDRESS = 4;
constexpr uint16_t SCC_INPUT_ADDRESS = 64;
constexpr uint16_t SCC_OUTPUT_ADDRESS = 68;
constexpr RegDetail SCC_MODE_ENABLE{0, 1};
constexpr RegDetail SCC_MODE_FIXED_3{3, 1};
constexpr RegDetail SCC_MODE_FIXED_4{4, 1};
constexpr RegDetail SCC_MODE_FLAG_20{20, 1};
constexpr RegDetail SCC_INPUT_CHANNELS{0, 18};
constexpr RegDetail SCC_OUTPUT_WORDS{0, 20};
constexpr RegDetail SCC_OUTPUT_CHANNELS{20, 11};
constexpr uint32_t SCC_OUTPUT_CHANNELS_LIMIT = 2048;

// EPG register offsets and values.
constexpr uint32_t EPG_CONTROL = 0x00021200;
constexpr RegDetail EPG_CONTROL_FNP{1, 1};
constexpr RegDetail EPG_CONTROL_D{16, 1};
constexpr uint32_t EPG_BURST = 16;
constexpr RegDetail EPG_ENABLE{0, 1};
constexpr RegDetail EPG_A{16, 8};
constexpr RegDetail EPG_B{24, 8};
constexpr RegDetail EPG_C_LOW{8, 8};
constexpr RegDetail EPG_C_HIGH{24, 8};
constexpr uint32_t EPG_WINDOW = 0x00FE0001;
constexpr uint32_t EPG_LIMIT = 0x027FFFFF;

const hw::Ident SCC_IDENT{0, 0, 0, 0};

}  // namespace

IoRecorderImpl::IoRecorderImpl(const Device& device) : IoRecorder(device) {}

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(bool a, bool /*b*/, bool /*c*/, bool /*d*/, bool e,
                                                            const Shape& input, const Shape& output) const {
  auto record = program::new_record(device_.version());
  uint32_t mode = 0;
  set_field(&mode, SCC_MODE_ENABLE, a ? 0 : 1);
  set_field(&mode, SCC_MODE_FIXED_3, 1);
  set_field(&mode, SCC_MODE_FIXED_4, 1);
  set_field(&mode, SCC_MODE_FLAG_20, e ? 1 : 0);
  record->add_np_track(SCC_IDENT, dma::Target::RegisterWrites, SCC_MODE_ADDRESS, {mode});

  record->add_np_track(SCC_IDENT, dma::Target::RegisterWrites, SCC_INPUT_ADDRESS,
                       {with_field(0, SCC_INPUT_CHANNELS, input[2])});

  uint32_t out = 0;
  if (output[0] != 1 || output[1] != 1) {
    const uint32_t channels = output[2];
    const uint64_t words = uint64_t{channels} * output[1];
    if (words > 0xFFFFF)
      panic("Attempted to write value %llu into a %u-bit field, which will cause an overflow.",
            static_cast<unsigned long long>(words), SCC_OUTPUT_WORDS.width);
    set_field(&out, SCC_OUTPUT_WORDS, static_cast<uint32_t>(words));
    if (channels < SCC_OUTPUT_CHANNELS_LIMIT) set_field(&out, SCC_OUTPUT_CHANNELS, channels);
  }
  record->add_np_track(SCC_IDENT, dma::Target::RegisterWrites, SCC_OUTPUT_ADDRESS, {out});
  return record;
}

std::unique_ptr<std::vector<RegisterWrite>> IoRecorderImpl::record_epg(const Layer& last_layer, uint8_t a, uint8_t b,
                                                                       uint8_t c, bool d, bool /*e*/,
                                                                       bool /*f*/) const {
  auto writes = std::make_unique<std::vector<RegisterWrite>>();
  uint32_t control = EPG_CONTROL;
  set_field(&control, EPG_CONTROL_FNP, last_layer.is_target_component(hw::TargetKind::FNP) ? 1 : 0);
  set_field(&control, EPG_CONTROL_D, d ? 1 : 0);
  writes->emplace_back(0, control);
  writes->emplace_back(12, EPG_BURST);
  writes->emplace_back(16, with_field(with_field(with_field(0, EPG_ENABLE, 1), EPG_A, a), EPG_B, b));
  writes->emplace_back(20, with_field(0, EPG_C_LOW, c));
  writes->emplace_back(24, with_field(EPG_WINDOW, EPG_C_HIGH, c));
  writes->emplace_back(28, EPG_LIMIT);
  return writes;
}

uint8_t IoRecorderImpl::get_input_type(const Layer& /*first_layer*/) const { return 0; }

uint8_t IoRecorderImpl::get_output_type(const Layer& /*last_layer*/, int8_t /*input_type*/) const { return 0; }

}  // namespace ovrix::v2
