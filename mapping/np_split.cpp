#include "mapping/np_split.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <map>
#include <stdexcept>

#include "engine/layer.h"
#include "mapping/backend_interfaces.h"
#include "mapping/host_hooks.h"

namespace ovrix {

namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

u64 ceil_div(u64 a, u64 b) { return b == 0 ? 0 : (a + b - 1) / b; }
u64 round_up(u64 a, u64 m) { return m == 0 ? a : ceil_div(a, m) * m; }
uint32_t clamp_u32(u64 v) { return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max() : uint32_t(v); }

// One candidate number of pieces along an axis, after the alignment adjustment.
struct AxisCut {
  bool ok = false;
  u64 count = 0;  // pieces after the adjustment
  u64 piece = 0;
};

// The piece for `count` pieces of an axis: aligned when cut in several, one alignment smaller (and the
// count recomputed) when the aligned piece exceeds the axis maximum; the last piece must not be empty.
// When the first of several pieces is shortened by `first_cut` (the pooling's leading padding), the
// pieces must still cover the axis: a split that would leave its last places to no NP is not taken.
AxisCut cut_axis(const Split& axis, u64 count, u64 first_cut = 0) {
  AxisCut cut;
  if (count < axis.pieces || count > axis.total || count == 0) return cut;
  u64 piece = ceil_div(axis.total, count);
  if (count > 1 && axis.align >= 2) {
    piece = round_up(piece, axis.align);
    if (piece > axis.max) {
      piece -= axis.align;
      count = ceil_div(axis.total, piece);
    }
  }
  if (piece == 0 || (count - 1) * piece >= axis.total) return cut;
  cut.piece = piece;
  if (count > 1 && first_cut != 0 && first_cut < piece && count * piece - first_cut < axis.total) return cut;
  cut.ok = true;
  cut.count = count;
  return cut;
}

// Input extent of one NP along an axis: a piece with the kernel borders it needs from its neighbours.
u64 window_size(u64 count, u64 piece, u64 before, u64 after) {
  if (count == 1) return piece;
  if (count == 2) return std::max(before, after) + piece;
  return before + after + piece;
}

// Everything the fit test of one candidate needs, and its outcome.
class SplitTest {
 public:
  SplitTest(const CompatibilityChecker& checker, const SplitSearchInput& in, const Split& height, const Split& width,
            const Split& neurons)
      : checker_(checker), in_(in), height_(height), width_(width), neurons_(neurons) {}

  AxisCut width_cut(u64 cw) const { return cut_axis(width_, cw, in_.first_width_cut); }
  AxisCut height_cut(u64 ch) const {
    if (ch > 1 && !in_.height_split_allowed) return {};
    return cut_axis(height_, ch, in_.first_height_cut);
  }
  AxisCut neuron_cut(u64 cn) const {
    if (cn <= 1) return cut_axis(neurons_, cn);
    AxisCut cut = cut_axis(neurons_, cn);
    if (cut.ok && in_.channels_follow_neurons && in_.temporal) {
      const u64 last = neurons_.total - (cut.count - 1) * cut.piece;
      if (neurons_.align == 0 || last % neurons_.align != 0) cut.ok = false;
    }
    return cut;
  }
  u64 width_window(const AxisCut& c) const {
    return window_size(c.count, c.piece, in_.border_width_before, in_.border_width_after);
  }
  u64 height_window(const AxisCut& c) const {
    return window_size(c.count, c.piece, in_.border_height_before, in_.border_height_after);
  }
  u64 channels(const AxisCut& c) const { return in_.channels_follow_neurons ? c.piece : in_.channels; }

  // Does an input part of this extent fit the NP, with two input buffers or else with one?
  SramFit ask(u64 win_h, u64 win_w, u64 chans) const {
    const uint32_t h = clamp_u32(win_h), w = clamp_u32(win_w), c = clamp_u32(chans);
    if (checker_.is_sram_input_fit_dual_buffer(in_.type, h, w, c, in_.fifo_size, in_.input_bits, in_.pksram_shift))
      return SramFit::DualBuffer;
    if (!in_.dual_buffer_only &&
        checker_.is_sram_input_fit_single_buffer(in_.type, h, w, c, in_.fifo_size, in_.input_bits, in_.pksram_shift))
      return SramFit::SingleBuffer;
    return SramFit::None;
  }

