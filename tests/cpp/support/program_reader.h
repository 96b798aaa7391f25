#pragma once
// Reads a device program back with the generated flatbuffers code, for the program tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "program/program_data_generated.h"
#include "program/program_info_generated.h"

namespace ovrix::program_test {

struct ProgramView {
  std::vector<uint8_t> bytes;
  size_t info_size = 0;  // with its size prefix
  const fb::ProgramInfo* info = nullptr;
  const fb::ProgramData* data = nullptr;

  explicit ProgramView(std::vector<uint8_t> program) : bytes(std::move(program)) {
    EXPECT_GE(bytes.size(), 8u);
    info_size = 4 + u32_at(0);
    EXPECT_LE(info_size + 4, bytes.size());
    EXPECT_EQ(info_size + 4 + u32_at(info_size), bytes.size()) << "the data size prefix";
    flatbuffers::Verifier vi(bytes.data(), info_size);
    EXPECT_TRUE(fb::VerifySizePrefixedProgramInfoBuffer(vi));
    flatbuffers::Verifier vd(data_part(), data_size());
    EXPECT_TRUE(fb::VerifySizePrefixedProgramDataBuffer(vd));
    info = fb::GetSizePrefixedProgramInfo(bytes.data());
    data = fb::GetSizePrefixedProgramData(data_part());
  }

  uint32_t u32_at(size_t offset) const {
    uint32_t v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
  }
  const uint8_t* data_part() const { return bytes.data() + info_size; }
  size_t data_size() const { return bytes.size() - info_size; }

  // The words a span locates in the program data, checked against the vector length before them.
  std::vector<uint32_t> words_at(uint32_t offset, uint32_t size) const {
    EXPECT_GE(offset, 4u);
    EXPECT_EQ(offset % 4, 0u);
    EXPECT_LE(uint64_t{offset} + 4ull * size, data_size());
    if (offset < 4 || uint64_t{offset} + 4ull * size > data_size()) return {};
    uint32_t length;
    std::memcpy(&length, data_part() + offset - 4, 4);
    EXPECT_EQ(length, size) << "vector length before offset " << offset;
    std::vector<uint32_t> words(size);
    if (size) std::memcpy(words.data(), data_part() + offset, 4ull * size);
    return words;
  }
  std::vector<uint32_t> words_of(const fb::TrackSpan* span) const { return words_at(span->offset(), span->size()); }
};

// Whether a table has a field written (its vtable slot is not empty).
template <class T>
bool has_field(const T* table, flatbuffers::voffset_t field) {
  return reinterpret_cast<const flatbuffers::Table*>(table)->CheckField(field);
}

inline std::vector<uint32_t> to_vector(const flatbuffers::Vector<uint32_t>* v) {
  return v ? std::vector<uint32_t>(v->begin(), v->end()) : std::vector<uint32_t>{};
}

}  // namespace ovrix::program_test
