// The serialized model: exact round trip of a model using every layer kind, refusal of damaged
// buffers, and a fuzz pass over random and mutated buffers (run it under the sanitizers).
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/model.h"
#include "support/engine_util.h"

namespace ovrix {
namespace {

using test::input_data;
using test::make_layer;

// Fills a tensor with bytes from a seeded generator (the values themselves do not matter).
void fill(const std::shared_ptr<Dense>& t, uint32_t seed) {
  std::mt19937 gen(seed);
  for (auto& b : t->mutable_data()) b = static_cast<std::byte>(gen());
}

std::unique_ptr<Model> every_kind_model() {
  auto m = Model::create();
  auto in = input_data(8, 8, 3, 8, 1, "in");
  m->add(in);
  auto hrc = make_layer(LayerType::InputConvolutional,
                        {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}, {"filters", 4}, {"padding", 1},
                         {"pool_type", 1}},
                        "hrc");
  m->add(hrc);
  auto v1conv = make_layer(LayerType::Convolutional, {{"filters", 4}, {"padding", 1}}, "v1conv");
  m->add(v1conv);
  auto sep = make_layer(LayerType::SeparableConvolutional, {{"filters", 6}, {"padding", 1}, {"weights_bits", 2}}, "sep");
  m->add(sep);
  auto c2d = make_layer(LayerType::Conv2D, {{"filters", 4}, {"activation", 2}}, "c2d");
  m->add(c2d, {in});
  auto dw = make_layer(LayerType::DepthwiseConv2D, {{"weights_bits", 4}}, "dw");
  m->add(dw);
  auto add = make_layer(LayerType::Add, {}, "add");
  m->add(add, {c2d, dw});
  auto cat = make_layer(LayerType::Concatenate, {}, "cat");
  m->add(cat, {add, c2d});
  m->add(make_layer(LayerType::InputConv2D, {{"filters", 2}, {"kernel_stride", 2}}, "ic2d"), {in});
  auto t = make_layer(LayerType::Conv2DTranspose, {{"filters", 3}, {"activation", 0}}, "t");
  m->add(t, {cat});
  m->add(make_layer(LayerType::DepthwiseConv2DTranspose, {}, "dwt"));
  m->add(make_layer(LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 2}}, "btc"));
  m->add(make_layer(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 3}, {"pool_type", 2}}, "dbtc"));
  m->add(make_layer(LayerType::Dense1D, {{"units", 5}, {"activation", 0}, {"output_bits", 32}}, "d1"));
  m->add(make_layer(LayerType::Dequantizer, {}, "deq"));
  auto q = make_layer(LayerType::Quantizer, {}, "q");
  m->add(q, {in});
  m->add(make_layer(LayerType::StatefulRecurrent, {{"stateful_channels", 4}, {"output_channels", 1}}, "sr"));
  m->add(make_layer(LayerType::LumoPostProcessing, {}, "lpp"));
  m->add(make_layer(LayerType::FullyConnected, {{"units", 6}, {"act_bits", 2}}, "fc"), {sep});
  m->compile(*LearningParams::create(LearningType::Unsupervised,
                                     {{"num_weights", 24}, {"num_classes", 3}, {"plasticity_decay", 0.125}}));
  // Some variables get values (one of them another element type), the others keep their zeros.
  uint32_t seed = 1;
  for (const auto& layer : m->layers()) {
    auto vars = layer->variables();
    auto names = vars->names();
    for (size_t i = 0; i < names.size(); i += 2) fill(vars->get(names[i]), seed++);
  }
  auto scales = std::shared_ptr<Dense>(Dense::create(TensorType::uint16, Shape{1}));
  fill(scales, 99);
  m->get_layer("sr")->variables()->set("output_scales", scales);
  return m;
}