  // The whole test of one candidate (numbers of pieces along width, height and neurons).
  SplitSearchResult test(u64 cw, u64 ch, u64 cn) {
    SplitSearchResult r;
    const AxisCut w = width_cut(cw), h = height_cut(ch), n = neuron_cut(cn);
    if (!w.ok || !h.ok || !n.ok) return r;
    r.fit = ask(height_window(h), width_window(w), channels(n));
    if (r.fit == SramFit::None) return r;
    r.found = true;
    r.width = width_;
    r.width.pieces = uint32_t(w.count);
    r.width.piece = uint32_t(w.piece);
    r.height = height_;
    r.height.pieces = uint32_t(h.count);
    r.height.piece = uint32_t(h.piece);
    r.neurons = neurons_;
    r.neurons.pieces = uint32_t(n.count);
    r.neurons.piece = uint32_t(n.piece);
    return r;
  }

  const Split& width() const { return width_; }
  const Split& height() const { return height_; }
  const Split& neurons() const { return neurons_; }
  bool height_split_allowed() const { return in_.height_split_allowed; }

 private:
  const CompatibilityChecker& checker_;
  const SplitSearchInput& in_;
  Split height_, width_, neurons_;
};

// The candidate counts of one axis grouped by what the fit test sees of them (the extent, or the
// channel count): for each value, the smallest candidate count giving it. Candidates sharing the
// same rounded-up piece are visited as one range, so even a long axis costs about 2 * sqrt(total) steps.
// first_cut: the axis's cut_axis shortening of its first piece.
template <class Cut, class Value>
std::map<u64, u64> smallest_count_per_value(const Split& axis, u64 upper, u64 first_cut, Cut cut, Value value) {
  std::map<u64, u64> best;  // value -> smallest candidate count
  auto note = [&best](u64 v, u64 count) {
    auto it = best.find(v);
    if (it == best.end() || count < it->second) best[v] = count;
  };
  const u64 total = axis.total;
  u64 c = std::max<u64>(axis.pieces, 1);
  while (c <= upper) {
    const u64 raw = ceil_div(total, c);
    const u64 last_same = raw <= 1 ? upper : std::min<u64>(upper, (total - 1) / (raw - 1));
    // Counts 1 and 2 see other borders than the rest of their range: visit them one by one. Inside a
    // range every count gives the same piece and extent, and a count that leaves the last piece empty
    // (or misaligned) makes every larger count of the range do so too: the first count decides.
    if (c <= 2) {
      AxisCut k = cut(c);
      if (k.ok) note(value(k), c);
      ++c;
      continue;
    }
    AxisCut k = cut(c);
    if (k.ok) {
      note(value(k), c);
    } else if (first_cut != 0 && k.piece > first_cut) {
      // More pieces of the same size cover more of the axis: the first count of the range that
      // reaches its end despite the shortened first piece may still leave no piece empty.
      const u64 covering = ceil_div(total + first_cut, k.piece);
      if (covering > c && covering <= last_same) {
        k = cut(covering);
        if (k.ok) note(value(k), covering);
      }
    }
    c = last_same + 1;
  }
  return best;
}

}  // namespace

Split::Split(uint32_t total_, uint32_t max_, uint32_t align_) {
  // A maximum of 0 (or below the alignment) cannot cut anything.
  if (max_ < align_ || max_ == 0) return;
  total = total_;
  max = max_;
  align = align_;
  if (total_ <= max_) {
    pieces = total_ == 0 ? 0 : 1;
    piece = total_;
    return;
  }
  u64 p = ceil_div(total_, max_);
  u64 s = ceil_div(total_, p);
  if (p >= 2 && align_ >= 2) {
    const u64 r = round_up(s, align_);
    if (r <= max_) {
      s = r;
    } else {
      s = r - align_;
      p = ceil_div(total_, s);
    }
  }
  pieces = uint32_t(p);
  piece = uint32_t(s);
}

