#pragma once
// Writes the device program of one hardware sequence: the records that the edition's recorders make,
// pass by pass, into the program-data buffer, then the program-information buffer that describes the
// input, the output and where every track lies. Used once per sequence by the sequence builder:
//   serialize_version; per pass: serialize_scc_program (first pass), serialize_layer_program or
//   serialize_learning_layer_program per layer, serialize_unused_nps_program, finalize_pass; then
//   serialize_epg_tracks, record_dummy_desc_hdr, finalize.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/dma.h"
#include "engine/sequence.h"
#include "engine/tensor.h"
#include "mapping/hw_types.h"
#include "mapping/hw_version.h"
#include "program/record.h"

namespace flatbuffers {
class FlatBufferBuilder;
}

namespace ovrix {

class ProgramDataBuilder;

class Layer;
class LayerRecorder;
class IoRecorder;

// The two words of a normal-form DMA configuration header, the first in the low 32 bits.
uint64_t format_config_header_fb(const hw::Ident& np, dma::Target target, uint32_t size, uint16_t parameter);

class SequenceSerializer {
 public:
  SequenceSerializer(const LayerRecorder& layer_recorder, const IoRecorder& io_recorder);
  SequenceSerializer(const SequenceSerializer&) = delete;
  SequenceSerializer& operator=(const SequenceSerializer&) = delete;
  ~SequenceSerializer();

  void serialize_version(const HwVersion& version);
  // Makes room for `bytes` more bytes of program data at once, so that the records written next do not
  // make the buffer grow (each growth moves the whole program written so far). The bytes written do
  // not depend on it.
  void reserve_program_data(size_t bytes);
  // Writes one record into the program data; answers the offset of its table.
  uint32_t serialize_record(const program::Record& record);

  // Records the input stage (record_scc with these arguments) into the current pass; answers 1.
  unsigned serialize_scc_program(bool a, bool b, bool c, bool d, bool e, const Shape& input_shape,
                                 const Shape& output_shape);
  // Records one layer (record_layer with these arguments) into the current pass; answers its number of
  // tracks. A recording error X becomes std::runtime_error "Cannot map layer '<layer>'. Error: X.".
  unsigned serialize_layer_program(const Layer& layer, const Layer& other, std::shared_ptr<Layer> next,
                                   bool starts_pass, bool ends_pass, const std::vector<hw::Ident>& nps,
                                   bool registers_only, bool lut_flag);
  // serialize_layer_program answering the record's number of tracks and the offset of its table.
  std::pair<unsigned, uint32_t> serialize_layer(const Layer& layer, const Layer& other, std::shared_ptr<Layer> next,
                                                bool starts_pass, bool ends_pass, const std::vector<hw::Ident>& nps,
                                                bool registers_only, bool lut_flag);
  // The program of the mesh's NPs that no layer of the pass uses, recorded for `layer` (the first
  // layer of the next pass) under the position number its input arrives with.
  unsigned serialize_unused_nps_program(std::shared_ptr<Layer> layer, std::shared_ptr<Layer> other,
                                        const std::vector<hw::Ident>& nps);
  // Records the learning program of `layer` outside any pass (a later call replaces it); answers the
  // number of tracks of its second and third records.
  unsigned serialize_learning_layer_program(const Layer& layer, bool starts_pass);
  // Closes the current pass with the records serialized since the previous one.
  void finalize_pass();
  // Keeps the output stage's register writes (record_epg with these arguments).
  void serialize_epg_tracks(const Layer& layer, uint8_t a, uint8_t b, uint8_t c, bool d, bool e, bool f);
  // With true, the dummy descriptor becomes a register-write header for 0.0.0.0 of size 1.
  void record_dummy_desc_hdr(bool record);

  // What the program information records about the sequence, its input and its output.
  struct ProgramSummary {
    std::string version;
    Shape input_shape;
    Shape output_shape;
    int8_t input_type = 0;
    int8_t output_type = 0;
    uint8_t output_bits = 0;
    bool output_flag = false;
    uint32_t input_conv_param_a = 0;
    uint32_t input_conv_param_b = 0;
    std::vector<int32_t> output_shift{};
    std::vector<float> output_scales{};
    uint8_t descriptors_per_pass = 0;
    uint8_t input_bits = 0;
    bool input_signed = false;
    bool input_channels_first = false;
    std::vector<float> input_scales{};
    std::vector<uint8_t> input_zero_points{};
    bool lumo_post_processing = false;
  };

  // Writes the whole device program into *program (replacing its content): the program information,
  // then the program data. `passes` must hold at least the passes closed with finalize_pass. The
  // serializer is spent afterwards: every later call throws std::logic_error.
  void finalize(const ProgramSummary& summary, const std::vector<std::shared_ptr<Sequence::Pass>>& passes,
                std::vector<uint8_t>* program);

 private:
  struct RegisterValue {
    uint32_t address;
    uint32_t value;
  };

  void check_open() const;

  std::unique_ptr<ProgramDataBuilder> data_;
  std::unique_ptr<flatbuffers::FlatBufferBuilder> info_;
  uint32_t device_version_ = 0;
  uint32_t learning_ = 0;
  std::vector<uint32_t> pass_offsets_;
  std::vector<uint32_t> current_records_;
  std::vector<RegisterValue> register_values_;
  uint64_t dummy_descriptor_ = 0;
  bool finalized_ = false;
  const LayerRecorder& layer_recorder_;
  const IoRecorder& io_recorder_;
};

}  // namespace ovrix