TEST(ModelFormat, EveryLayerKindRoundTripsExactly) {
  auto model = every_kind_model();
  std::set<LayerType> kinds;
  for (const auto& l : model->layers()) kinds.insert(l->params()->layer_type());
  EXPECT_EQ(kinds.size(), std::size(all_layer_types));

  const auto bytes = model->to_buffer();
  auto loaded = Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  EXPECT_EQ(loaded->to_buffer(), bytes);

  ASSERT_EQ(loaded->layer_count(), model->layer_count());
  for (uint64_t i = 0; i < model->layer_count(); ++i) {
    auto a = model->get_layer(i), b = loaded->get_layer(i);
    EXPECT_EQ(a->get_name(), b->get_name());
    EXPECT_EQ(a->params()->layer_type(), b->params()->layer_type());
    for (const auto& k : a->params()->keys()) EXPECT_EQ(a->params()->get(k), b->params()->get(k));
    ASSERT_EQ(a->inbound_layers().size(), b->inbound_layers().size());
    for (size_t j = 0; j < a->inbound_layers().size(); ++j) EXPECT_EQ(a->inbound_layers()[j]->get_name(), b->inbound_layers()[j]->get_name());
    ASSERT_EQ(a->outbound_layers().size(), b->outbound_layers().size()) << a->get_name();
    EXPECT_TRUE(a->output_dimensions() == b->output_dimensions());
    EXPECT_EQ(a->variables()->names(), b->variables()->names());
    for (const auto& n : a->variables()->names()) {
      auto ta = a->variables()->get(n), tb = b->variables()->get(n);
      EXPECT_EQ(ta->type(), tb->type()) << n;
      EXPECT_TRUE(ta->shape() == tb->shape()) << n;
      EXPECT_EQ(ta->layout(), tb->layout()) << n;
      ASSERT_EQ(ta->data().size(), tb->data().size());
      EXPECT_EQ(std::memcmp(ta->data().data(), tb->data().data(), ta->data().size()), 0) << n;
    }
  }
  ASSERT_NE(loaded->learning(), nullptr);
  EXPECT_EQ(loaded->learning()->get("plasticity_decay"), 0.125);
  EXPECT_EQ(loaded->learning()->get("num_classes"), 3.0);
  EXPECT_TRUE(loaded->get_layer("fc")->is_learning());
  EXPECT_EQ(loaded->get_layer("sr")->variables()->get("output_scales")->type(), TensorType::uint16);
}

TEST(ModelFormat, EmptyModelRoundTrips) {
  auto bytes = Model::create()->to_buffer();
  auto loaded = Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  EXPECT_EQ(loaded->layer_count(), 0u);
  EXPECT_EQ(loaded->to_buffer(), bytes);
}

TEST(ModelFormat, DocumentedHeaderAndTrailer) {
  auto model = Model::create();
  model->add(input_data(2, 2, 1));
  auto bytes = model->to_buffer();
  ASSERT_GE(bytes.size(), 32u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "OVRIXMDL");
  EXPECT_EQ(bytes[8], 1);  // version, little-endian
  for (int i = 9; i < 16; ++i) EXPECT_EQ(bytes[i], 0);
  uint64_t payload = 0;
  for (int i = 7; i >= 0; --i) payload = payload << 8 | bytes[16 + i];
  EXPECT_EQ(payload, bytes.size() - 32);
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i + 8 < bytes.size(); ++i) h = (h ^ bytes[i]) * 1099511628211ull;
  uint64_t stored = 0;
  for (int i = 7; i >= 0; --i) stored = stored << 8 | bytes[bytes.size() - 8 + i];
  EXPECT_EQ(stored, h);
}

std::string load_error(const std::vector<uint8_t>& bytes) {
  try {
    Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<loaded>";
}

TEST(ModelFormat, RefusesTruncatedFlippedAndForeignBuffers) {
  const auto good = every_kind_model()->to_buffer();
  EXPECT_EQ(load_error({}), "Invalid serialized model: the buffer is truncated.");
  EXPECT_THROW(Model::from_buffer(nullptr, 10), std::runtime_error);
  EXPECT_THROW(Model::from_buffer(nullptr, 0), std::runtime_error);

  for (size_t n = 0; n < good.size(); n += (n < 64 || n + 64 > good.size()) ? 1 : 97) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + n);
    EXPECT_NE(load_error(cut), "<loaded>") << "prefix " << n;
  }
  auto longer = good;
  longer.push_back(0);
  EXPECT_EQ(load_error(longer), "Invalid serialized model: the buffer size does not match its payload size.");

  std::mt19937 gen(7);
  for (int i = 0; i < 3000; ++i) {
    auto flipped = good;
    size_t bit = gen() % (good.size() * 8);
    flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_NE(load_error(flipped), "<loaded>") << "bit " << bit;
  }
  auto bad_magic = good;
  bad_magic[0] = 'X';
  EXPECT_EQ(load_error(bad_magic), "Invalid serialized model: bad magic number.");
  auto bad_version = good;
  bad_version[8] = 2;
  EXPECT_EQ(load_error(bad_version), "Invalid serialized model: unsupported format version 2.");
  auto bad_sum = good;
  bad_sum.back() ^= 1;
  EXPECT_EQ(load_error(bad_sum), "Invalid serialized model: checksum mismatch.");
}

