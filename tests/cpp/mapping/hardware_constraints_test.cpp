#include "mapping/hardware_constraints.h"

#include <gtest/gtest.h>

namespace ovrix {
namespace {

struct LimitRow {
  IpVersion edition;
  SramSize sram;
  HardwareConstraints expected;
};

class HardwareLimits : public ::testing::TestWithParam<LimitRow> {};

TEST_P(HardwareLimits, FromEditionAndSram) {
  EXPECT_EQ(compute_hardware_constraints(GetParam().edition, GetParam().sram), GetParam().expected);
}

HardwareConstraints v1_standard() {
  return {10752, 7168, 4096, 4096, 2048, 2048, 32, 256, 2048, 512, 504, 5376, 10752, 10752, 0, 0, 0, 0, 0};
}
HardwareConstraints v2_standard() {
  return {12288, 4096, 4096, 4096, 2048, 2048, 64, 256, 1536, 512, 0, 8192, 16384, 16384, 256, 0, 0, 0, 0};
}

INSTANTIATE_TEST_SUITE_P(
    Editions, HardwareLimits,
    ::testing::Values(
        LimitRow{IpVersion::v1, SramSize_v1, v1_standard()}, LimitRow{IpVersion::v2, SramSize_v2, v2_standard()},
        LimitRow{IpVersion::lumo, SramSize_lumo, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 448, 8192, 892, 256}},
        // A lumo mesh with discovered sizes: the last four copy them, the rest stay 0 even with
        // input and weight bytes present.
        LimitRow{IpVersion::lumo, {100, 200, 1, 2, 3, 4}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}},
        // Products wrap in 32 bits before they are divided: W = 2^30 gives W * 8 = 0.
        LimitRow{IpVersion::v2,
                 {1u << 30, 1u << 30, 0, 0, 0, 0},
                 {uint32_t(((1u << 28) * 48u) / 50u), 0, 4096, 4096, 2048, 2048, 64, 256, 1536, 512, 0, 1u << 27,
                  1u << 28, 1u << 28, 256, 0, 0, 0, 0}},
        LimitRow{IpVersion::none, SramSize_v2, {}}));

}  // namespace
}  // namespace ovrix
