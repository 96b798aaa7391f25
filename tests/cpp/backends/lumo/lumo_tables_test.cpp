// The lumo edition's golden values, one case a line in tests/data/lumo/: chain rules with their
// messages, SRAM sizes, the recorded register block and tracks, and the FSRAM and TSRAM words.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "backends/lumo/fsram_format.h"
#include "backends/lumo/rules.h"
#include "backends/lumo/sram_sizes.h"
#include "backends/lumo/tnpr_recording.h"
#include "backends/lumo/tsram_format.h"
#include "support/lumo_chain_tables.h"
#include "mapping/hardware_constraints.h"
#include "mapping/layer_mapping.h"
#include "support/fakes.h"

namespace ovrix::lumo_test {
namespace {


// "START | chain" -> the chain and its layer START.
std::pair<Chain, std::shared_ptr<Layer>> chain_from(const std::string& input) {
  const auto bar = input.find('|');
  Chain chain = build_chain(input.substr(bar + 1));
  auto layer = chain.layer(trim(input.substr(0, bar)));
  if (!layer) throw std::runtime_error("no layer " + input.substr(0, bar));
  return {std::move(chain), layer};
}

std::string hex_words(const std::vector<uint32_t>& words, size_t from = 0, size_t count = SIZE_MAX) {
  std::string out;
  for (size_t i = from; i < words.size() && i - from < count; ++i) out += fmt::format("{}{:08x}", out.empty() ? "" : " ", words[i]);
  return out;
}

template <class F>
std::string result_or_error(F&& f) {
  try {
    return f();
  } catch (const std::exception& e) {
    return std::string("!") + e.what();
  }
}

test_support::FakeDevice lumo_device() {
  return test_support::FakeDevice(hw_versions::Lumo_Proteo,
                                  Mesh(IpVersion::lumo, hw::Ident(), hw::Ident(), std::nullopt,
                                       {np::Info(hw::Ident(), {hw::Type::TNP_R}, false)}, {}));
}

// The head of the chain runs on the NP (1, 2, 3, 0).
void place(Layer& layer) {
  auto mapping = std::make_shared<LayerMapping>();
  hw::Component np(hw::Type::TNP_R);
  np.ident = hw::Ident(1, 2, 3, 0);
  mapping->nps->push_back(np);
  dynamic_cast<LayerImpl&>(layer).set_mapping(mapping);
}

TEST(LumoTables, ChainRules) {
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::lumo, SramSize_lumo);
  for (const Case& c : read_cases("rules.txt")) {
    SCOPED_TRACE("rules.txt:" + std::to_string(c.line));
    const std::string got = result_or_error([&] {
      const bool post_rules = c.input.starts_with("post:");
      auto [chain, layer] = chain_from(c.input.substr(post_rules ? 5 : 0));
      const MappingStatus status = post_rules ? lumo::check_post_processing_layer(*layer)
                                              : lumo::check_tnp_r_constraints(limits, *layer);
      return status.failed ? status.to_string() : std::string("ok");
    });
    EXPECT_EQ(got, c.expected);
  }
}

TEST(LumoTables, SramSizes) {
  for (const Case& c : read_cases("sizes.txt")) {
    SCOPED_TRACE("sizes.txt:" + std::to_string(c.line));
    const std::string got = result_or_error([&] {
      auto [chain, layer] = chain_from(c.input);
      return fmt::format("{} {} {} {}", lumo::get_tnpr_stsram_32b_size(*layer), lumo::get_tnpr_fsram_64b_size(*layer),
                         lumo::get_tnpr_tsram_51b_size(*layer), lumo::get_tnpr_evsram_32b_size(*layer));
    });
    EXPECT_EQ(got, c.expected);
  }
}

// "13:<register words> 14:<FSRAM words> 15:<TSRAM words>": each track's DMA target, then its payload
// (in full for the registers, as a count for the SRAM images); all three go to the chain's NP.
TEST(LumoTables, Recording) {
  const auto device = lumo_device();
  for (const Case& c : read_cases("recording.txt")) {
    SCOPED_TRACE("recording.txt:" + std::to_string(c.line));
    const std::string got = result_or_error([&] {
      Chain chain = build_chain(c.input);
      auto head = chain.layer("r1");
      place(*head);
      const auto record = lumo::record_program_tnpr_layers(device, *head);
      std::string out;
      for (const auto& track : record->tracks()) {
        const auto& w = track.words();
        const uint32_t target = w.at(1) >> 28;
        EXPECT_EQ(w.at(0) & 0xFFFFFF, 0x030201u) << "the chain's NP";
        out += fmt::format("{}{}:", out.empty() ? "" : " ", target);
        out += target == 13 ? hex_words(w, 2) : std::to_string(w.size() - 2);
      }
      return out;
    });
    EXPECT_EQ(got, c.expected);
  }
}

// Tensors of the format lines: "type:v1,v2,..." with shape (count) or "type[R,K]:values".
std::shared_ptr<Dense> tensor(const std::string& text) {
  const auto colon = text.find(':');
  std::string type_text = text.substr(0, colon);
  const std::vector<int64_t> values = numbers(text.substr(colon + 1));
  Shape shape{uint32_t(values.size())};
  if (const auto bracket = type_text.find('['); bracket != std::string::npos) {
    const auto dims = numbers(type_text.substr(bracket + 1, type_text.size() - bracket - 2));
    shape = Shape{uint32_t(dims.at(0)), uint32_t(dims.at(1))};
    type_text.resize(bracket);
  }
  static const std::map<std::string, TensorType> types = {
      {"i8", TensorType::int8}, {"u8", TensorType::uint8}, {"i16", TensorType::int16},
      {"u16", TensorType::uint16}, {"i32", TensorType::int32}, {"f32", TensorType::float32}};
  std::shared_ptr<Dense> t = Dense::create(types.at(type_text), shape);
  fill(t.get(), values);
  return t;
}

TEST(LumoTables, SramFormats) {
  for (const Case& c : read_cases("formats.txt")) {
    SCOPED_TRACE("formats.txt:" + std::to_string(c.line));
    std::vector<uint32_t> out{0xAAAAAAAA};  // a word already there stays first and alone on failure
    const std::string got = result_or_error([&] {
      const std::vector<std::string> w = words(c.input);
      std::vector<std::shared_ptr<Dense>> t;
      for (size_t i = 1; i < w.size(); ++i)
        if (w[i].find(':') != std::string::npos) t.push_back(tensor(w[i]));
      const std::string& kind = w.at(0);
      if (kind == "fsram") lumo::format_fsram_weights(&out, *t.at(0), *t.at(1));
      else if (kind == "state") lumo::format_tsram_state_updating_var(&out, *t.at(0), *t.at(1), *t.at(2), *t.at(3), *t.at(4));
      else if (kind == "output") lumo::format_tsram_output_var(&out, *t.at(0), *t.at(1), *t.at(2), *t.at(3));
      else if (kind == "post") lumo::format_tsram_post_processing_output_var(&out, uint16_t(std::stoi(w.at(1))), uint16_t(std::stoi(w.at(2))));
      else if (kind == "inshift") lumo::format_tsram_input_shift(&out, *t.at(0), uint8_t(std::stoi(w.at(1))));
      else if (kind == "postshift") lumo::format_tsram_post_processing_input_shift(&out);
      else throw std::runtime_error("unknown format " + kind);
      return hex_words(out, 1);
    });
    EXPECT_EQ(got, c.expected);
    if (got.starts_with("!")) {
      EXPECT_EQ(out.size(), 1u) << "nothing appended on failure";
    }
  }
}

}  // namespace
}  // namespace ovrix::lumo_test
