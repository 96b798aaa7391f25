#pragma once
// Helpers of the tests of the v2 dense, input-convolution and temporal layers: tensors, components
// and mappings set by hand.
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "engine/tensor.h"
#include "mapping/hw_description.h"
#include "mapping/layer_mapping.h"
#include "support/v2_fake_layer.h"
#include "support/v2_util.h"

namespace ovrix::v2::testing {

// A tensor of that shape and type whose element k (in storage order) is value(k), stored as T.
template <class T>
std::shared_ptr<Dense> make_tensor(TensorType type, const Shape& shape, const std::function<T(size_t)>& value,
                                   Dense::Layout layout = Dense::Layout::RowMajor) {
  std::shared_ptr<Dense> t = Dense::create(type, shape, layout);
  T* p = reinterpret_cast<T*>(t->mutable_data().data());
  for (size_t k = 0; k < t->size(); ++k) p[k] = value(k);
  return t;
}

// A 2-D int8 tensor (rows, columns) whose element (r, c) is value(r, c).
inline std::shared_ptr<Dense> make_matrix(uint32_t rows, uint32_t columns,
                                          const std::function<int(uint32_t, uint32_t)>& value,
                                          TensorType type = TensorType::int8) {
  return make_tensor<int8_t>(type, Shape{rows, columns},
                             [&](size_t k) { return static_cast<int8_t>(value(k / columns, k % columns)); });
}

// A 4-D int8 tensor (1, 1, rows, columns) whose element (0, 0, r, c) is value(r, c).
inline std::shared_ptr<Dense> make_taps(uint32_t rows, uint32_t columns,
                                        const std::function<int(uint32_t, uint32_t)>& value,
                                        TensorType type = TensorType::int8) {
  return make_tensor<int8_t>(type, Shape{1, 1, rows, columns},
                             [&](size_t k) { return static_cast<int8_t>(value(k / columns, k % columns)); });
}

inline hw::Component component(hw::Type type, const hw::Ident& ident) {
  hw::Component c(type);
  c.ident = ident;
  return c;
}

// An NP running filters start .. start + filters - 1 over the whole of `input`.
inline hw::Component np_component(hw::Type type, const hw::Ident& ident, uint32_t start, uint32_t filters,
                                  const Shape& partition, const Shape& window, bool single_buffer = false) {
  hw::NpMapping part;
  part.start_neuron = start;
  part.filters = filters;
  part.spatial_partition = NpSpace(0, 0, partition);
  part.input_window = NpSpace(0, 0, window);
  part.single_buffer = single_buffer;
  hw::Component c(type, part);
  c.ident = ident;
  return c;
}

inline std::shared_ptr<LayerMapping::ComponentList> list_of(std::vector<hw::Component> components) {
  return std::make_shared<LayerMapping::ComponentList>(std::move(components));
}

// A mapping of those NPs fed by `sources` and feeding `destinations`.
inline std::shared_ptr<LayerMapping> mapping_of_nps(std::vector<hw::Component> nps,
                                                    std::vector<hw::Component> sources,
                                                    std::vector<hw::Component> destinations, uint8_t index = 1) {
  auto m = std::make_shared<LayerMapping>(index);
  *m->nps = std::move(nps);
  m->sources.push_back(list_of(std::move(sources)));
  m->destinations.push_back(list_of(std::move(destinations)));
  return m;
}

// The 64 words of a block with only the given words set.
inline std::vector<uint32_t> block_with(std::initializer_list<std::pair<size_t, uint32_t>> words) {
  std::vector<uint32_t> b(64, 0);
  for (const auto& [i, v] : words) b.at(i) = v;
  return b;
}

}  // namespace ovrix::v2::testing
