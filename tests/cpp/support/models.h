#pragma once
// Small engine models for the suites that map or run a whole model.
#include <memory>
#include <string>

#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"

namespace ovrix::test_support {

// An input layer "input" of 4 x 4 x 1 unsigned 8-bit values.
inline std::unique_ptr<Model> input_only_model() {
  auto model = Model::create();
  auto params = LayerParams::create(LayerType::InputData, {{"input_width", 4},
                                                           {"input_height", 4},
                                                           {"input_channels", 1},
                                                           {"input_bits", 8},
                                                           {"input_signed", 0}});
  model->add(Layer::create(params.get(), "input"));
  return model;
}

// Appends c<first> .. c<last>, each after the last layer: 3 x 3 same-padded, activated convolutions
// with 4-bit weights.
inline void add_convs(Model& model, int first, int last, int filters = 4) {
  auto params = LayerParams::create(LayerType::Conv2D, {{"kernel_size", 3},
                                                        {"kernel_stride", 1},
                                                        {"padding", 1},
                                                        {"filters", filters},
                                                        {"weights_bits", 4},
                                                        {"activation", 1}});
  for (int i = first; i <= last; ++i) model.add(Layer::create(params.get(), "c" + std::to_string(i)));
}

// input -> c1 -> ... -> c<convs>.
inline std::unique_ptr<Model> v2_chain(int convs, int filters = 4) {
  auto model = input_only_model();
  add_convs(*model, 1, convs, filters);
  return model;
}

}  // namespace ovrix::test_support
