// What an emulated device reads from a device program: shapes, output format and the learning memory.
#include <fmt/format.h>

#include <stdexcept>

#include "engine/emulation.h"
#include "engine/program_info.h"
#include "program/program_data_generated.h"
#include "program/program_info_generated.h"

namespace ovrix::emulation {

namespace {

[[noreturn]] void refuse(const std::string& why) { throw std::runtime_error("Invalid device program: " + why + "."); }

std::vector<uint32_t> dims_of(const flatbuffers::Vector<uint32_t>* dims) {
  return dims ? std::vector<uint32_t>(dims->begin(), dims->end()) : std::vector<uint32_t>{};
}

// Product of the dimensions, saturated at the largest 64-bit value.
uint64_t saturated_elements(const std::vector<uint32_t>& dims) {
  uint64_t n = 1;
  for (uint32_t d : dims) n = d != 0 && n > UINT64_MAX / d ? UINT64_MAX : n * d;
  return n;
}

// The words of a record's first track that holds any: a block that needs the long DMA header starts
// a track of its own, after a first track that may stay empty.
const flatbuffers::Vector<uint32_t>* first_track_words(const fb::Record* record) {
  if (!record || !record->tracks()) return nullptr;
  for (const fb::NpTrack* track : *record->tracks())
    if (track && track->words() && track->words()->size() > 0) return track->words();
  return nullptr;
}

// The v1 FNP register image of a learning layer (after its block's DMA header): word 14 holds the words
// of one input packet (a bit per input) in bits 0..17, word 15 the neurons in bits 0..16.
constexpr size_t learn_reg_header_words = 2;
constexpr size_t learn_reg_input_words_word = 14;
constexpr size_t learn_reg_neurons_word = 15;

bool known_output_type(uint8_t t) {
  return t < force_type || (t >= force_type && t <= force_type + uint8_t(TensorType::uint16)) || t == no_outputs ||
         t == ragged_size || t == ragged_rank;
}

}  // namespace

ProgramSummary read_program(const uint8_t* data, size_t size) {
  const ProgramInfo program(data, size);  // checks both buffers with the flatbuffers verifier
  const fb::ProgramInfo& info = *fb::GetSizePrefixedProgramInfo(program.info_data());
  const fb::ProgramData& body = *fb::GetSizePrefixedProgramData(program.program_data());

  ProgramSummary s;
  s.input_dimensions = dims_of(info.input_dims());
  s.output_dimensions = dims_of(info.output_dims());
  if (s.output_dimensions.empty() || s.output_dimensions.size() > Shape::max_dims)
    refuse(fmt::format("the output shape has {} dimensions (1 to 4 expected)", s.output_dimensions.size()));
  for (uint32_t d : s.output_dimensions)
    if (d == 0) refuse("an output dimension is 0");
  for (uint32_t d : s.input_dimensions)
    if (d == 0) refuse("an input dimension is 0");
  s.output_type = static_cast<uint8_t>(info.output_type());
  if (!known_output_type(s.output_type)) refuse(fmt::format("unknown output type 0x{:02X}", s.output_type));
  s.output_bits = info.output_bits();
  s.output_flag = info.output_flag();

  if (const fb::LearningLayer* learning = body.learning()) {
    s.has_learning = true;
    const fb::Record* memory = learning->third_record();
    if (memory && memory->fnp2_filters() && memory->fnp2_filters()->words()) {
      const auto* words = memory->fnp2_filters()->words();
      s.learn_memory.assign(words->begin(), words->end());
    } else if (const auto* words = first_track_words(memory)) {
      s.learn_memory.assign(words->begin(), words->end());
      s.learn_fnp3 = true;
    } else {
      refuse("the learning layer has no weight memory");
    }
    // The FNP's learning registers give the layout of the memory: neurons, and words of input spikes.
    if (const auto* regs = first_track_words(learning->first_record());
        regs && regs->size() >= learn_reg_header_words + learn_reg_neurons_word + 1) {
      const uint32_t* image = regs->data() + learn_reg_header_words;
      s.learn_input_words = image[learn_reg_input_words_word] & ((1u << 18) - 1);
      s.learn_neurons = image[learn_reg_neurons_word] & ((1u << 17) - 1);
    }
  }

  // The device holds the program, its learning memory and at least one sample's input (a byte per
  // element) and output (up to 4 bytes per element): a program announcing more could never run, and
  // every run would first allocate its outputs.
  const uint64_t in = saturated_elements(s.input_dimensions);
  const uint64_t out = saturated_elements(s.output_dimensions);
  const uint64_t fixed = size + s.learn_memory.size() * 4;
  if (in > device_memory_bytes || out > device_memory_bytes / 4 || fixed + in + out * 4 > device_memory_bytes)
    refuse(fmt::format("one sample's input ({} elements) and output ({} elements) do not fit the {} bytes of device "
                       "memory beside the program",
                       in, out, device_memory_bytes));
  return s;
}

}  // namespace ovrix::emulation
