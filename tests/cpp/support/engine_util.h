#pragma once
// Small builders shared by the engine tests.
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"

namespace ovrix::test {

inline std::shared_ptr<Layer> make_layer(LayerType type, const std::map<std::string, int>& values,
                                         const std::string& name) {
  auto params = LayerParams::create(type, values);
  return Layer::create(params.get(), name);
}

inline std::shared_ptr<Layer> input_data(uint32_t w, uint32_t h, uint32_t c, int bits = 8, int is_signed = 0,
                                         const std::string& name = "input") {
  return make_layer(LayerType::InputData,
                    {{"input_width", int(w)}, {"input_height", int(h)}, {"input_channels", int(c)},
                     {"input_bits", bits}, {"input_signed", is_signed}},
                    name);
}

// OVRIX_NUM_THREADS set to `n` while it lives.
struct ThreadCount {
  explicit ThreadCount(const std::string& n) { setenv("OVRIX_NUM_THREADS", n.c_str(), 1); }
  ~ThreadCount() { unsetenv("OVRIX_NUM_THREADS"); }
};

inline std::string dims_text(const Shape& s) {
  std::string out = "(";
  for (size_t i = 0; i < s.count; ++i) out += (i ? ", " : "") + std::to_string(s.dims[i]);
  return out + ")";
}

}  // namespace ovrix::test
