#pragma once
// What the two TNP-B recorders (standard and depthwise buffered temporal convolutions) share: the
// reading of their weights, the byte placement in weight blocks, and the recording loop.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/v2/cnp_sizes.h"
#include "engine/device.h"
#include "engine/dma.h"
#include "engine/layer.h"
#include "program/record.h"

namespace ovrix::v2 {

// The weights (1, 1, rows, filters) of a TNP-B layer, read for the filters start .. start + count - 1
// of one NP. Refuses a tensor of another rank, one whose elements are not stored as signed bytes
// (the typed-access refusal), and a filter range beyond the tensor.
class TnpBWeightView {
 public:
  TnpBWeightView(const Dense& weights, uint32_t start, uint32_t count)
      : data_(weights.data_as<int8_t>()), start_(start) {
    const Shape shape = weights.shape();
    if (shape.size() != 4)
      throw std::invalid_argument("TNP-B weights must have 4 dimensions, not " + std::to_string(shape.size()) + ".");
    if (uint64_t{start} + count > shape[3])
      throw std::out_of_range("Filters " + std::to_string(start) + " to " + std::to_string(uint64_t{start} + count) +
                              " (excluded) are beyond the " + std::to_string(shape[3]) + " filters of the weights.");
    rows_ = shape[2];
    const std::vector<uint32_t> strides = weights.strides();
    row_stride_ = strides[2];
    filter_stride_ = strides[3];
  }
  uint32_t rows() const { return rows_; }
  // Element (0, 0, row, start + filter).
  int8_t at(uint32_t row, uint32_t filter) const {
    return data_[uint64_t{row} * row_stride_ + (uint64_t{start_} + filter) * filter_stride_];
  }

 private:
  const int8_t* data_;
  uint32_t start_;
  uint32_t rows_ = 0;
  uint64_t row_stride_ = 0;
  uint64_t filter_stride_ = 0;
};

// Writes a weight as byte `byte` of the block (byte k is byte k mod 4 of word k div 4).
inline void put_byte(std::vector<uint32_t>* block, uint64_t byte, int8_t value) {
  block->at(byte / 4) |= uint32_t{static_cast<uint8_t>(value)} << (8 * (byte % 4));
}

// One TNP-B layer kind: its LayerType, whether it is depthwise (per-NP input shifts, depthwise
// registers) and its weight block of one NP.
struct TnpBKind {
  LayerType type;
  bool depthwise;
  std::vector<uint32_t> (*weights)(const Layer& layer, const Dense& weights, uint32_t start, uint32_t filters);
};
extern const TnpBKind BUFFER_TEMP_CONV;
extern const TnpBKind DEPTHWISE_BUFFER_TEMP_CONV;

// The record of a TNP-B layer: the skip-DMA channels, then per NP its registers, weights, input
// shifts and variables (registers alone with registers_only).
std::unique_ptr<program::Record> record_tnp_b_layer(const TnpBKind& kind, const Device& device, const Layer& layer,
                                                    std::shared_ptr<Layer> next_layer, bool starts_pass,
                                                    bool ends_pass, const std::vector<hw::Ident>& excluded_nps,
                                                    bool registers_only, bool lut_flag);

}  // namespace ovrix::v2