std::set<std::pair<uint32_t, uint32_t>> factor_pairs(uint32_t n) {
  std::set<std::pair<uint32_t, uint32_t>> pairs;
  for (u64 d = 1; d * d <= n; ++d) {
    if (n % d != 0) continue;
    const uint32_t a = uint32_t(d), b = uint32_t(n / d);
    pairs.emplace(std::max(a, b), std::min(a, b));
  }
  return pairs;
}

std::set<SplitsNumChunks> SplitsNumChunks::factor_triplets(uint32_t n) {
  std::set<SplitsNumChunks> out;
  auto add = [&out](uint32_t a, uint32_t b, uint32_t c) {
    std::array<uint32_t, 3> t{a, b, c};
    std::sort(t.begin(), t.end());
    out.insert(SplitsNumChunks{t[0], t[1], t[2]});
  };
  for (const auto& [large, small] : factor_pairs(n)) {
    for (const auto& [x, y] : factor_pairs(small)) add(large, x, y);
    for (const auto& [x, y] : factor_pairs(large)) add(small, x, y);
  }
  return out;
}

std::vector<SplitsNumChunks> SplitsNumChunks::get_splits_number(uint32_t n) {
  std::set<SplitsNumChunks> all;
  for (const SplitsNumChunks& t : factor_triplets(n)) {
    std::array<uint32_t, 3> v{t.width, t.height, t.neurons};
    do {
      all.insert(SplitsNumChunks{v[0], v[1], v[2]});
    } while (std::next_permutation(v.begin(), v.end()));
  }
  return std::vector<SplitsNumChunks>(all.rbegin(), all.rend());
}

SplitSearchResult search_split(const CompatibilityChecker& checker, const SplitSearchInput& input, const Split& height,
                               const Split& width, const Split& neurons) {
  SplitTest test(checker, input, height, width, neurons);
  if (!width.valid() || !height.valid() || !neurons.valid()) return {};

  // The candidates are every (cw, ch, cn) between the axes' numbers of pieces and totals, taken by
  // ascending product and, for one product, more width pieces first, then height, then neurons. The
  // fit test sees a candidate only through its input extent and channel count, so the smallest
  // product that can pass is found from the few distinct extents; then the candidates of that
  // product are tested in order, exactly as a plain scan would.
  const u64 height_upper = input.height_split_allowed ? height.total : 1;
  if (height.pieces > height_upper) return {};
  auto w_values = smallest_count_per_value(
      width, width.total, input.first_width_cut, [&](u64 c) { return test.width_cut(c); },
      [&](const AxisCut& k) { return test.width_window(k); });
  auto h_values = smallest_count_per_value(
      height, height_upper, input.first_height_cut, [&](u64 c) { return test.height_cut(c); },
      [&](const AxisCut& k) { return test.height_window(k); });
  auto n_values = smallest_count_per_value(
      neurons, neurons.total, 0, [&](u64 c) { return test.neuron_cut(c); },
      [&](const AxisCut& k) { return test.channels(k); });
  if (w_values.empty() || h_values.empty() || n_values.empty()) return {};

  // The fewest pieces first: a layer that fits as it is costs one question.
  SplitSearchResult first = test.test(width.pieces, height.pieces, neurons.pieces);
  if (first.found) return first;

  // The finest cut: if even the smallest extents and channel count do not fit, nothing does.
  if (test.ask(h_values.begin()->first, w_values.begin()->first, n_values.begin()->first) == SramFit::None) return {};

  // Inputs that fit never stop fitting when they shrink, so along each axis only the values that
  // lower the best count so far matter (a Pareto front: values ascending, counts falling), and for
  // each channel count the largest fitting height falls as the width grows (a staircase).
  auto front = [](const std::map<u64, u64>& values) {
    std::vector<std::pair<u64, u64>> f;  // (value, smallest count)
    for (const auto& [value, count] : values)
      if (f.empty() || count < f.back().second) f.emplace_back(value, count);
    return f;
  };
  const auto fw = front(w_values), fh = front(h_values), fn = front(n_values);

  u128 best = ~u128(0);
  for (auto k = fn.rbegin(); k != fn.rend(); ++k) {
    const auto [vn, cn] = *k;
    if (u128(cn) * fw.back().second * fh.back().second >= best) break;
    ptrdiff_t j = ptrdiff_t(fh.size()) - 1;
    for (const auto& [vw, cw] : fw) {
      while (j >= 0 && test.ask(fh[size_t(j)].first, vw, vn) == SramFit::None) --j;
      if (j < 0) break;
      best = std::min(best, u128(cw) * fh[size_t(j)].second * cn);
    }
  }
  if (best == ~u128(0)) return {};
  if (best > max_split_nps) {
    SplitSearchResult too_many;
    too_many.parts = best > ~u64(0) ? ~u64(0) : u64(best);
    return too_many;
  }

  // Every ordering of the best product, most width pieces first.
  const u64 n = u64(best);
  std::vector<u64> divisors;
  for (u64 d = 1; u128(d) * d <= n; ++d) {
    if (n % d != 0) continue;
    divisors.push_back(d);
    if (d != n / d) divisors.push_back(n / d);
  }
  std::sort(divisors.rbegin(), divisors.rend());
  for (u64 cw : divisors) {
    if (cw > width.total || cw < width.pieces) continue;
    for (u64 ch : divisors) {
      if ((n / cw) % ch != 0 || ch > height_upper || ch < height.pieces) continue;
      const u64 cn = n / cw / ch;
      SplitSearchResult r = test.test(cw, ch, cn);
      if (r.found) return r;
    }
  }
  return {};
}

