#pragma once
// Power measurements of a device: the last events logged and the lowest power seen since the last
// reset. The engine's SoC driver hands a meter out while power measurement is on.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace ovrix {

// A ring of a fixed number of slots allocated once; when full, a new element replaces the oldest.
template <class T>
class CircularQueue {
 public:
  explicit CircularQueue(size_t capacity) : slots_(capacity) {}

  size_t capacity() const { return slots_.size(); }
  bool empty() const { return !full_ && head_ == tail_; }
  size_t count() const {
    if (full_) return slots_.size();
    return (head_ + slots_.size() - tail_) % slots_.size();
  }

  void push(T value) {
    slots_[head_] = std::move(value);
    if (full_) tail_ = next(tail_);
    head_ = next(head_);
    full_ = head_ == tail_;
  }

  // The queued elements, oldest first; with clear, the queue is emptied afterwards.
  std::vector<T> get(bool clear) {
    std::vector<T> out = copy();
    if (clear) {
      head_ = tail_ = 0;
      full_ = false;
    }
    return out;
  }
  std::vector<T> copy() const {
    std::vector<T> out;
    const size_t n = count();
    out.reserve(n);
    for (size_t i = 0, at = tail_; i < n; ++i, at = next(at)) out.push_back(slots_[at]);
    return out;
  }

 private:
  size_t next(size_t at) const { return at + 1 == slots_.size() ? 0 : at + 1; }

  std::vector<T> slots_;
  size_t head_ = 0;  // where the next element goes
  size_t tail_ = 0;  // the oldest element
  bool full_ = false;
};

class PowerMeter {
 public:
  struct PowerEvent {
    int64_t ts = 0;        // timestamp, in the unit of the logger's clock
    uint32_t voltage = 0;  // microvolts
    uint32_t current = 0;  // milliamperes

    // Milliwatts, in single precision: voltage / 1e6 * current.
    float power() const { return static_cast<float>(voltage) / 1e6f * static_cast<float>(current); }
  };

  static constexpr size_t capacity = 100;

  PowerMeter();

  // The process-wide meter, created on first use.
  static PowerMeter& get();

  // Keeps an event whose power is positive and whose timestamp is later than the last reset; the
  // oldest event is dropped when the queue is full. Other events change nothing.
  void log_event(PowerEvent event);
  bool has_events() const;
  // Lowest power (mW) accepted since construction or the last reset; 0 when none was.
  float floor() const;
  // Starts a new floor measurement; events at or before timestamp are dropped from now on. The queue
  // keeps its events.
  void reset(int64_t timestamp);
  // Copy of the queued events, oldest first.
  std::vector<PowerEvent> events() const;

 private:
  mutable std::mutex mutex_;
  CircularQueue<PowerEvent> queue_;
  float floor_power_;
  int64_t reset_timestamp_ = 0;
};

}  // namespace ovrix
