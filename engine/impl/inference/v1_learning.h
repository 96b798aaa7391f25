#pragma once
// The learning rule of a v1 dense layer, one sample at a time. The software fit and the emulated
// device's FNP both learn with it, on their own storage of the 1-bit weights (a value per weight in
// software, the packed neuron blocks of the learning memory on the device), so that both learn the
// same weights from the same samples.
#include <cstdint>
#include <optional>
#include <span>

namespace ovrix::learning {

// The neuron that learns: among the neurons whose class (class_of(k)) is the label (every neuron when
// the label is negative), the one with the highest potential, the lowest index on ties. Nothing when
// no neuron has the label's class.
template <class ClassOf>
std::optional<uint32_t> v1_winner(std::span<const int32_t> potential, int64_t label, ClassOf class_of) {
  std::optional<uint32_t> winner;
  for (uint32_t k = 0; k < potential.size(); ++k) {
    if (label >= 0 && int64_t{class_of(k)} != label) continue;
    if (!winner || potential[k] > potential[*winner]) winner = k;
  }
  return winner;
}

// One connection of the winner moves: its first connected input whose value is 0 goes to its first
// unconnected input whose value is not 0, so every neuron keeps its number of connections. Nothing
// when there is no such pair.
struct Move {
  uint32_t from = 0;
  uint32_t to = 0;
};
template <class Connected, class Active>
std::optional<Move> v1_move(uint32_t inputs, Connected connected, Active active) {
  std::optional<uint32_t> from, to;
  for (uint32_t i = 0; i < inputs && (!from || !to); ++i) {
    const bool c = connected(i);
    if (!from && c && !active(i)) from = i;
    if (!to && !c && active(i)) to = i;
  }
  if (!from || !to) return std::nullopt;
  return Move{*from, *to};
}

}  // namespace ovrix::learning
