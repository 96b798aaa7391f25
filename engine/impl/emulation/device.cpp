// The emulated device: keeps the program it was given, its batch size, learning switch, clock
// counter, memory use and learning memory, and answers every sample with outputs derived from that
// sample's bytes alone.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "engine/emulation.h"
#include "engine/impl/inference/v1_learning.h"
#include "engine/impl/ops/arith.h"

namespace ovrix::emulation {

namespace {

// Clocks an emulated device spends: programming, and each sample.
constexpr uint32_t program_base_clocks = 10000;
constexpr uint32_t sample_base_clocks = 1000;
constexpr uint32_t max_program_data_bytes = 64u << 20;

uint64_t product(const std::vector<uint32_t>& dims) {
  uint64_t n = 1;
  for (uint32_t d : dims) n *= d;
  return n;
}

Shape shape_of(const std::vector<uint32_t>& dims) {
  Shape s;
  s.count = dims.size();
  for (size_t i = 0; i < dims.size(); ++i) s.dims[i] = dims[i];
  return s;
}

// Low `bits` bits of v, sign-extended.
int8_t signed_bits(uint64_t v, unsigned bits) {
  const uint32_t mask = (1u << bits) - 1;
  const uint32_t sign = 1u << (bits - 1);
  return static_cast<int8_t>(static_cast<int32_t>(((v & mask) ^ sign)) - static_cast<int32_t>(sign));
}

// A sample's values in index order (the last dimension fastest), whatever its layout.
std::vector<int32_t> sample_values(const Tensor& sample) {
  const Shape shape = sample.shape();
  const std::vector<uint32_t> strides = sample.strides();
  const std::byte* data = sample.data().data();
  const TensorType type = sample.type();
  auto value = [&](size_t at) -> int32_t {
    auto read = [&](auto v) {
      std::memcpy(&v, data + at * sizeof v, sizeof v);
      return v;
    };
    switch (type) {
      case TensorType::int32: return read(int32_t{});
      case TensorType::float32: {
        const float f = read(float{});
        return std::isnan(f) ? 0 : static_cast<int32_t>(std::clamp(f, -2147483648.0f, 2147483520.0f));
      }
      case TensorType::int16: return read(int16_t{});
      case TensorType::uint16: return read(uint16_t{});
      case TensorType::uint8:
      case TensorType::uint4:
      case TensorType::uint2: return read(uint8_t{});
      default: return read(int8_t{});
    }
  };
  std::vector<int32_t> out(sample.size());
  std::vector<uint32_t> at(shape.size(), 0);
  for (size_t n = 0; n < out.size(); ++n) {
    size_t offset = 0;
    for (size_t d = 0; d < shape.size(); ++d) offset += size_t{at[d]} * strides[d];
    out[n] = value(offset);
    for (size_t d = shape.size(); d-- > 0;) {
      if (++at[d] < shape[d]) break;
      at[d] = 0;
    }
  }
  return out;
}

}  // namespace

uint64_t sample_hash(std::span<const std::byte> bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (std::byte b : bytes) {
    h ^= static_cast<uint8_t>(b);
    h *= 0x100000001b3ull;
  }
  return h;
}

uint64_t splitmix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

void output_value(uint64_t hash, size_t k, TensorType type, std::byte* out) {
  const uint64_t v = splitmix64(hash + k);
  auto put = [out](auto value) { std::memcpy(out, &value, sizeof value); };
  switch (type) {
    case TensorType::int32: put(static_cast<int32_t>(static_cast<uint32_t>(v))); break;
    case TensorType::float32: put(static_cast<float>(static_cast<int32_t>(v & 0xFFFF) - 32768) / 256.0f); break;
    case TensorType::uint8: put(static_cast<uint8_t>(v & 0xFF)); break;
    case TensorType::int16: put(static_cast<int16_t>(static_cast<uint16_t>(v))); break;
    case TensorType::int8: put(static_cast<int8_t>(static_cast<uint8_t>(v))); break;
    case TensorType::int4: put(signed_bits(v, 4)); break;
    case TensorType::int2: put(signed_bits(v, 2)); break;
    case TensorType::uint4: put(static_cast<uint8_t>(v & 0xF)); break;
    case TensorType::uint2: put(static_cast<uint8_t>(v & 0x3)); break;
    case TensorType::bit: put(static_cast<int8_t>(v & 0x1)); break;
    case TensorType::uint16: put(static_cast<uint16_t>(v)); break;
  }
}

EmulatedDevice::EmulatedDevice(EmulatedDriver* driver, bool timing_out)
    : driver_(driver),
      timing_out_(timing_out),
      desc_(fmt::format("Emulated {} ({})", driver->spec().name, driver->spec().version.to_string())),
      clock_(driver->spec().clock) {}

HwVersion EmulatedDevice::version() const { return scanned_ ? driver_->spec().version : scan_version(driver_->spec()); }

uint32_t EmulatedDevice::read_np_config(const hw::Ident& ident, uint32_t count) {
  if (count != 1) throw std::invalid_argument("NP capability words are read one at a time.");
  uint32_t word = 0;
  driver_->read(RegisterImageDriver::np_config_address(ident), &word, 4);
  // A mismatch device shows its own version once the last NP of its mesh has been read.
  const MeshRegisterImage& m = driver_->layout();
  if (ident == hw::Ident(m.columns, m.rows, uint8_t(m.nps_per_node - 1))) scanned_ = true;
  return word;
}

void EmulatedDevice::enable_clock_counter(bool enable) { counting_ = enable; }

void EmulatedDevice::advance_clock(uint64_t cycles) {
  if (counting_) clock_ = static_cast<uint32_t>(clock_ + cycles);  // the counter wraps
}

uint64_t EmulatedDevice::memory() { return uint64_t{memory_use_} | uint64_t{memory_top_} << 32; }

void EmulatedDevice::reset_top_memory() { memory_top_ = memory_use_; }

void EmulatedDevice::update_memory_use() {
  uint64_t use = program_.size() + learn_memory_.size() * 4;
  if (!program_.empty())
    use += uint64_t{batch_size_} * (product(summary_.input_dimensions) + product(summary_.output_dimensions) * 4);
  memory_use_ = static_cast<uint32_t>(std::min<uint64_t>(use, UINT32_MAX));
  memory_top_ = std::max(memory_top_, memory_use_);
}

void EmulatedDevice::log_call(const char* call) {
  if (calls_.size() >= max_logged_calls)
    calls_.erase(calls_.begin(), calls_.begin() + static_cast<std::ptrdiff_t>(max_logged_calls / 2));
  calls_.push_back(call);
}

void EmulatedDevice::load(std::vector<uint8_t> bytes, const char* call) {
  ProgramSummary summary = read_program(bytes.data(), bytes.size());  // refuses before any change
  // The device copies the data part to its program memory.
  const size_t info_size = size_t{bytes[0] | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24} + 4;
  for (size_t at = info_size, address = program_data_address; at < bytes.size(); at += 4, address += 4) {
    uint32_t word = 0;
    std::memcpy(&word, bytes.data() + at, std::min<size_t>(4, bytes.size() - at));
    driver_->set(static_cast<uint32_t>(address), word);
  }
  program_ = std::move(bytes);
  summary_ = std::move(summary);
  learn_memory_ = summary_.learn_memory;
  learn_enabled_ = false;
  program_clocks_ = static_cast<uint32_t>(program_base_clocks + program_.size() / 4);
  advance_clock(program_clocks_);
  log_call(call);
  update_memory_use();
}

void EmulatedDevice::program(const uint8_t* data, size_t size) {
  if (data == nullptr && size != 0) throw std::invalid_argument("Program bytes are missing.");
  load(std::vector<uint8_t>(data, data + size), "program");
}

void EmulatedDevice::program_external(const uint8_t* info, size_t size, uint32_t address) {
  if (info == nullptr && size != 0) throw std::invalid_argument("Program information bytes are missing.");
  const uint32_t data_size = driver_->get(address);
  if (address % 4 != 0 || data_size == 0 || data_size > max_program_data_bytes ||
      uint64_t{address} + 4 + data_size > (uint64_t{1} << 32))
    throw std::runtime_error(fmt::format("No program data at address 0x{:08X}.", address));
  std::vector<uint8_t> bytes(info, info + size);
  bytes.resize(size + 4 + data_size);
  for (uint32_t at = 0; at < 4 + data_size; at += 4) {
    const uint32_t word = driver_->get(address + at);
    std::memcpy(bytes.data() + size + at, &word, std::min<size_t>(4, 4 + data_size - at));
  }
  load(std::move(bytes), "program_external");
}

std::span<const uint8_t> EmulatedDevice::program() const {
  if (program_.empty()) return {};
  return {program_.data(), program_.size()};
}

void EmulatedDevice::set_batch_size(uint32_t batch_size, bool) {
  if (batch_size == 0) throw std::invalid_argument("The batch size must be at least 1.");
  batch_size_ = batch_size;
  log_call("set_batch_size");
  update_memory_use();
}

void EmulatedDevice::set_learn_enabled(bool enabled) {
  learn_enabled_ = enabled;
  log_call("set_learn_enabled");
}

void EmulatedDevice::learn_mem(uint32_t* out) {
  if (!learn_memory_.empty()) std::memcpy(out, learn_memory_.data(), learn_memory_.size() * 4);
}

void EmulatedDevice::update_learn_mem(const uint32_t* data) {
  if (!learn_memory_.empty()) std::memcpy(learn_memory_.data(), data, learn_memory_.size() * 4);
}

void EmulatedDevice::unprogram() {
  program_.clear();
  summary_ = ProgramSummary{};
  learn_memory_.clear();
  learn_enabled_ = false;
  log_call("unprogram");
  update_memory_use();
}

int64_t EmulatedDevice::next_timestamp() {
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  last_timestamp_ = std::max(now, last_timestamp_ + 1);
  return last_timestamp_;
}

std::vector<std::unique_ptr<Tensor>> EmulatedDevice::run(const std::vector<std::shared_ptr<const Tensor>>& samples,
                                                         Mode mode, const std::vector<int32_t>* labels) {
  if (program_.empty()) throw std::runtime_error("The device holds no program.");
  if (timing_out_) throw std::runtime_error("The input convolution block timed out.");
  if (samples.size() > batch_size_)
    throw std::runtime_error(
        fmt::format("{} samples exceed the batch size of {} set on the device.", samples.size(), batch_size_));
  if (labels && labels->size() > 1 && labels->size() != samples.size())
    throw std::invalid_argument(fmt::format("{} labels for {} samples: give none, one, or one per sample.",
                                            labels->size(), samples.size()));
  const uint64_t expected = summary_.input_dimensions.empty() ? 0 : product(summary_.input_dimensions);
  for (size_t i = 0; i < samples.size(); ++i) {
    if (!samples[i]) throw std::invalid_argument(fmt::format("Sample {} is missing.", i));
    if (expected != 0 && samples[i]->size() != expected)
      throw std::runtime_error(fmt::format("Sample {} has {} values where the program expects {}.", i,
                                           samples[i]->size(), expected));
  }

  const uint8_t t = summary_.output_type;
  TensorType type;
  if (t >= force_type && t <= force_type + uint8_t(TensorType::uint16))
    type = static_cast<TensorType>(t - force_type);
  else if (mode == Mode::predict)
    type = TensorType::float32;
  else
    type = summary_.output_flag ? TensorType::uint8 : TensorType::int32;

  std::shared_ptr<PowerMeter> meter;
  if (auto* soc = dynamic_cast<SocDriver*>(driver_)) meter = soc->power_meter();
  const bool learning = mode == Mode::fit && learn_enabled_ && !learn_memory_.empty();

  std::vector<std::unique_ptr<Tensor>> outputs;
  for (size_t i = 0; i < samples.size(); ++i) {
    const auto bytes = samples[i]->data();
    const uint64_t h = sample_hash(bytes);
    advance_clock(sample_base_clocks + bytes.size());
    if (meter) {
      // About 0.8 to 1 V and 50 to 500 mA, varying with the sample.
      meter->log_event({next_timestamp(), 800000u + static_cast<uint32_t>(h % 200001),
                        50u + static_cast<uint32_t>((h >> 32) % 451)});
    }
    // Without labels every neuron competes; a negative label is no neuron's class, whose headers number
    // the classes from 0, and teaches nothing.
    if (learning) {
      const int64_t label = labels->empty() ? -1 : (*labels)[labels->size() == 1 ? 0 : i];
      if (labels->empty() || label >= 0) learn(*samples[i], h, label);
    }
    if (t == no_outputs) continue;

    std::vector<uint32_t> dims = summary_.output_dimensions;
    const bool last_of_batch = samples.size() >= 2 && i + 1 == samples.size();
    if (last_of_batch && t == ragged_size) dims.back() += 1;
    if (last_of_batch && t == ragged_rank) {
      const uint32_t n = static_cast<uint32_t>(product(dims));
      dims = dims.size() == 1 ? std::vector<uint32_t>{n, 1} : std::vector<uint32_t>{n};
    }
    auto out = Dense::create(type, shape_of(dims));
    std::byte* p = out->mutable_data().data();
    const size_t step = element_size(type);
    for (size_t k = 0; k < out->size(); ++k) output_value(h, k, type, p + k * step);
    outputs.push_back(std::move(out));
  }
  log_call(mode == Mode::fit ? "fit" : mode == Mode::forward ? "forward" : "predict");
  return outputs;
}

// The FNP of the learning layer learns from one sample, in its memory of neuron blocks (4 header words,
// then a bit per input and weight), with the rule of the software fit. The emulation runs no layer
// before the FNP: when the sample has as many values as fill the FNP's input words, they are its
// inputs; otherwise its inputs are the fewest that fill its input words, each 1 or 0 by a bit of
// splitmix64(hash + input). A memory that the registers do not describe learns nothing.
void EmulatedDevice::learn(const Tensor& sample, uint64_t hash, int64_t label) {
  const size_t header = summary_.learn_fnp3 && learn_memory_.size() > 2 ? 2 : 0;
  const uint32_t units = summary_.learn_neurons;
  const uint32_t groups = summary_.learn_input_words;
  const uint64_t block = uint64_t{groups} + 4;
  if (units == 0 || groups == 0 || header + units * block > learn_memory_.size()) return;

  std::vector<int32_t> x;
  if ((sample.size() + 31) / 32 == groups) {
    x = sample_values(sample);
  } else {
    x.resize(size_t{groups - 1} * 32 + 1);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<int32_t>(splitmix64(hash + i) & 1);
  }
  const auto inputs = static_cast<uint32_t>(x.size());
  uint32_t* blocks = learn_memory_.data() + header;
  auto weight = [&](uint32_t k, uint32_t i) { return (blocks[k * block + 4 + i / 32] >> (i % 32)) & 1u; };

  std::vector<int32_t> potential(units);
  for (uint32_t k = 0; k < units; ++k) {
    uint32_t acc = 0;
    for (uint32_t i = 0; i < inputs; ++i) acc = arith::mac(acc, x[i], static_cast<int32_t>(weight(k, i)));
    potential[k] = arith::as_signed(acc);
  }
  // Header word 1 holds the neuron's class plus 1 in bits 20..29, or 0 when the layer has one class.
  const auto winner = learning::v1_winner(potential, label, [&](uint32_t k) {
    const uint32_t c = (blocks[k * block + 1] >> 20) & 0x3FF;
    return c == 0 ? 0 : c - 1;
  });
  if (!winner) return;
  const uint32_t k = *winner;
  const auto move = learning::v1_move(inputs, [&](uint32_t i) { return weight(k, i) != 0; },
                                      [&](uint32_t i) { return x[i] != 0; });
  if (!move) return;
  blocks[k * block + 4 + move->from / 32] &= ~(1u << (move->from % 32));
  blocks[k * block + 4 + move->to / 32] |= 1u << (move->to % 32);
}

std::vector<std::unique_ptr<Tensor>> EmulatedDevice::fit(const std::vector<std::shared_ptr<const Tensor>>& samples,
                                                         const std::vector<int32_t>& labels) {
  return run(samples, Mode::fit, &labels);
}

std::vector<std::unique_ptr<Tensor>> EmulatedDevice::forward(const std::vector<std::shared_ptr<const Tensor>>& samples) {
  return run(samples, Mode::forward, nullptr);
}

std::vector<std::unique_ptr<Tensor>> EmulatedDevice::predict(const std::vector<std::shared_ptr<const Tensor>>& samples) {
  return run(samples, Mode::predict, nullptr);
}

}  // namespace ovrix::emulation