// ---- fuzzing ----

// Makes a mutated payload self-consistent again: payload length and checksum.
void reseal(std::vector<uint8_t>& b) {
  if (b.size() < 32) return;
  const uint64_t payload = b.size() - 32;
  for (int i = 0; i < 8; ++i) b[16 + i] = static_cast<uint8_t>(payload >> (8 * i));
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i + 8 < b.size(); ++i) h = (h ^ b[i]) * 1099511628211ull;
  for (int i = 0; i < 8; ++i) b[b.size() - 8 + i] = static_cast<uint8_t>(h >> (8 * i));
}

// Loads a buffer; only the two documented exception types may come out, and a model that loads
// serializes to a buffer that loads again to the same bytes.
void load_or_refuse(const std::vector<uint8_t>& b, int* loaded) {
  try {
    auto m = Model::from_buffer(reinterpret_cast<const char*>(b.data()), b.size());
    ++*loaded;
    auto again = m->to_buffer();
    auto m2 = Model::from_buffer(reinterpret_cast<const char*>(again.data()), again.size());
    EXPECT_EQ(m2->to_buffer(), again);
  } catch (const std::runtime_error&) {
  } catch (const std::invalid_argument&) {
  }
}

std::unique_ptr<Model> small_model() {
  auto m = Model::create();
  auto in = input_data(3, 2, 2, 8, 0, "i");
  m->add(in);
  m->add(make_layer(LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 1}}, "c"));
  m->add(make_layer(LayerType::Add, {}, "a"), {m->get_layer("c"), m->get_layer("c")});
  m->add(make_layer(LayerType::FullyConnected, {{"units", 2}}, "f"));
  m->compile(*LearningParams::create(LearningType::Unsupervised, {{"num_weights", 12}}));
  fill(m->get_layer("c")->variables()->get("weights"), 3);
  return m;
}

TEST(ModelFormat, FuzzRandomAndMutatedBuffers) {
  const auto seed_bytes = small_model()->to_buffer();
  std::mt19937 gen(12345);
  int loaded = 0;

  // Random bytes, with and without a valid header and seal.
  for (int i = 0; i < 1500; ++i) {
    std::vector<uint8_t> b(gen() % 200);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    load_or_refuse(b, &loaded);
    if (b.size() >= 32) {
      std::memcpy(b.data(), seed_bytes.data(), 16);
      reseal(b);
      load_or_refuse(b, &loaded);
    }
  }
  // Mutations of a valid buffer, resealed so that they reach the parser and the rebuild.
  for (int i = 0; i < 6000; ++i) {
    auto b = seed_bytes;
    const int edits = 1 + gen() % 4;
    for (int e = 0; e < edits; ++e) {
      const size_t payload_end = b.size() - 8;
      if (payload_end <= 24) break;
      const size_t at = 24 + gen() % (payload_end - 24);
      switch (gen() % 6) {
        case 0: b[at] = static_cast<uint8_t>(gen()); break;
        case 1: b[at] ^= static_cast<uint8_t>(1u << (gen() % 8)); break;
        case 2: b.erase(b.begin() + at, b.begin() + std::min<size_t>(payload_end, at + 1 + gen() % 8)); break;
        case 3: b.insert(b.begin() + at, 1 + gen() % 8, static_cast<uint8_t>(gen())); break;
        case 4: {  // an interesting 32-bit value
          const uint32_t values[] = {0, 1, 2, 3, 0xFF, 0xFFFF, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, 255, 256, 65536};
          uint32_t v = values[gen() % std::size(values)];
          for (int k = 0; k < 4 && at + k < payload_end; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
          break;
        }
        default: {  // copy a run of the buffer over another place
          const size_t from = 24 + gen() % (payload_end - 24);
          const size_t n = std::min<size_t>({1 + gen() % 16, payload_end - from, payload_end - at});
          std::memmove(b.data() + at, seed_bytes.data() + std::min(from, seed_bytes.size() - n), n);
        }
      }
    }
    reseal(b);
    load_or_refuse(b, &loaded);
  }
  // The unmutated seed loads; some mutations (of variable bytes, say) load too.
  load_or_refuse(seed_bytes, &loaded);
  EXPECT_GT(loaded, 1);
}

}  // namespace
}  // namespace ovrix
