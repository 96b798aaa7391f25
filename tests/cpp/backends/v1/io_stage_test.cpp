// The v1 input/output recorder, case by case from tests/data/v1/io_stage.txt: the SCC words of the
// input stage, the EPG writes of the output stage, and the input and output types.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "backends/v1/io_recorder.h"
#include "program/record.h"
#include "support/v1_table.h"
#include "support/v1_layers.h"

namespace ovrix::v1 {
namespace {

using namespace testing;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

std::string hex8(uint32_t v) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

// The chain of words[from..to): an input then "kind:params" layers.
Chain chain_in(const std::vector<std::string>& words, size_t from, size_t to) {
  return chain_of(words.at(from), {words.begin() + from + 1, words.begin() + to});
}

TEST(V1IoStage, Table) {
  for (const Case& c : read_table("io_stage.txt")) {
    SCOPED_TRACE(c.where());
    const std::string& what = c.in.at(0);
    const auto device = v1_device(version_of(c.in.at(1)));
    const IoRecorderImpl recorder(*device);
    const size_t n = c.in.size();
    if (what == "scc") {
      auto record = [&] {
        return recorder.record_scc(num(c.in.at(2)), num(c.in.at(3)), num(c.in.at(4)), num(c.in.at(5)), true,
                                   shape_of(c.in.at(6)), shape_of(c.in.at(7)));
      };
      if (c.fails()) {
        EXPECT_THAT(record, ThrowsMessage<std::runtime_error>(StrEq(c.error)));
        continue;
      }
      const auto result = record();
      ASSERT_EQ(result->tracks().size(), 1u);
      std::vector<std::string> words;
      for (uint32_t w : result->tracks()[0].words()) words.push_back(hex8(w));
      EXPECT_EQ(words, c.out);
      EXPECT_EQ(result->hw_version(), device->version());
    } else if (what == "epg") {
      const Chain chain = chain_in(c.in, 2, n - 6);
      const auto writes = recorder.record_epg(*chain.layers.back(), num(c.in.at(n - 6)), num(c.in.at(n - 5)),
                                              num(c.in.at(n - 4)), num(c.in.at(n - 3)), num(c.in.at(n - 2)),
                                              num(c.in.at(n - 1)));
      std::vector<std::string> got;
      for (const auto& [offset, value] : *writes) got.push_back(hex8(offset).substr(6) + "=" + hex8(value));
      EXPECT_EQ(got, c.out);
    } else if (what == "in" || what == "out") {
      const bool in = what == "in";
      const Chain chain = chain_in(c.in, 2, in ? n : n - 1);
      auto type = [&] {
        return in ? recorder.get_input_type(*chain.layers.back())
                  : recorder.get_output_type(*chain.layers.back(), static_cast<int8_t>(num(c.in.at(n - 1))));
      };
      if (c.fails()) {
        EXPECT_THAT(type, ThrowsMessage<std::runtime_error>(StrEq(c.error)));
      } else {
        EXPECT_EQ(std::to_string(type()), c.out.at(0));
      }
    } else {
      ADD_FAILURE() << "unknown case kind " << what;
    }
  }
}

}  // namespace
}  // namespace ovrix::v1