bool fit_weights(const CompatibilityChecker& checker, const Layer& layer, Split* neurons) {
  if (checker.is_weights_size_fit_np(layer, neurons->piece)) return true;
  const u64 total = neurons->total;
  // Counts sharing one rounded-up piece give the same piece; the first of them is the one that can
  // pass the no-empty-last-piece rule.
  for (u64 p = u64(neurons->pieces) + 1; p <= total;) {
    const u64 raw = ceil_div(total, p);
    const u64 last_same = raw <= 1 ? total : std::min<u64>(total, (total - 1) / (raw - 1));
    u64 piece = raw, count = p;
    if (neurons->align >= 2) {
      piece = round_up(piece, neurons->align);
      if (piece > neurons->max) {
        piece -= neurons->align;
        count = ceil_div(total, piece);
      }
    }
    if (piece != 0 && (count - 1) * piece < total && checker.is_weights_size_fit_np(layer, uint32_t(piece))) {
      neurons->pieces = uint32_t(count);
      neurons->piece = uint32_t(piece);
      return true;
    }
    p = last_same + 1;
  }
  return false;
}

namespace v2 {
uint32_t get_add_pksram_shift(const Layer& layer) {
  const auto& inbounds = layer.inbound_layers();
  if (inbounds.empty()) return 0;
  const LayerParams* params = inbounds.front()->params();
  return params != nullptr && params->layer_type() == LayerType::Add ? 512 : 0;
}
}  // namespace v2

