#include "mapping/mapping_status.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace ovrix {
namespace {

TEST(MappingStatus, SuccessRendersAsSuccess) {
  EXPECT_EQ(MappingStatus::success().to_string(), "Success.");
  EXPECT_FALSE(MappingStatus::success().failed);
  EXPECT_EQ(MappingStatusGroup().to_string(), "Success.");
}

TEST(MappingStatus, MergeRules) {
  MappingStatus failed("conv_1", "A.");
  MappingStatus merged = failed;
  merged += MappingStatus::success();
  EXPECT_EQ(merged, failed);

  MappingStatus ok = MappingStatus::success();
  ok += failed;
  EXPECT_EQ(ok.to_string(), "Cannot map layer 'conv_1'. A.");

  merged += MappingStatus("other", "B.");
  EXPECT_EQ(merged.layer_name, "conv_1");
  EXPECT_EQ(merged.message, "A. B.");

  MappingStatus bare("", "Bare message.");
  EXPECT_EQ(bare.to_string(), "Bare message.");
}

TEST(MappingStatusGroup, RendersOneOrSeveralStatuses) {
  MappingStatusGroup group;
  group.add_status(MappingStatus("dense", "A"));
  EXPECT_EQ(group.to_string(), "Cannot map layer 'dense'. A");
  group.add_status(MappingStatus("dense", "A"));
  EXPECT_EQ(group.statuses.size(), 1u);
  group.add_status(MappingStatus("dense", "B"));
  group.add_status(MappingStatus("", "C"));
  EXPECT_EQ(group.to_string(), "Cannot map layer 'dense':\n  * Layer 'dense': A\n  * Layer 'dense': B\n  * C");
  EXPECT_THROW(group.throw_exception(), std::runtime_error);
}

TEST(MappingStatusGroup, AppendingFailedGroupWithoutStatuses) {
  MappingStatusGroup other;
  other.failed = true;
  other.message = "Nothing fits.";
  MappingStatusGroup group;
  group += other;
  EXPECT_TRUE(group.failed);
  EXPECT_TRUE(group.statuses.empty());
  EXPECT_EQ(group.to_string(), "Nothing fits.");
}

}  // namespace
}  // namespace ovrix
