// The graph_utils submodule: the layer-graph questions of the mapping core, for testing, debugging
// and validation. Each function hands its Layer arguments to one graph function and returns its answer.
#include <pybind11/stl.h>

#include "engine/layer.h"
#include "mapping/graph_utils.h"
#include "python/bindings.h"

namespace ovrix::python {

namespace {

// The graph functions walk every layer they are given: None (which the binding lets through as an
// empty pointer) is refused like any other argument that is not a Layer.
const LayerPtr& checked(const LayerPtr& layer) {
  if (!layer) throw py::type_error("Expected a Layer, got None.");
  return layer;
}

const LayerList& checked(const LayerList& layers) {
  for (const auto& layer : layers) checked(layer);
  return layers;
}

}  // namespace

void init_graph_utils(py::module_& m) {
  m.def("extract_main_branch",
        [](const LayerPtr& layer) { return std::move(get_skipconnect_branch(checked(layer)).first); });
  m.def("extract_skip_branch",
        [](const LayerPtr& layer) { return std::move(get_skipconnect_branch(checked(layer)).second); });
  m.def("get_mappable_layer", [](const LayerPtr& layer) { return get_mappable_layer(checked(layer)); });
  m.def("dual_output_to_store_dma",
        [](const LayerPtr& layer) { return is_dual_output_to_store_dma(checked(layer)); });
  m.def("first_mappable_layer", [](const LayerList& layers) { return first_mappable_layer(checked(layers)); });
  m.def("last_mappable_layer", [](const LayerList& layers) { return last_mappable_layer(checked(layers)); });
  m.def("next_mappable_layer", [](const LayerPtr& layer) { return next_mappable_layer(checked(layer)); });
  m.def("previous_mappable_layer", [](const LayerPtr& layer) { return previous_mappable_layer(checked(layer)); });
  m.def("is_merge_layer", [](const LayerPtr& layer) { return is_merge(checked(layer)); });
}

}  // namespace ovrix::python
