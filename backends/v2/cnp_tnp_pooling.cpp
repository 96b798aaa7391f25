#include "backends/v2/cnp_tnp_pooling.h"

namespace ovrix::v2 {

bool get_no_pooling_params(PoolingCalculatedParams* params, uint32_t width, uint32_t height) {
  *params = PoolingCalculatedParams{};
  params->stride_x = 1;
  params->stride_y = 1;
  params->output_width = width;
  params->output_height = height;
  return true;
}

void format_cnp_pooling_registers(RegisterBlock* regs, const Shape& input, const NpSpace& partition,
                                  uint8_t pool_size, uint8_t pool_stride, bool pool_flag,
                                  const PaddingParams& pool_padding, bool outbound_max_pooling) {
  write_field(regs, W27_POOL_SIZE, pool_size);
  write_field(regs, W27_POOL_STRIDE, pool_stride);
  write_flag(regs, W27_POOL_FLAG, pool_flag);
  // The pooling pads only the borders of the whole input that the NP's part touches.
  const uint64_t right = uint64_t{partition.x} + partition.shape[0];
  const uint64_t bottom = uint64_t{partition.y} + partition.shape[1];
  write_flag(regs, W27_RESERVED_9, false);
  write_flag(regs, W27_PAD_LEFT, partition.x == 0 && pool_padding.x_before > 0);
  write_flag(regs, W27_PAD_RIGHT, right == input[0] && pool_padding.x_after > 0);
  write_flag(regs, W27_PAD_TOP, partition.y == 0 && pool_padding.y_before > 0);
  write_flag(regs, W27_PAD_BOTTOM, bottom == input[1] && pool_padding.y_after > 0);
  if (outbound_max_pooling) write_flag(regs, W2_OUTBOUND_MAX_POOLING, true);
}

}  // namespace ovrix::v2
