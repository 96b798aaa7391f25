// CNP sizes and threshold blocks against tables (tests/data/v1/cnp_sizes.txt, cnp_thresholds.txt).
#include <gtest/gtest.h>

#include "backends/v1/cnp_sizes.h"
#include "backends/v1/cnp_thresholds.h"
#include "backends/v1/cnp_weights.h"
#include "support/message_of.h"
#include "support/v1_table.h"
#include "support/v1_tensors.h"

namespace ovrix::v1 {
namespace {

using testing::Case;
using testing::num;

uint32_t arg(const Case& c, size_t i) { return static_cast<uint32_t>(num(c.in.at(i))); }

uint32_t size(const Case& c) {
  const std::string& f = c.in.at(0);
  if (f == "container") return get_cnp_channel_container_size(arg(c, 1), static_cast<uint8_t>(arg(c, 2)));
  if (f == "input_sram") return get_cnp_input_sram_size(arg(c, 1), arg(c, 2), arg(c, 3));
  if (f == "std_size") return get_std_cnp_sram_size(arg(c, 1), arg(c, 2), arg(c, 3), static_cast<int>(arg(c, 4)));
  if (f == "dw_size") return get_dw_weights_sram_size(static_cast<int>(arg(c, 1)), arg(c, 2), static_cast<int>(arg(c, 3)));
  if (f == "pw_slots") return get_nb_words_per_pw_channel(arg(c, 1), static_cast<int>(arg(c, 2)));
  if (f == "sep_size") return get_sep_cnp_sram_size(arg(c, 1), arg(c, 2), arg(c, 3), static_cast<int>(arg(c, 4)));
  ADD_FAILURE() << "unknown function " << f;
  return 0;
}

TEST(V1CnpSizes, Table) {
  for (const Case& c : testing::read_table("cnp_sizes.txt")) {
    SCOPED_TRACE(c.where());
    if (c.fails())
      EXPECT_EQ(test_support::message_of([&] { size(c); }), c.error);
    else
      EXPECT_EQ(size(c), static_cast<uint32_t>(num(c.out.at(0))));
  }
}

TEST(V1CnpThresholds, Table) {
  for (const Case& c : testing::read_table("cnp_thresholds.txt")) {
    SCOPED_TRACE(c.where());
    const std::vector<int> thresholds = testing::values(c.in.at(3)), steps = testing::values(c.in.at(4));
    const auto t = testing::filled(TensorType::int32, Shape{uint32_t(thresholds.size())}, thresholds);
    const auto s = testing::filled(TensorType::int32, Shape{uint32_t(steps.size())}, steps);
    auto run = [&] { return format_cnp_thresholds(*t, *s, num(c.in[0]) != 0, arg(c, 1), arg(c, 2)); };
    if (c.fails()) {
      EXPECT_EQ(test_support::message_of(run), c.error);
      continue;
    }
    std::vector<uint32_t> expected;
    for (size_t i = 1; i < c.out.size(); ++i) expected.push_back(testing::hex(c.out[i]));
    ASSERT_EQ(expected.size(), static_cast<size_t>(num(c.out.at(0))));
    EXPECT_EQ(run(), expected);
  }
}

TEST(V1CnpThresholds, Int32TensorsOnly) {
  const auto t = testing::filled(TensorType::float32, Shape{2}, {1});
  const auto s = testing::filled(TensorType::int32, Shape{2}, {1});
  EXPECT_EQ(test_support::message_of([&] { format_cnp_thresholds(*t, *s, true, 0, 1); }),
            "Wrong requested type i for a tensor of type float32");
  EXPECT_EQ(test_support::message_of([&] { format_cnp_thresholds(*s, *t, true, 0, 1); }),
            "Wrong requested type i for a tensor of type float32");
}

}  // namespace
}  // namespace ovrix::v1
