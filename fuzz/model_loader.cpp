// libFuzzer target of the model loader: Model::from_buffer on mutated serialized models, then what a
// loaded model is used for: serializing it again, and running one sample in software.
//
// Oracles besides the sanitizers: the loader refuses only with std::runtime_error; a model it accepts
// serializes back to exactly the bytes it was read from; a run refuses only with std::invalid_argument
// or std::runtime_error. Any other exception escapes and counts as a crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

#include "engine/model.h"
#include "engine/tensor.h"

namespace {

// The serialized model ends with an FNV-1a 64 checksum of everything before it, and its header gives
// the payload size: both are made to match the mutated bytes so that mutations reach the parser.
constexpr size_t header_size = 24;
constexpr size_t trailer_size = 8;

void put_u64(uint8_t* at, uint64_t v) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

void seal(std::vector<uint8_t>& bytes) {
  if (bytes.size() < header_size + trailer_size) return;
  put_u64(bytes.data() + 16, bytes.size() - header_size - trailer_size);
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i + trailer_size < bytes.size(); ++i) {
    h ^= bytes[i];
    h *= 1099511628211ull;
  }
  put_u64(bytes.data() + bytes.size() - trailer_size, h);
}

// Software runs of models small enough to run thousands of times a second.
constexpr uint64_t max_elements = 1 << 16;
constexpr uint64_t max_macs = 1 << 20;

bool small(const ovrix::Model& model) {
  if (model.layer_count() == 0 || model.macs() > max_macs) return false;
  uint64_t elements = model.input_shape().elements();
  for (const auto& layer : model.layers()) elements += layer->output_dimensions().elements();
  return model.input_shape().size() == 3 && elements <= max_elements;
}

template <class F>
void refused_or_run(F&& run) {
  try {
    run();
  } catch (const std::invalid_argument&) {
  } catch (const std::runtime_error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  seal(bytes);
  std::unique_ptr<ovrix::Model> model;
  try {
    model = ovrix::Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } catch (const std::runtime_error&) {
    return 0;
  }
  if (!model) {
    std::fprintf(stderr, "from_buffer returned no model and no exception\n");
    std::abort();
  }
  if (model->to_buffer() != bytes) {
    std::fprintf(stderr, "a loaded model does not serialize back to the bytes it was read from\n");
    std::abort();
  }
  if (!small(*model)) return 0;
  const ovrix::Shape in = model->input_shape();
  auto sample = [&] {
    return std::shared_ptr<ovrix::Dense>(
        ovrix::Dense::create(ovrix::TensorType::uint8, ovrix::Shape{1, in[0], in[1], in[2]}));
  };
  refused_or_run([&] { model->forward(sample(), 0); });
  refused_or_run([&] { model->predict(sample(), 0); });
  if (model->learning()) refused_or_run([&] { model->fit(sample(), {0}, 0); });
  return 0;
}
