#pragma once
// Mapped v1 dense layers for the FNP tests, described by key=value tokens (see cnp_layers.h):
//   in=WxHxC ib units wb act ab index out dma src dst np=<FNP2|FNP3>/<col.row.id>[/single]
//   learn=<num_weights>,<initial_plasticity>,<learning_competition>,<min_plasticity>,<plasticity_decay>
//   w=<cycle of weights> t=<cycle of thresholds> step=<cycle of act steps>
// The layer is built in a model input -> layer, compiled when learn= is given, and mapped by hand.
#include <string>

#include "engine/layers.h"
#include "support/v1_cnp_layers.h"
#include "support/v1_table.h"
#include "support/v1_tensors.h"

namespace ovrix::v1::testing {

inline MappedLayers mapped_dense(const Keys& keys) {
  MappedLayers out;
  out.model = model_with_input(keys);
  const int units = key(keys, "units", 4);
  auto params = LayerParams::create(LayerType::FullyConnected, {{"units", units},
                                                                {"weights_bits", key(keys, "wb", 1)},
                                                                {"activation", key(keys, "act", 1)},
                                                                {"act_bits", key(keys, "ab", 1)}});
  out.layer = Layer::create(params.get(), "dense");
  out.model->add(out.layer);
  if (keys.count("learn")) {
    const std::vector<std::string> v = parts(keys.find("learn")->second, ',');
    const auto learning = LearningParams::create(
        LearningType::Unsupervised, {{"num_weights", std::stod(v.at(0))},
                                     {"initial_plasticity", std::stod(v.at(1))},
                                     {"learning_competition", std::stod(v.at(2))},
                                     {"min_plasticity", std::stod(v.at(3))},
                                     {"plasticity_decay", std::stod(v.at(4))}});
    out.model->compile(*learning);
  }
  auto vars = out.layer->variables();
  const Shape wshape = vars->get("weights")->shape();
  const TensorType wtype = vars->get("weights")->type();
  if (keys.count("w")) vars->set("weights", filled(wtype, wshape, values(keys.find("w")->second)));
  if (keys.count("t")) vars->set("threshold", filled(TensorType::int32, Shape{uint32_t(units)}, values(keys.find("t")->second)));
  if (keys.count("step"))
    vars->set("act_step", filled(TensorType::float32, Shape{uint32_t(units)}, values(keys.find("step")->second)));

  auto mapping = std::make_shared<LayerMapping>(uint8_t(key(keys, "index", 1)));
  const std::vector<std::string> np = parts(keys.find("np")->second, '/');
  hw::NpMapping info;
  info.filters = uint32_t(units);
  info.single_buffer = np.size() > 2 && np[2] == "single";
  hw::Component c(np.at(0) == "FNP2" ? hw::Type::FNP2 : hw::Type::FNP3, info);
  c.ident = ident_of(np.at(1));
  mapping->nps->push_back(c);
  mapping->output_index = uint8_t(key(keys, "out", 255));
  mapping->output_to_dma = key(keys, "dma", 0) != 0;
  if (keys.count("src")) mapping->sources.push_back(list_of(keys.find("src")->second));
  if (keys.count("dst")) mapping->destinations.push_back(list_of(keys.find("dst")->second));
  dynamic_cast<LayerImpl&>(*out.layer).set_mapping(mapping);
  return out;
}

}  // namespace ovrix::v1::testing
