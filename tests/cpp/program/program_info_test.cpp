#include "engine/program_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <vector>

#include "program/program_data_generated.h"
#include "program/program_info_generated.h"

namespace ovrix {
namespace {

struct ProgramSpec {
  std::vector<uint32_t> input_dims{32, 32, 3};
  std::vector<uint32_t> output_dims{1, 1, 10};
  uint8_t input_bits = 8;
  uint8_t output_bits = 4;
  bool output_flag = true;
  uint8_t descriptors_per_pass = 7;
  std::vector<uint32_t> store_words{16, 54};  // one skip-DMA store per entry, all in the second pass
  uint32_t data_words = 100;                   // one track in the first pass
};

std::vector<uint8_t> make_program(const ProgramSpec& spec) {
  flatbuffers::FlatBufferBuilder data(1024);
  std::vector<uint32_t> words(spec.data_words, 0xABCD);
  auto track = fb::CreateNpTrack(data, data.CreateVector(words));
  auto record = fb::CreateRecord(data, data.CreateVector(std::vector{track}));
  auto pass0 = fb::CreatePass(data, data.CreateVector(std::vector{record}));
  auto pass1 = fb::CreatePass(data, data.CreateVector(std::vector<flatbuffers::Offset<fb::Record>>{}));
  const fb::DescriptorHeader dummy(0, 0);
  data.FinishSizePrefixed(fb::CreateProgramData(data, data.CreateVector(std::vector{pass0, pass1}), 0, &dummy));

  flatbuffers::FlatBufferBuilder info(1024);
  std::vector<fb::SkipDmaSpan> stores;
  for (uint32_t w : spec.store_words) stores.emplace_back(1, 0, 0, 0, 0, 0, 0, w);
  std::vector<flatbuffers::Offset<fb::PassSpans>> passes{fb::CreatePassSpans(info),
                                                         fb::CreatePassSpans(info, 0, info.CreateVectorOfStructs(stores))};
  const fb::TrackSpan dummy_span(8, 2);
  info.FinishSizePrefixed(fb::CreateProgramInfoDirect(
      info, "1.0", fb::CreateDeviceVersion(info, 0xBC, 0xA2), &spec.input_dims, &spec.output_dims, fb::IoType::Compact,
      fb::IoType::Compact, spec.output_bits, spec.output_flag, 0, 0, nullptr, nullptr, spec.descriptors_per_pass,
      nullptr, &passes, 0, &dummy_span, spec.input_bits));

  std::vector<uint8_t> program(info.GetBufferPointer(), info.GetBufferPointer() + info.GetSize());
  program.insert(program.end(), data.GetBufferPointer(), data.GetBufferPointer() + data.GetSize());
  return program;
}

TEST(ProgramInfo, SplitsTheProgramIntoItsTwoParts) {
  const auto program = make_program({});
  const ProgramInfo info(program.data(), program.size());
  uint32_t s1;
  std::memcpy(&s1, program.data(), 4);
  EXPECT_EQ(info.info_data(), program.data());
  EXPECT_EQ(info.info_size(), s1 + 4u);
  EXPECT_EQ(info.program_data(), program.data() + s1 + 4);
  EXPECT_EQ(info.info_size() + info.program_data_size(), program.size());
}

TEST(ProgramInfo, AnswersTheSixMemoryQueries) {
  const auto program = make_program({});
  const ProgramInfo info(program.data(), program.size());
  EXPECT_EQ(input_memory_required(info), 32u * 32 * 3);
  EXPECT_EQ(input_descriptor_memory_required(info), 32u);
  EXPECT_EQ(output_memory_required(info), 8u);  // 10 values of 4 bits: 5 bytes, in whole words
  EXPECT_EQ(program_data_memory_required(info), info.program_data_size());
  EXPECT_EQ(extra_program_memory_required(info), (16u + 54u) * 4);
  EXPECT_EQ(program_descriptors_memory_required(info), 2u * 7 * 32);
}

struct MemoryCase {
  const char* name;
  ProgramSpec spec;
  uint64_t input, output, extra;
};

class ProgramMemory : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(ProgramMemory, FollowsTheShapesAndWidths) {
  const auto program = make_program(GetParam().spec);
  const ProgramInfo info(program.data(), program.size());
  EXPECT_EQ(input_memory_required(info), GetParam().input);
  EXPECT_EQ(output_memory_required(info), GetParam().output);
  EXPECT_EQ(extra_program_memory_required(info), GetParam().extra);
}

ProgramSpec with(std::function<void(ProgramSpec&)> change) {
  ProgramSpec spec;
  change(spec);
  return spec;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramMemory,
    ::testing::Values(
        // 1 x 1 x 5 values of 1 bit: one byte, one word.
        MemoryCase{"OneBitInput", with([](ProgramSpec& s) { s.input_dims = {1, 1, 5}; s.input_bits = 1; }), 4, 8, 280},
        // Without output activation the device returns 32-bit potentials.
        MemoryCase{"Potentials", with([](ProgramSpec& s) { s.output_flag = false; }), 3072, 40, 280},
        // An input width of 0 is left out of the information; it counts as bytes.
        MemoryCase{"UnsetInputBits", with([](ProgramSpec& s) { s.input_bits = 0; s.input_dims = {3}; }), 4, 8, 280},
        MemoryCase{"NoSkipDma", with([](ProgramSpec& s) { s.store_words.clear(); }), 3072, 8, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProgramInfo, RefusesMalformedPrograms) {
  const auto good = make_program({});
  uint32_t s1;
  std::memcpy(&s1, good.data(), 4);

  std::vector<std::vector<uint8_t>> bad;
  bad.push_back({});
  bad.push_back({1, 0, 0});
  bad.push_back(std::vector<uint8_t>(good.begin(), good.end() - 4));  // data cut short
  auto trailing = good;
  trailing.push_back(0);
  bad.push_back(trailing);
  auto huge_prefix = good;
  huge_prefix[3] = 0x7F;  // the first size no longer fits the program
  bad.push_back(huge_prefix);
  auto bad_root = good;
  bad_root[4] = 0xF0;  // root offset of the information points outside it
  bad.push_back(bad_root);
  auto bad_data_root = good;
  bad_data_root[s1 + 8] = 0xF0;
  bad.push_back(bad_data_root);

  for (size_t i = 0; i < bad.size(); ++i) {
    EXPECT_THROW(ProgramInfo(bad[i].data(), bad[i].size()), std::runtime_error) << "case " << i;
  }
  EXPECT_THROW(ProgramInfo(nullptr, 16), std::runtime_error);
}

}  // namespace
}  // namespace ovrix
