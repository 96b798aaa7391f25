#pragma once
// Small device programs for device tests, written with the generated builders of the program format.
#include <flatbuffers/flatbuffers.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "program/program_data_generated.h"
#include "program/program_info_generated.h"

namespace ovrix::device_testing {

struct TestProgram {
  std::vector<uint32_t> input_dims{4, 4, 1};
  std::vector<uint32_t> output_dims{1, 1, 10};
  uint8_t output_type = 0;
  uint8_t output_bits = 0;
  bool output_flag = false;
  // Learning memory of the learning layer, as the program's third learning record carries it.
  std::optional<std::vector<uint32_t>> fnp3_memory;  // a track: 2-word DMA header, then the block
  std::optional<std::vector<uint32_t>> fnp2_memory;  // an FNP2 filters track
  uint32_t tag = 0;  // makes programs of equal shape differ (written as a pass's only track word)

  TestProgram& in(std::vector<uint32_t> d) { input_dims = std::move(d); return *this; }
  TestProgram& out(std::vector<uint32_t> d) { output_dims = std::move(d); return *this; }
  TestProgram& type(uint8_t t) { output_type = t; return *this; }
  TestProgram& activation(uint8_t bits) { output_bits = bits; output_flag = true; return *this; }
  TestProgram& fnp3(std::vector<uint32_t> m) { fnp3_memory = std::move(m); return *this; }
  TestProgram& fnp2(std::vector<uint32_t> m) { fnp2_memory = std::move(m); return *this; }
  TestProgram& tagged(uint32_t t) { tag = t; return *this; }
};

inline std::vector<uint8_t> build_program(const TestProgram& p) {
  flatbuffers::FlatBufferBuilder data(1024);
  std::vector<flatbuffers::Offset<fb::Pass>> passes;
  {
    std::vector<uint32_t> words{p.tag};
    std::vector<flatbuffers::Offset<fb::NpTrack>> tracks{fb::CreateNpTrackDirect(data, &words)};
    std::vector<flatbuffers::Offset<fb::Record>> records{fb::CreateRecordDirect(data, &tracks)};
    passes.push_back(fb::CreatePassDirect(data, &records));
  }
  flatbuffers::Offset<fb::LearningLayer> learning = 0;
  if (p.fnp3_memory || p.fnp2_memory) {
    const fb::NpIdent np(1, 1, 2);
    std::vector<uint32_t> one{7};
    std::vector<flatbuffers::Offset<fb::NpTrack>> t1{fb::CreateNpTrackDirect(data, &one)};
    auto first = fb::CreateRecordDirect(data, &t1);
    std::vector<flatbuffers::Offset<fb::NpTrack>> t2{fb::CreateNpTrackDirect(data, &one)};
    auto second = fb::CreateRecordDirect(data, &t2);
    flatbuffers::Offset<fb::Record> third;
    if (p.fnp3_memory) {
      std::vector<flatbuffers::Offset<fb::NpTrack>> t3{fb::CreateNpTrackDirect(data, &*p.fnp3_memory)};
      third = fb::CreateRecordDirect(data, &t3);
    } else {
      auto filters = fb::CreateFnp2FiltersTrackDirect(data, &np, &*p.fnp2_memory);
      third = fb::CreateRecordDirect(data, nullptr, filters);
    }
    learning = fb::CreateLearningLayer(data, &np, first, second, third, 3);
  }
  const fb::DescriptorHeader dummy(0, 0);
  data.FinishSizePrefixed(fb::CreateProgramDataDirect(data, &passes, learning, &dummy));

  flatbuffers::FlatBufferBuilder info(1024);
  auto version = fb::CreateDeviceVersion(info, 0xBC, 0xA2, 1, 0);
  const std::vector<int32_t> shifts;
  const std::vector<float> scales;
  info.FinishSizePrefixed(fb::CreateProgramInfoDirect(
      info, "0.1.0", version, &p.input_dims, &p.output_dims, fb::IoType::Compact, static_cast<fb::IoType>(p.output_type),
      p.output_bits, p.output_flag, 0, 0, &shifts, &scales, 2));

  std::vector<uint8_t> bytes(info.GetBufferPointer(), info.GetBufferPointer() + info.GetSize());
  bytes.insert(bytes.end(), data.GetBufferPointer(), data.GetBufferPointer() + data.GetSize());
  return bytes;
}

// Size of the program-information part (with its prefix) of a program.
inline size_t info_part_size(const std::vector<uint8_t>& program) {
  return size_t{flatbuffers::ReadScalar<uint32_t>(program.data())} + 4;
}

}  // namespace ovrix::device_testing