std::vector<hw::Component> build_split_components(const Layer& layer, hw::Type type, const Split& width,
                                                  const Split& height, const Split& neurons,
                                                  const std::array<uint32_t, 4>& borders, uint32_t pool_x,
                                                  uint32_t pool_y, bool single_buffer) {
  const Shape input = layer.input_dimensions().at(0);
  const uint32_t X = input[0], Y = input[1], C = input[2];
  const bool follow = layer.channels_follow_neurons();

  struct Span {
    uint32_t start, size, window_start, window_size;
  };
  // Pieces of one axis: the first of several is shortened by the pooling amount so that later pieces
  // start on a pooling window; each window adds the borders it shares with its neighbours.
  auto spans = [](const Split& s, uint32_t extent, uint32_t pool, uint32_t before, uint32_t after) {
    std::vector<Span> out;
    uint32_t x = 0;
    for (uint32_t i = 0; i < s.pieces; ++i) {
      uint32_t size = std::min(s.piece, extent > x ? extent - x : 0);
      if (i == 0 && s.pieces > 1 && pool != 0 && pool < size) size -= pool;
      const uint32_t lead = i == 0 ? 0 : std::min(before, x);
      const uint32_t trail = i + 1 == s.pieces ? 0 : after;
      out.push_back(Span{x, size, x - lead, lead + size + trail});
      x += size;
    }
    return out;
  };
  const auto ws = spans(width, X, pool_x, borders[0], borders[1]);
  const auto hs = spans(height, Y, pool_y, borders[2], borders[3]);

  auto make_shape = [](uint32_t w, uint32_t h, uint32_t c) {
    const uint32_t dims[3] = {w, h, c};
    for (size_t d = 0; d < 3; ++d)
      if (dims[d] == 0) panic("Cannot have a shape with dimension %zu set to 0", d);
    Shape s;
    s.dims = {w, h, c, 0};
    s.count = 3;
    return s;
  };

  std::vector<hw::Component> components;
  for (const Span& w : ws) {
    for (const Span& h : hs) {
      for (uint32_t k = 0; k < neurons.pieces; ++k) {
        const uint64_t start = uint64_t(k) * neurons.piece;
        const uint32_t count = start >= neurons.total ? 0 : uint32_t(std::min<uint64_t>(neurons.piece, neurons.total - start));
        const uint32_t channels = follow ? count : C;
        hw::NpMapping np;
        np.start_neuron = uint32_t(start);
        np.filters = count;
        np.spatial_partition = NpSpace(w.start, h.start, make_shape(w.size, h.size, channels));
        np.input_window = NpSpace(w.window_start, h.window_start, make_shape(w.window_size, h.window_size, channels));
        np.single_buffer = single_buffer;
        components.emplace_back(type, np);
      }
    }
  }
  return components;
}

