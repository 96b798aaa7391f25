#pragma once
// Helpers of the v2 edition tests.
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>

namespace ovrix::v2::testing {

inline std::string overflow_message(unsigned long long value, unsigned width) {
  return "Attempted to write value " + std::to_string(value) + " into a " + std::to_string(width) +
         "-bit field, which will cause an overflow.";
}

inline std::string signed_message(long long value, unsigned width) {
  return std::to_string(value) + " cannot fit in a " + std::to_string(width) + "-bit signed integer";
}

// The messages of a status, as the gathering joins them.
inline std::string joined(std::initializer_list<const char*> messages) {
  std::string out;
  for (const char* m : messages) out += (out.empty() ? "" : " ") + std::string(m);
  return out;
}

}  // namespace ovrix::v2::testing

#include <cstring>
#include <memory>
#include <vector>

#include "engine/tensor.h"

namespace ovrix::v2::testing {

// A 4-D int8 weight tensor (K, K, C, F) whose element (i, j, c, f) is value(i, j, c, f).
template <class Fn>
std::shared_ptr<Dense> make_weights(uint32_t k, uint32_t c, uint32_t f, Fn value,
                                    TensorType type = TensorType::int8) {
  std::shared_ptr<Dense> w = Dense::create(type, Shape{k, k, c, f});
  const std::vector<uint32_t> s = w->strides();
  auto* bytes = reinterpret_cast<int8_t*>(w->mutable_data().data());  // one byte per element
  for (uint32_t i = 0; i < k; ++i)
    for (uint32_t j = 0; j < k; ++j)
      for (uint32_t ch = 0; ch < c; ++ch)
        for (uint32_t fi = 0; fi < f; ++fi)
          bytes[i * s[0] + j * s[1] + ch * s[2] + fi * s[3]] = static_cast<int8_t>(value(i, j, ch, fi));
  return w;
}

// A 1-D tensor of the given values.
template <class T>
std::shared_ptr<Dense> make_vector(TensorType type, const std::vector<T>& values) {
  std::shared_ptr<Dense> t = Dense::create(type, Shape{static_cast<uint32_t>(values.size())});
  if (!values.empty()) std::memcpy(t->mutable_data().data(), values.data(), values.size() * sizeof(T));
  return t;
}

// Byte b of a word vector (little-endian words).
inline uint8_t byte_at(const std::vector<uint32_t>& words, size_t b) {
  return static_cast<uint8_t>(words.at(b / 4) >> (8 * (b % 4)));
}

// Bits [bit, bit + n) (n at most 64) of a word vector read as one stream of 32-bit words, least
// significant first.
inline uint64_t bits_at(const std::vector<uint32_t>& words, size_t bit, uint32_t n) {
  uint64_t v = 0;
  for (uint32_t k = 0; k < n; ++k) v |= uint64_t((words.at((bit + k) / 32) >> ((bit + k) % 32)) & 1u) << k;
  return v;
}

}  // namespace ovrix::v2::testing

#include "engine/dma.h"
#include "program/record.h"

namespace ovrix::v2::testing {

// One configuration block of a record, as its DMA header describes it.
struct Block {
  hw::Ident ident;
  dma::Target target = dma::Target::None;
  uint16_t parameter = 0;
  std::vector<uint32_t> words;  // the payload, padding included
  size_t track = 0;
};

// The blocks of every track of a record, in order.
inline std::vector<Block> blocks_of(const program::Record& record) {
  std::vector<Block> out;
  for (size_t t = 0; t < record.tracks().size(); ++t) {
    const auto& words = record.tracks()[t].words();
    size_t pos = 0;
    while (pos + 2 <= words.size()) {
      const dma::ConfigHeader h = dma::parse_config_header(&words[pos]);
      Block b;
      b.ident = h.ident;
      b.target = h.target;
      b.parameter = h.parameter;
      b.words.assign(words.begin() + pos + 2, words.begin() + pos + 2 + h.size);
      b.track = t;
      out.push_back(std::move(b));
      pos += 2 + h.size;
    }
  }
  return out;
}

}  // namespace ovrix::v2::testing
