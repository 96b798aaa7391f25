#pragma once
// Read-only view of a device program and the memory it needs on the host side.
#include <cstddef>
#include <cstdint>

namespace ovrix {

class ProgramInfo {
 public:
  // Refuses (std::runtime_error) bytes that are not a size-prefixed program-information buffer
  // followed by a size-prefixed program-data buffer, the first a whole number of 32-bit words long;
  // `data` must be 4-byte aligned (std::invalid_argument otherwise).
  ProgramInfo(const uint8_t* data, size_t size);

  const uint8_t* info_data() const { return info_; }
  size_t info_size() const { return info_size_; }
  const uint8_t* program_data() const { return data_; }
  size_t program_data_size() const { return data_size_; }

 private:
  const uint8_t* info_ = nullptr;
  size_t info_size_ = 0;
  const uint8_t* data_ = nullptr;
  size_t data_size_ = 0;
};

uint64_t input_memory_required(const ProgramInfo& info);
uint64_t input_descriptor_memory_required(const ProgramInfo& info);
uint64_t output_memory_required(const ProgramInfo& info);
uint64_t program_data_memory_required(const ProgramInfo& info);
uint64_t extra_program_memory_required(const ProgramInfo& info);
uint64_t program_descriptors_memory_required(const ProgramInfo& info);

}  // namespace ovrix
