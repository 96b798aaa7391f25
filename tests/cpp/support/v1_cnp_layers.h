#pragma once
// Mapped v1 convolution layers for the recorder tests, described by key=value tokens:
//   kind=conv|sep in=WxHxC ib=<input bits> k s pad f wb act ab pool pw pstride
//   np=<col.row.id>/<x,y,WxHxC window>/<x,y,WxHxC cut>/<first>/<count>[/single]   (repeatable)
//   index out dma src=<idents> dst=<idents>
//   next=<np as above> nextidx=<previous-pass byte of the next layer>
// A layer is built in a model input -> layer (-> next), its variables zero unless set, its mapping made
// by hand as the mapping core would.
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "mapping/layer_mapping.h"
#include "support/v1_layers.h"

namespace ovrix::v1::testing {

using Keys = std::multimap<std::string, std::string>;

inline Keys keys_of(const std::vector<std::string>& tokens) {
  Keys keys;
  for (const auto& t : tokens) {
    const auto eq = t.find('=');
    keys.emplace(t.substr(0, eq), eq == std::string::npos ? "" : t.substr(eq + 1));
  }
  return keys;
}

inline int key(const Keys& keys, const std::string& name, int fallback) {
  const auto it = keys.find(name);
  return it == keys.end() ? fallback : std::stoi(it->second, nullptr, 0);
}

inline std::vector<std::string> parts(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string t; std::getline(ss, t, sep);) out.push_back(t);
  return out;
}

inline hw::Ident ident_of(const std::string& text) {
  const auto p = parts(text, '.');
  return hw::Ident(uint8_t(std::stoul(p.at(0))), uint8_t(std::stoul(p.at(1))), uint8_t(std::stoul(p.at(2))), 0);
}

inline NpSpace space_of(const std::string& text) {
  const auto p = parts(text, ',');
  return NpSpace(uint32_t(std::stoul(p.at(0))), uint32_t(std::stoul(p.at(1))), shape_of(p.at(2)));
}

inline hw::Component component_of(const std::string& text) {
  const auto p = parts(text, '/');
  hw::NpMapping np;
  np.spatial_partition = space_of(p.at(1));
  np.input_window = space_of(p.at(2));
  np.start_neuron = uint32_t(std::stoul(p.at(3)));
  np.filters = uint32_t(std::stoul(p.at(4)));
  np.single_buffer = p.size() > 5 && p[5] == "single";
  hw::Component c(hw::Type::CNP1, np);
  c.ident = ident_of(p.at(0));
  return c;
}

inline std::shared_ptr<LayerMapping::ComponentList> list_of(const std::string& idents) {
  auto list = std::make_shared<LayerMapping::ComponentList>();
  for (const auto& t : parts(idents, ',')) {
    hw::Component c(hw::Type::CNP1);
    c.ident = ident_of(t);
    list->push_back(c);
  }
  return list;
}

struct MappedLayers {
  std::unique_ptr<Model> model;
  std::shared_ptr<Layer> layer;
  std::shared_ptr<Layer> next;  // null without next=
};

inline std::shared_ptr<Layer> conv_layer(const Keys& keys, const std::string& name, int filters) {
  const bool separable = keys.find("kind") != keys.end() && keys.find("kind")->second == "sep";
  const int k = key(keys, "k", 3), s = key(keys, "s", 1), pw = key(keys, "pw", 2), ps = key(keys, "pstride", -1);
  auto params = LayerParams::create(separable ? LayerType::SeparableConvolutional : LayerType::Convolutional,
                                    {{"filters", filters},
                                     {"kernel_width", k},
                                     {"kernel_height", k},
                                     {"stride_x", s},
                                     {"stride_y", s},
                                     {"padding", key(keys, "pad", 1)},
                                     {"weights_bits", key(keys, "wb", 1)},
                                     {"activation", key(keys, "act", 1)},
                                     {"act_bits", key(keys, "ab", 1)},
                                     {"pool_type", key(keys, "pool", 0)},
                                     {"pooling_width", pw},
                                     {"pooling_height", pw},
                                     {"pooling_stride_x", ps},
                                     {"pooling_stride_y", ps}});
  return Layer::create(params.get(), name);
}

// A model holding the input layer of in= and ib=.
inline std::unique_ptr<Model> model_with_input(const Keys& keys) {
  auto model = Model::create();
  const Shape in = shape_of(keys.find("in")->second);
  auto input = LayerParams::create(LayerType::InputData, {{"input_width", int(in[0])},
                                                          {"input_height", int(in[1])},
                                                          {"input_channels", int(in[2])},
                                                          {"input_bits", key(keys, "ib", 1)},
                                                          {"input_signed", 0}});
  model->add(Layer::create(input.get(), "input"));
  return model;
}

inline MappedLayers mapped_layers(const Keys& keys) {
  MappedLayers out;
  out.model = model_with_input(keys);
  const int filters = key(keys, "f", 8);
  out.layer = conv_layer(keys, "layer", filters);
  out.model->add(out.layer);
  if (keys.count("next")) {
    out.next = conv_layer(keys, "next", filters);
    out.model->add(out.next);
  }

  auto mapping = std::make_shared<LayerMapping>(uint8_t(key(keys, "index", 1)));
  for (auto [it, end] = keys.equal_range("np"); it != end; ++it) mapping->nps->push_back(component_of(it->second));
  mapping->output_index = uint8_t(key(keys, "out", 255));
  mapping->output_to_dma = key(keys, "dma", 0) != 0;
  if (keys.count("src")) mapping->sources.push_back(list_of(keys.find("src")->second));
  if (keys.count("dst")) mapping->destinations.push_back(list_of(keys.find("dst")->second));
  dynamic_cast<LayerImpl&>(*out.layer).set_mapping(mapping);
  if (out.next) {
    auto next_mapping = std::make_shared<LayerMapping>(uint8_t(key(keys, "index", 1) + 1));
    next_mapping->nps->push_back(component_of(keys.find("next")->second));
    next_mapping->input_index = uint8_t(key(keys, "nextidx", 0));
    dynamic_cast<LayerImpl&>(*out.next).set_mapping(next_mapping);
  }
  return out;
}

}  // namespace ovrix::v1::testing