namespace {

SplitResult failure(const Layer& layer, const char* message) { return {{}, MappingStatus(layer.get_name(), message)}; }

bool targets_tnp_b(const Layer& layer) { return layer.is_target_component(hw::TargetKind::TNP_B); }

// Pooling amounts that shorten the first piece of a split axis: the pooling's leading padding.
std::pair<uint32_t, uint32_t> pooling_amounts(const Layer& layer) {
  const auto* pooled = dynamic_cast<const HasPoolParams*>(&layer);
  if (pooled == nullptr || layer.has_pool_type(PoolType::NoPooling)) return {0, 0};
  const PoolingCalculatedParams& p = pooled->pool_calculated_params();
  return {p.padding.x_before, p.padding.y_before};
}

struct SplitPlan {
  std::array<uint32_t, 4> borders{};
  uint32_t align = 1;
  bool transposed = false;
  bool depthwise = false;
  uint32_t neurons = 0;
};

SplitResult split_layer(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_h, uint32_t max_w,
                        uint32_t max_f, hw::Type type, bool dual_buffer_only, const SplitPlan& plan,
                        uint64_t supply, uint64_t* demand) {
  if (demand) *demand = 0;
  const Shape input = layer.input_dimensions().at(0);
  const LayerParams& params = *layer.params();
  const bool temporal = targets_tnp_b(layer);

  const Split height(input[1], max_h, plan.align);
  if (plan.transposed) {
    if (height.pieces != 1) return failure(layer, "Split by height is not supported.");
  } else if (!height.valid()) {
    return failure(layer, "Cannot split by height.");
  }
  const Split width(input[0], max_w, plan.align);
  if (!width.valid()) return failure(layer, "Cannot split by width.");
  Split neurons(plan.neurons, max_f, plan.depthwise && temporal ? 4 : 1);
  if (!neurons.valid()) return failure(layer, "Cannot split by neurons.");
  if (!fit_weights(checker, layer, &neurons)) return failure(layer, "Cannot split to fit weights in ram.");

  SplitSearchInput in;
  in.channels = input[2];
  in.input_bits = layer.input_bits();
  in.border_width_before = plan.borders[0];
  in.border_width_after = plan.borders[1];
  in.border_height_before = plan.borders[2];
  in.border_height_after = plan.borders[3];
  in.fifo_size = !plan.transposed && params.has("fifo_size") ? uint32_t(params.get("fifo_size")) : 0;
  in.type = type;
  in.dual_buffer_only = dual_buffer_only;
  in.pksram_shift = v2::get_add_pksram_shift(layer);
  in.channels_follow_neurons = plan.depthwise;
  in.height_split_allowed = !plan.transposed;
  in.temporal = temporal;
  const auto [pool_x, pool_y] = plan.transposed ? std::pair<uint32_t, uint32_t>{0, 0} : pooling_amounts(layer);
  in.first_width_cut = pool_x;
  in.first_height_cut = pool_y;
  const SplitSearchResult found = search_split(checker, in, height, width, neurons);
  // A split into more parts than any mesh has NPs cannot be placed; listing millions of components
  // would only exhaust memory.
  if (found.parts > max_split_nps)
    return {{}, MappingStatus(layer.get_name(), fmt::format("The layer would need {} NPs, more than a mesh can have.",
                                                        found.parts))};
  if (!found.found) return failure(layer, "Cannot split to fit inputs in ram.");
  const uint64_t nps = uint64_t(found.width.pieces) * found.height.pieces * found.neurons.pieces;
  if (demand) *demand = nps;
  if (nps > supply) return {{}, MappingStatus::component_error(layer, hw::to_string(type), nps, supply)};

  return {build_split_components(layer, type, found.width, found.height, found.neurons, plan.borders, pool_x, pool_y,
                                 found.fit == SramFit::SingleBuffer),
          MappingStatus::success()};
}

SplitPlan regular_plan(const CompatibilityChecker& checker, hw::Type type, const Layer& layer, bool depthwise) {
  const NpSplitParams sp = checker.np_split_params(type, *layer.params());
  SplitPlan plan;
  plan.borders = {sp[0], sp[1], sp[2], sp[3]};
  plan.align = sp[4] == 1 ? sp[5] : 1;
  plan.depthwise = depthwise;
  plan.neurons = depthwise ? layer.input_dimensions().at(0)[2] : sp.filters;
  return plan;
}

SplitPlan transposed_plan(const Layer& layer, bool depthwise) {
  const int32_t k = layer.params()->get("kernel_size");
  // Kernels below 3 need no trailing border (the difference would otherwise wrap around).
  const uint32_t after = k > 3 ? uint32_t(k - 3) : 0;
  SplitPlan plan;
  plan.borders = {1, after, 1, after};
  plan.align = 1;
  plan.transposed = true;
  plan.depthwise = depthwise;
  plan.neurons = depthwise ? layer.input_dimensions().at(0)[2] : uint32_t(layer.params()->get("filters"));
  return plan;
}

}  // namespace

SplitResult split_conv_layer(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                             uint32_t max_width, uint32_t max_filters, hw::Type type, bool dual_buffer_only,
                             uint64_t supply, uint64_t* demand) {
  return split_layer(layer, checker, max_height, max_width, max_filters, type, dual_buffer_only,
                     regular_plan(checker, type, layer, false), supply, demand);
}

SplitResult split_depthwise_conv_layer(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                                       uint32_t max_width, uint32_t max_filters, hw::Type type,
                                       bool dual_buffer_only, uint64_t supply, uint64_t* demand) {
  return split_layer(layer, checker, max_height, max_width, max_filters, type, dual_buffer_only,
                     regular_plan(checker, type, layer, true), supply, demand);
}

SplitResult split_transposed_conv2d_layer(const Layer& layer, const CompatibilityChecker& checker,
                                          uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                          bool dual_buffer_only, uint64_t supply, uint64_t* demand) {
  return split_layer(layer, checker, max_height, max_width, max_filters, hw::Type::CNP1, dual_buffer_only,
                     transposed_plan(layer, false), supply, demand);
}

SplitResult split_transposed_dwconv2d_layer(const Layer& layer, const CompatibilityChecker& checker,
                                            uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                            bool dual_buffer_only, uint64_t supply, uint64_t* demand) {
  return split_layer(layer, checker, max_height, max_width, max_filters, hw::Type::CNP1, dual_buffer_only,
                     transposed_plan(layer, true), supply, demand);
}

// ---- per-NP geometry ----

