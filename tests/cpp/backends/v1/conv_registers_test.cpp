// CNP register images of mapped v1 convolutions against a table (tests/data/v1/cnp_register_images.txt):
// one NP's 50 words for plain and split layers (signed cut offsets), separable layers, pooling kinds,
// filter-count fields, partial reconfiguration and the spike flag.
#include <gtest/gtest.h>

#include "backends/v1/conv_recording.h"
#include "backends/v1/sep_conv_recording.h"
#include "support/message_of.h"
#include "support/v1_cnp_layers.h"
#include "support/v1_table.h"

namespace ovrix::v1 {
namespace {

using testing::Case;
using testing::sparse_text;

RegisterMap build(const testing::Keys& keys, const testing::MappedLayers& layers) {
  std::vector<hw::Ident> skipped;
  if (keys.count("skip"))
    for (const auto& t : testing::parts(keys.find("skip")->second, ',')) skipped.push_back(testing::ident_of(t));
  const bool spikes = testing::key(keys, "spikes", 0) != 0, flag = testing::key(keys, "oflag", 0) != 0;
  if (keys.find("kind")->second == "sep") return build_sep_conv_np_regs(*layers.layer, layers.next, spikes, flag, skipped);
  return build_conv_np_regs(*layers.layer, layers.next, spikes, flag, skipped);
}

TEST(V1CnpRegisterImages, Table) {
  for (const Case& c : testing::read_table("cnp_register_images.txt")) {
    SCOPED_TRACE(c.where());
    const testing::Keys keys = testing::keys_of(c.in);
    const testing::MappedLayers layers = testing::mapped_layers(keys);
    if (c.fails()) {
      EXPECT_EQ(test_support::message_of([&] { build(keys, layers); }), c.error);
      continue;
    }
    const RegisterMap regs = build(keys, layers);
    const auto found = regs.find(testing::ident_of(keys.find("check")->second));
    ASSERT_NE(found, regs.end());
    EXPECT_EQ(sparse_text(found->second), Case::join(c.out));
  }
}

}  // namespace
}  // namespace ovrix::v1
