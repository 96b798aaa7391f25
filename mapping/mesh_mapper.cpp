#include "mapping/mesh_mapper.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/backend_interfaces.h"
#include "mapping/graph_utils.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh.h"
#include "mapping/np_split.h"

namespace ovrix {

namespace {

// Offer order inside a pool: plain NPs first, then NPs sharing a node with an FNP3, FNP3s, and the
// FNP2-capable ones last, so dense layers keep their NPs as long as possible.
constexpr uint32_t SHARES_FNP3_NODE = 1;
constexpr uint32_t IS_FNP3 = 2;
constexpr uint32_t IS_FNP2 = 4;

bool is_skip_dma_type(hw::Type type) { return type == hw::Type::SKIP_DMA_STORE || type == hw::Type::SKIP_DMA_LOAD; }

LayerType layer_type_of(const Layer& layer) {
  const LayerParams* params = layer.params();
  if (params == nullptr) throw std::runtime_error(fmt::format("Layer '{}' has no parameters.", layer.get_name()));
  return params->layer_type();
}

Shape first_input_shape(const Layer& layer) {
  const std::vector<Shape> dims = layer.input_dimensions();
  if (dims.empty()) throw std::runtime_error(fmt::format("Layer '{}' has no input.", layer.get_name()));
  return dims.front();
}

std::string ident_text(const hw::Ident& id) {
  return fmt::format("({}, {}, {}, {})", id.col, id.row, id.id, id.channel);
}

}  // namespace

MeshMapper::MeshMapper(const CompatibilityChecker& checker, const MapConstraints& constraints)
    : checker_(checker), constraints_(constraints) {}

void MeshMapper::reset() {
  const std::shared_ptr<Device> device = constraints_.device();
  const Mesh& mesh = device->mesh();
  const std::vector<np::Info> nps = mesh.nps;

  pools_.clear();
  std::map<hw::Ident, uint32_t> mask;
  for (const np::Info& np : nps) {
    for (hw::Type type : np.types) {
      pool(type).push_back(NpSlot{np.ident, false, false});
      if (type == hw::Type::FNP3) {
        for (const np::Info& other : nps)
          if (other.ident.col == np.ident.col && other.ident.row == np.ident.row) mask[other.ident] |= SHARES_FNP3_NODE;
        mask[np.ident] |= IS_FNP3;
      } else if (type == hw::Type::FNP2) {
        mask[np.ident] |= IS_FNP2;
      }
    }
  }

  // Every engine is taken to have as many channels as the first one reports.
  if (!mesh.skip_dmas.empty()) {
    const uint8_t channels = mesh.skip_dmas.front().ident.channel;
    for (const np::Info& engine : mesh.skip_dmas) {
      for (unsigned c = 0; c < channels; ++c) {
        const hw::Ident ident(engine.ident.col, engine.ident.row, engine.ident.id, static_cast<uint8_t>(c));
        pool(hw::Type::SKIP_DMA_STORE).push_back(NpSlot{ident, false, false});
        pool(hw::Type::SKIP_DMA_LOAD).push_back(NpSlot{ident, false, false});
      }
    }
  }

  auto mask_of = [&mask](const hw::Ident& id) {
    auto it = mask.find(id);
    return it == mask.end() ? 0u : it->second;
  };
  for (auto& [type, slots] : pools_) {
    if (is_skip_dma_type(type)) continue;
    std::sort(slots.begin(), slots.end(), [&](const NpSlot& a, const NpSlot& b) {
      const uint32_t ma = mask_of(a.ident), mb = mask_of(b.ident);
      if (ma != mb) return ma < mb;
      return a.ident < b.ident;
    });
  }
}

void MeshMapper::reserve_nps(const std::vector<hw::Ident>& reserved) {
  for (auto& [type, slots] : pools_)
    for (NpSlot& slot : slots)
      slot.reserved = std::find(reserved.begin(), reserved.end(), slot.ident) != reserved.end();
}

void MeshMapper::allocate_np(hw::Ident ident, hw::Type type) {
  for (auto& [pool_type, slots] : pools_) {
    if (type != hw::Type::None && pool_type != type) continue;
    for (NpSlot& slot : slots)
      if (slot.ident == ident) slot.allocated = true;
  }
}

void MeshMapper::deallocate_nps() {
  for (auto& [type, slots] : pools_)
    for (NpSlot& slot : slots) slot.allocated = false;
}

uint32_t MeshMapper::max_nps(hw::Type type) {
  const auto& slots = pool(type);
  return static_cast<uint32_t>(std::count_if(slots.begin(), slots.end(), [](const NpSlot& s) { return !s.reserved; }));
}

std::vector<hw::Ident> MeshMapper::available_nps(hw::Type type) {
  std::vector<hw::Ident> out;
  for (const NpSlot& slot : pool(type))
    if (!slot.reserved && !slot.allocated) out.push_back(slot.ident);
  return out;
}

hw::Type MeshMapper::get_compatible_fnp_type(const Layer& layer) {
  const bool fnp2_free = !available_nps(hw::Type::FNP2).empty();
  const uint32_t fnp3_total = max_nps(hw::Type::FNP3);
  const bool fnp3_free = !available_nps(hw::Type::FNP3).empty();
  const bool fnp3_fit = checker_.is_fnp3_compatible(layer);
  if (fnp3_free && fnp3_fit) return hw::Type::FNP3;
  if (fnp2_free) return hw::Type::FNP2;
  if (fnp3_total > 0 && fnp3_fit) return hw::Type::FNP3;
  return hw::Type::FNP2;
}

std::vector<hw::Component> MeshMapper::request_skipdma_store(const std::shared_ptr<Layer>& layer) {
  const unsigned count = unsigned(layer->is_target_component(hw::TargetKind::TNP_B)) +
                         unsigned(is_skip_layer(layer)) + unsigned(is_dual_output_to_store_dma(layer));
  return std::vector<hw::Component>(count, hw::Component(hw::Type::SKIP_DMA_STORE));
}

std::vector<hw::Component> MeshMapper::request_skipdma_load() {
  return {hw::Component(hw::Type::SKIP_DMA_LOAD)};
}

void MeshMapper::request_skipdma(std::vector<hw::Component>* components, const std::vector<hw::Type>& types,
                                 const std::shared_ptr<Layer>& layer) {
  for (size_t i = 1; i < types.size(); ++i) {
    if (types[i] == hw::Type::SKIP_DMA_STORE) {
      const std::vector<hw::Component> stores = request_skipdma_store(layer);
      components->insert(components->end(), stores.begin(), stores.end());
    } else {
      components->push_back(request_skipdma_load().front());
    }
  }
}

MappingStatus MeshMapper::sanitize_tnp_b(const Layer& layer, bool* new_pass, bool allow_new_pass) {
  const auto& outbounds = layer.outbound_layers();
  if (layer.is_target_component(hw::TargetKind::TNP_B) || outbounds.size() != 1 ||
      !outbounds.front()->is_target_component(hw::TargetKind::TNP_B))
    return MappingStatus::success();

  const Layer& next = *outbounds.front();
  const uint32_t h = constraints_.cnp_max_height(), w = constraints_.cnp_max_width(),
                 f = constraints_.cnp_max_filters();
  size_t reserved_free = 0;
  for (const NpSlot& slot : pool(hw::Type::TNP_B))
    if (slot.reserved && !slot.allocated) ++reserved_free;
  // Only the next layer's NP count matters here: its components are not built when they cannot fit.
  const uint64_t room = reserved_free + available_nps(hw::Type::TNP_B).size();
  uint64_t needed = 0;
  if (layer_type_of(next) == LayerType::BufferTempConv)
    split_conv_layer(next, checker_, h, w, f, hw::Type::TNP_B, false, room, &needed);
  else
    split_depthwise_conv_layer(next, checker_, h, w, f, hw::Type::TNP_B, false, room, &needed);

  if (!available_nps(hw::Type::SKIP_DMA_STORE).empty() && !available_nps(hw::Type::SKIP_DMA_LOAD).empty() &&
      needed <= room)
    return MappingStatus::success();

  if (allow_new_pass && !*new_pass) {
    deallocate_nps();
    *new_pass = true;
  }
  return MappingStatus(layer.get_name(), fmt::format("The next BufferTempConv {} can't be mapped in the current pass.",
                                                 next.get_name()));
}

std::pair<std::vector<hw::Component>, MappingStatus> MeshMapper::np_request(const std::shared_ptr<Layer>& layer,
                                                                            const std::vector<hw::Ident>& reserved,
                                                                            bool dual_buffer_only, bool* new_pass,
                                                                            bool allow_new_pass) {
  std::vector<hw::Component> components;
  std::vector<hw::Type> needed;
  MappingStatus status = MappingStatus::success();
  *new_pass = false;

  constraints_.next_layer_handler(layer->get_name());
  reserve_nps(reserved);

  const uint32_t max_w = constraints_.cnp_max_width();
  const uint32_t max_h = constraints_.cnp_max_height();
  const uint32_t max_f = constraints_.cnp_max_filters();

  auto conv_types = [&]() {
    if (layer->is_target_component(hw::TargetKind::CNP))
      needed.push_back(hw::Type::CNP1);
    else if (layer->is_target_component(hw::TargetKind::TNP_B))
      needed.push_back(hw::Type::TNP_B);
    if (needed.empty()) throw std::runtime_error("Mapping a layer with HW backend should use HW components.");
    if (layer_need_store_dma(layer)) needed.push_back(hw::Type::SKIP_DMA_STORE);
    if (layer_need_load_dma(layer)) needed.push_back(hw::Type::SKIP_DMA_LOAD);
  };
  // NPs of the split's type that can take the layer: a split needing more is refused before its
  // components are built, with the status of the supply check below.
  auto supply_of = [&](hw::Type type) -> uint64_t {
    return allow_new_pass ? max_nps(type) : available_nps(type).size();
  };
  auto take = [&](SplitResult result) {
    components = std::move(result.first);
    status = std::move(result.second);
    request_skipdma(&components, needed, layer);
  };
  auto single_np = [&](hw::Type type, uint32_t filters) {
    needed.push_back(type);
    const Shape input = first_input_shape(*layer);
    hw::NpMapping np;
    np.start_neuron = 0;
    np.filters = filters;
    np.spatial_partition = NpSpace(0, 0, input);
    np.input_window = NpSpace(0, 0, input);
    np.single_buffer = true;
    components.emplace_back(type, np);
  };

  switch (layer_type_of(*layer)) {
    case LayerType::DepthwiseConv2DTranspose:
    case LayerType::Conv2DTranspose: {
      conv_types();
      // A transposed layer doubles its input: half the default piece in each direction.
      const uint32_t h = std::min(max_h, constraints_.cnp_max_height_default() / 2);
      const uint32_t w = std::min(max_w, constraints_.cnp_max_width_default() / 2);
      if (layer_type_of(*layer) == LayerType::DepthwiseConv2DTranspose)
        take(split_transposed_dwconv2d_layer(*layer, checker_, h, w, max_f, dual_buffer_only,
                                             supply_of(needed.front())));
      else
        take(split_transposed_conv2d_layer(*layer, checker_, h, w, max_f, dual_buffer_only,
                                           supply_of(needed.front())));
      break;
    }
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseBufferTempConv:
      conv_types();
      take(split_depthwise_conv_layer(*layer, checker_, max_h, max_w, max_f, needed.front(), dual_buffer_only,
                                      supply_of(needed.front())));
      break;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
    case LayerType::Conv2D:
    case LayerType::BufferTempConv:
      conv_types();
      take(split_conv_layer(*layer, checker_, max_h, max_w, max_f, needed.front(), dual_buffer_only,
                            supply_of(needed.front())));
      break;
    case LayerType::FullyConnected:
    case LayerType::Dense1D:
      single_np(get_compatible_fnp_type(*layer), static_cast<uint32_t>(layer->params()->get("units")));
      break;
    case LayerType::StatefulRecurrent:
      single_np(hw::Type::TNP_R, 0);
      break;
    default: break;
  }

  if (needed.empty()) throw std::runtime_error("Mapping a layer with HW backend should use HW components.");
  if (status.failed) return {components, status};

  auto demand_of = [&](hw::Type type) {
    return static_cast<uint64_t>(
        std::count_if(components.begin(), components.end(), [type](const hw::Component& c) { return c.type == type; }));
  };

  for (hw::Type type : needed) {
    const uint64_t demand = demand_of(type);
    const uint64_t supply = supply_of(type);
    if (supply < demand)
      return {components, MappingStatus::component_error(*layer, hw::to_string(type), demand, supply)};
  }

  for (hw::Type type : needed) {
    if (available_nps(type).size() < demand_of(type)) {
      deallocate_nps();
      *new_pass = true;
      break;
    }
  }

  for (int attempt = 0; attempt < 2; ++attempt) {
    status = MappingStatus::success();
    bool attempt_failed = false;
    for (hw::Type type : needed) {
      const uint64_t demand = demand_of(type);
      const std::vector<hw::Ident> offer = available_nps(type);
      const std::vector<hw::Ident> chosen = constraints_.select_nps(offer, demand, type);
      if (chosen.size() != demand) {
        status = MappingStatus::component_error(*layer, hw::to_string(type), demand, chosen.size());
        attempt_failed = true;
        break;
      }
      // An override may only pick among what was offered, each NP once: two layers (or two parts of
      // one layer) must never end up on the same NP.
      for (size_t k = 0; k < chosen.size() && !attempt_failed; ++k) {
        if (std::find(offer.begin(), offer.end(), chosen[k]) == offer.end()) {
          status = MappingStatus(layer->get_name(), fmt::format("The NP {} selected for type {} was not offered.",
                                                            ident_text(chosen[k]), hw::to_string(type)));
          attempt_failed = true;
        } else if (std::find(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(k), chosen[k]) !=
                   chosen.begin() + static_cast<std::ptrdiff_t>(k)) {
          status = MappingStatus(layer->get_name(), fmt::format("The NP {} was selected more than once for type {}.",
                                                            ident_text(chosen[k]), hw::to_string(type)));
          attempt_failed = true;
        }
      }
      if (attempt_failed) break;
      size_t k = 0;
      for (hw::Component& component : components) {
        if (component.type != type) continue;
        component.ident = chosen[k++];
        allocate_np(component.ident, is_skip_dma_type(type) ? type : hw::Type::None);
      }
    }
    if (attempt_failed) break;
    const bool was_new_pass = *new_pass;
    status = sanitize_tnp_b(*layer, new_pass, allow_new_pass);
    // Retry only when the check has just freed every NP for a new pass.
    if (!(status.failed && !was_new_pass && *new_pass)) break;
  }

  if (layer->is_target_component(hw::TargetKind::TNP_B) && components.size() > 3 && components.front().np &&
      components.front().np->spatial_partition.shape[2] != first_input_shape(*layer)[2]) {
    for (const hw::Component& component : components) {
      if (component.type != hw::Type::TNP_B || component.filters() % 4 == 0) continue;
      status += MappingStatus(layer->get_name(), "The number of channels must be a multiple of 4 to be split by filter.");
      break;
    }
  }
  return {components, status};
}

}  // namespace ovrix