namespace {

int64_t floor_div(int64_t a, int64_t b) {
  if (b == 0) return 0;
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}
int64_t ceil_div_signed(int64_t a, int64_t b) { return b == 0 ? 0 : -floor_div(-a, b); }

// First pooled index and the row (or column) count term of one axis of a partition.
std::pair<uint32_t, uint32_t> pooled_range(int64_t origin, int64_t length, int64_t conv_before, int64_t k, int64_t s,
                                           uint32_t limit, int64_t m, int64_t pool_before, int64_t pool_after,
                                           bool at_end) {
  const int64_t p = origin + conv_before;
  const int64_t half = k / 2;
  // First output index whose kernel centre reaches the partition.
  int64_t a = (k >= p + s) ? 0 : (s == 0 ? 0 : (s - k + p) / s);
  if (s > 0 && a * s + half < p) a = ceil_div_signed(p - half, s);
  // Last output index whose kernel centre stays in the partition.
  const int64_t last = p + length - 1;
  int64_t b = s == 0 ? 0 : floor_div(last, s);
  if (s > 0) b = std::min(b, floor_div(last - half, s));
  const int64_t edge = at_end ? pool_after : 0;
  int64_t count;
  if (a != 0) {
    a = m == 0 ? 0 : (a + pool_before) / m;
    count = 1 - a;
  } else {
    count = 1;
  }
  const int64_t end = b + pool_before + edge;
  if (int64_t(limit) < m + end) count += m == 0 ? 0 : (m - int64_t(limit) + end) / m;
  return {uint32_t(a), uint32_t(count)};
}

uint32_t round_up4(uint64_t v) { return uint32_t((v + 3) / 4 * 4); }

}  // namespace

NpSplit::NpSplit(const Shape& input, const NpSpace& partition, const NpSpace& window, int32_t k, int32_t s,
                 const PaddingParams& conv_padding, uint32_t limit, uint8_t m, const PaddingParams& pool_padding) {
  input_y = window.y;
  input_x = window.x;
  height = partition.shape[1];
  width = partition.shape[0];
  channels = partition.shape[2];
  stride_phase_y = s == 0 ? 0 : uint32_t((int64_t(partition.y) + conv_padding.y_before) % s);
  stride_phase_x = s == 0 ? 0 : uint32_t((int64_t(partition.x) + conv_padding.x_before) % s);
  offset_y = int32_t(int64_t(window.y) - partition.y);
  offset_x = int32_t(int64_t(window.x) - partition.x);
  window_height = window.shape[1];
  window_width = window.shape[0];
  const bool bottom = uint64_t(partition.y) + partition.shape[1] == input[1];
  const bool right = uint64_t(partition.x) + partition.shape[0] == input[0];
  std::tie(first_pooled_row, pooled_rows) =
      pooled_range(partition.y, partition.shape[1], conv_padding.y_before, k, s, limit, m, pool_padding.y_before,
                   pool_padding.y_after, bottom);
  std::tie(first_pooled_col, pooled_cols) =
      pooled_range(partition.x, partition.shape[0], conv_padding.x_before, k, s, limit, m, pool_padding.x_before,
                   pool_padding.x_after, right);
}

uint32_t NpSplit::icont_size() const { return round_up4(width); }

TransposedCnpSplit::TransposedCnpSplit(const NpSpace& partition, const NpSpace& window) {
  input_y = window.y;
  input_x = window.x;
  height = partition.shape[1];
  width = partition.shape[0];
  channels = partition.shape[2];
  stride_phase_y = 0;
  stride_phase_x = 0;
  offset_y = int32_t(int64_t(window.y) - partition.y);
  offset_x = int32_t(int64_t(window.x) - partition.x);
  window_height = window.shape[1];
  window_width = window.shape[0];
  first_pooled_row = 2 * partition.y;
  first_pooled_col = 2 * partition.x;
  pooled_rows = 2 * partition.shape[1];
  pooled_cols = 2 * partition.shape[0];
}

uint32_t TransposedCnpSplit::icont_size() const { return round_up4(uint64_t(2) * width); }

}  // namespace ovrix
