// Reading a device program: a size-prefixed program-information buffer followed by a size-prefixed
// program-data buffer, both checked with the flatbuffers verifier before anything is read.
#include "engine/program_info.h"

#include <flatbuffers/flatbuffers.h>
#include <fmt/format.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "program/program_data_generated.h"
#include "program/program_info_generated.h"

namespace ovrix {
namespace {

constexpr size_t prefix_bytes = sizeof(uint32_t);
// One DMA descriptor in host memory: eight 32-bit words.
constexpr uint64_t descriptor_bytes = 32;

[[noreturn]] void refuse(const std::string& why) { throw std::runtime_error("Invalid device program: " + why + "."); }

uint32_t read_prefix(const uint8_t* p) { return flatbuffers::ReadScalar<uint32_t>(p); }

const fb::ProgramInfo& info_of(const ProgramInfo& program) {
  return *fb::GetSizePrefixedProgramInfo(program.info_data());
}

uint64_t elements(const flatbuffers::Vector<uint32_t>* dims) {
  if (!dims || dims->size() == 0) return 0;
  uint64_t n = 1;
  for (uint32_t d : *dims) n *= d;
  return n;
}

// Bytes of `count` values of `bits` bits each, rounded up to whole 32-bit words.
uint64_t word_aligned_bytes(uint64_t count, uint64_t bits) {
  const uint64_t bytes = (count * bits + 7) / 8;
  return (bytes + 3) / 4 * 4;
}

}  // namespace

ProgramInfo::ProgramInfo(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 2 * prefix_bytes) refuse("too short");
  // The verifier checks alignment relative to the start of the buffer it is given, so both parts
  // must start on a 32-bit boundary (the widest scalar of either schema) for their reads to be aligned.
  if (reinterpret_cast<uintptr_t>(data) % alignof(uint32_t) != 0)
    throw std::invalid_argument("Device program bytes must start at a 4-byte aligned address.");
  const uint64_t info_size = uint64_t{read_prefix(data)} + prefix_bytes;
  if (info_size + prefix_bytes > size) refuse("the program information does not fit the program");
  if (info_size % alignof(uint32_t) != 0)
    refuse(fmt::format("the program information takes {} bytes, not a whole number of 32-bit words", info_size));
  const uint8_t* rest = data + info_size;
  const uint64_t data_size = uint64_t{read_prefix(rest)} + prefix_bytes;
  if (info_size + data_size != size) refuse("the program data does not end the program");

  flatbuffers::Verifier info_verifier(data, info_size);
  if (!fb::VerifySizePrefixedProgramInfoBuffer(info_verifier)) refuse("malformed program information");
  flatbuffers::Verifier data_verifier(rest, data_size);
  if (!fb::VerifySizePrefixedProgramDataBuffer(data_verifier)) refuse("malformed program data");

  info_ = data;
  info_size_ = info_size;
  data_ = rest;
  data_size_ = data_size;
}

uint64_t input_memory_required(const ProgramInfo& program) {
  const auto& info = info_of(program);
  const uint64_t bits = info.input_bits() ? info.input_bits() : 8;
  return word_aligned_bytes(elements(info.input_dims()), bits);
}

uint64_t input_descriptor_memory_required(const ProgramInfo&) { return descriptor_bytes; }

uint64_t output_memory_required(const ProgramInfo& program) {
  const auto& info = info_of(program);
  // Without the output activation the device returns 32-bit potentials.
  const uint64_t bits = info.output_flag() && info.output_bits() ? info.output_bits() : 32;
  return word_aligned_bytes(elements(info.output_dims()), bits);
}

uint64_t program_data_memory_required(const ProgramInfo& program) { return program.program_data_size(); }

uint64_t extra_program_memory_required(const ProgramInfo& program) {
  const auto& info = info_of(program);
  uint64_t words = 0;
  if (info.passes()) {
    for (const fb::PassSpans* pass : *info.passes()) {
      if (!pass->skipdma_stores()) continue;
      for (const fb::SkipDmaSpan* store : *pass->skipdma_stores()) words += store->size();
    }
  }
  return words * sizeof(uint32_t);
}

uint64_t program_descriptors_memory_required(const ProgramInfo& program) {
  const auto& info = info_of(program);
  const uint64_t passes = info.passes() ? info.passes()->size() : 0;
  return passes * info.descriptors_per_pass() * descriptor_bytes;
}

}  // namespace ovrix
