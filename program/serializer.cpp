#include "program/serializer.h"

#include <flatbuffers/flatbuffers.h>
#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "engine/layer.h"
#include "mapping/backend_interfaces.h"
#include "mapping/layer_mapping.h"
#include "mapping/mapping_status.h"
#include "program/program_data_generated.h"
#include "program/program_info_generated.h"

namespace ovrix {

// The builder of the program data. A large model's records are megabytes each, and by itself
// flatbuffers grows its buffer by half at a time into fresh memory, copying what it holds at every
// step: the growing touches two to three times the program's size in new pages, and each new page
// costs more than copying it. Here the buffer grows with realloc, which keeps the pages already
// touched (for a large block the C library remaps them rather than copying), and the part in use
// moves to the new end; before a record is written the buffer grows at least twofold when the
// record does not fit, so that the moves copy at most the program's size once.
class ReallocAllocator final : public flatbuffers::Allocator {
 public:
  uint8_t* allocate(size_t size) override {
    auto* p = static_cast<uint8_t*>(std::malloc(size));
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  void deallocate(uint8_t* p, size_t) override { std::free(p); }
  // The scratch part at the front stays where it is; the back part, the data built so far, moves to
  // the new end (the two never overlap: together they fit in the old size).
  uint8_t* reallocate_downward(uint8_t* old_p, size_t old_size, size_t new_size, size_t in_use_back,
                               size_t) override {
    auto* p = static_cast<uint8_t*>(std::realloc(old_p, new_size));
    if (p == nullptr) throw std::bad_alloc();
    std::memmove(p + new_size - in_use_back, p + old_size - in_use_back, in_use_back);
    return p;
  }
};

class ProgramDataBuilder final : public flatbuffers::FlatBufferBuilder {
 public:
  explicit ProgramDataBuilder(size_t initial_size)
      : FlatBufferBuilder(initial_size, new ReallocAllocator, /*own_allocator=*/true) {}

  void reserve_more(size_t bytes) {
    const size_t free = buf_.capacity() - buf_.size() - buf_.scratch_size();
    if (bytes > free) buf_.ensure_space(std::max(bytes, buf_.capacity()));
  }
};

namespace {

constexpr size_t initial_builder_bytes = 1024;

// Bytes a record takes in the program data, at most: its words and, per track, a table, a vector
// length and alignment.
size_t record_bytes_bound(const program::Record& record) {
  size_t bytes = 64;
  for (const program::NpTrack& track : record.tracks()) bytes += track.size() * sizeof(uint32_t) + 32;
  if (const program::Fnp2FiltersTrack* filters = record.fnp2_filters_track())
    bytes += filters->words.size() * sizeof(uint32_t) + 32;
  return bytes;
}

// A recording error becomes the mapping failure of the layer it was recording.
[[noreturn]] void throw_mapping_error(const Layer& layer, const std::exception& e) {
  MappingStatus(layer.get_name(), fmt::format("Error: {}.", e.what())).throw_exception();
}

std::shared_ptr<LayerMapping> required_mapping(const Layer& layer, const char* why) {
  auto mapping = layer_mapping(layer);
  if (!mapping) throw std::runtime_error(fmt::format("Layer '{}' has no mapping; {}.", layer.get_name(), why));
  return mapping;
}

fb::NpIdent np_ident(const hw::Ident& ident) { return fb::NpIdent(ident.col, ident.row, ident.id); }

std::vector<uint32_t> dims_of(const Shape& shape) {
  return std::vector<uint32_t>(shape.dims.begin(), shape.dims.begin() + shape.size());
}

// Words of a skip-DMA buffer holding `n` values of `bits` bits per row, times the other two dimensions.
// Kept in 32-bit arithmetic, as the device computes it.
uint32_t buffer_words(uint32_t bits, uint32_t n, uint32_t rows, uint32_t cols) {
  return ((bits * n + 31) >> 5) * rows * cols;
}

// Locates words and structs of the finished program data: byte offsets from its size prefix.
class DataReader {
 public:
  explicit DataReader(const uint8_t* bytes) : base_(bytes), root_(fb::GetSizePrefixedProgramData(bytes)) {}

  const fb::ProgramData& root() const { return *root_; }

  uint32_t offset_of(const void* p) const {
    return static_cast<uint32_t>(static_cast<const uint8_t*>(p) - base_);
  }
  fb::TrackSpan span_of(const flatbuffers::Vector<uint32_t>* words) const {
    return fb::TrackSpan(offset_of(words->data()), words->size());
  }

 private:
  const uint8_t* base_;
  const fb::ProgramData* root_;
};

flatbuffers::Offset<fb::RecordSpans> build_record_spans(flatbuffers::FlatBufferBuilder& info, const DataReader& data,
                                                        const fb::Record& record) {
  const auto* fnp2 = record.fnp2_filters();
  std::vector<fb::TrackSpan> spans;
  if (record.tracks())
    for (const fb::NpTrack* track : *record.tracks()) spans.push_back(data.span_of(track->words()));
  flatbuffers::Offset<flatbuffers::Vector<const fb::TrackSpan*>> tracks;
  if (!(fnp2 && spans.empty())) tracks = info.CreateVectorOfStructs(spans);
  fb::Fnp2TrackSpan fnp2_span;
  if (fnp2) {
    const fb::TrackSpan words = data.span_of(fnp2->words());
    fnp2_span = fb::Fnp2TrackSpan(words.offset(), words.size(), *fnp2->np());
  }
  return fb::CreateRecordSpans(info, tracks, fnp2 ? &fnp2_span : nullptr);
}

fb::SkipDmaSpan skipdma_span(const hw::Component& engine, bool tnp_b, uint8_t depth, uint8_t slot, uint32_t size) {
  const hw::Ident& id = engine.ident;
  return fb::SkipDmaSpan(id.col, id.row, id.id, id.channel, tnp_b ? 1 : 0, depth, slot, size);
}

// Skip-DMA buffers of a pass's layers: for each layer its store, then its dual-output store; loads
// apart, in layer order.
void collect_skipdma_spans(const Sequence::Pass& pass, std::vector<fb::SkipDmaSpan>* stores,
                           std::vector<fb::SkipDmaSpan>* loads) {
  for (const auto& layer : pass.layers) {
    auto mapping = layer_mapping(*layer);
    if (!mapping) continue;  // a layer without mapping has no skip-DMA engine either
    const bool tnp_b = layer->is_target_component(hw::TargetKind::TNP_B);
    const StoreChannelInfo no_store;
    const LoadChannelInfo no_load;

    if (const hw::Component* store = mapping->skipdma_store()) {
      const StoreChannelInfo& ch = mapping->store_channel_info ? *mapping->store_channel_info : no_store;
      uint32_t size;
      if (tnp_b) {
        const Shape in = layer->input_dimensions().at(0);
        size = buffer_words(layer->input_bits(), in[2], in[0], in[1]);
      } else {
        const Shape out = layer->output_dimensions();
        size = buffer_words(layer->output_bits(), out[0], out[1], out[2]);
      }
      stores->push_back(skipdma_span(*store, tnp_b, ch.depth, ch.slot, size));
    }
    if (const hw::Component* dual = mapping->skipdma_store_dual_output()) {
      const StoreChannelInfo& ch =
          mapping->store_dual_output_channel_info ? *mapping->store_dual_output_channel_info : no_store;
      const Shape in = layer->input_dimensions().at(0);
      const uint32_t size = tnp_b ? buffer_words(layer->input_bits(), in[2], in[0], in[1])
                                  : buffer_words(layer->input_bits(), in[0], in[1], in[2]);
      stores->push_back(skipdma_span(*dual, false, ch.depth, ch.slot, size));
    }
    if (const hw::Component* load = mapping->skipdma_load()) {
      const LoadChannelInfo& ch = mapping->load_channel_info ? *mapping->load_channel_info : no_load;
      loads->push_back(skipdma_span(*load, tnp_b, ch.depth, ch.slot, 0));
    }
  }
}

flatbuffers::Offset<fb::PassSpans> build_pass_spans(flatbuffers::FlatBufferBuilder& info, const DataReader& data,
                                                    const fb::Pass& pass_data, const Sequence::Pass& pass) {
  std::vector<flatbuffers::Offset<fb::RecordSpans>> records;
  if (pass_data.records())
    for (const fb::Record* record : *pass_data.records()) records.push_back(build_record_spans(info, data, *record));
  std::vector<fb::SkipDmaSpan> stores, loads;
  collect_skipdma_spans(pass, &stores, &loads);

  const auto records_vec = records.empty() ? 0 : info.CreateVector(records);
  const auto stores_vec = stores.empty() ? 0 : info.CreateVectorOfStructs(stores);
  const auto loads_vec = loads.empty() ? 0 : info.CreateVectorOfStructs(loads);
  return fb::CreatePassSpans(info, records_vec, stores_vec, loads_vec);
}

// The learning program's first two tracks and its third record, which the host reloads between runs.
flatbuffers::Offset<fb::LearningLayerInfo> build_learning_info(flatbuffers::FlatBufferBuilder& info,
                                                               const DataReader& data,
                                                               const fb::LearningLayer& learning) {
  auto first_track = [&](const fb::Record* record, const char* which) {
    if (!record || !record->tracks() || record->tracks()->size() == 0)
      throw std::runtime_error(fmt::format("The {} learning record has no track.", which));
    return data.span_of(record->tracks()->Get(0)->words());
  };
  const fb::TrackSpan first = first_track(learning.first_record(), "first");
  const fb::TrackSpan second = first_track(learning.second_record(), "second");

  const fb::Record* third = learning.third_record();
  flatbuffers::Offset<fb::RecordSpans> third_spans;
  if (third && third->fnp2_filters()) {
    const fb::TrackSpan words = data.span_of(third->fnp2_filters()->words());
    const fb::Fnp2TrackSpan fnp2(words.offset(), words.size(), *third->fnp2_filters()->np());
    third_spans = fb::CreateRecordSpans(info, 0, &fnp2);
  } else {
    const fb::TrackSpan track = first_track(third, "third");
    third_spans = fb::CreateRecordSpans(info, info.CreateVectorOfStructs(&track, 1));
  }
  return fb::CreateLearningLayerInfo(info, &first, &second, third_spans, learning.np());
}

// A learning program that the host could not locate is refused while its layer is recorded.
void check_learning_records(const program::LearnRecordsPtr& records) {
  if (!records.first || !records.second || !records.third)
    throw std::runtime_error("the learning program needs three records");
  if (records.first->tracks().empty()) throw std::runtime_error("the first learning record has no track");
  if (records.second->tracks().empty()) throw std::runtime_error("the second learning record has no track");
  if (records.third->tracks().empty() && !records.third->fnp2_filters_track())
    throw std::runtime_error("the third learning record has no track");
}

}  // namespace

uint64_t format_config_header_fb(const hw::Ident& np, dma::Target target, uint32_t size, uint16_t parameter) {
  uint32_t words[dma::config_header_words] = {0, 0};
  dma::format_config_header(words, np, target, size, parameter, false);
  return uint64_t{words[0]} | uint64_t{words[1]} << 32;
}

SequenceSerializer::SequenceSerializer(const LayerRecorder& layer_recorder, const IoRecorder& io_recorder)
    : data_(std::make_unique<ProgramDataBuilder>(initial_builder_bytes)),
      info_(std::make_unique<flatbuffers::FlatBufferBuilder>(initial_builder_bytes)),
      layer_recorder_(layer_recorder),
      io_recorder_(io_recorder) {}

SequenceSerializer::~SequenceSerializer() = default;

void SequenceSerializer::check_open() const {
  // The builders are finished: nothing can be added to them any more.
  if (finalized_) throw std::logic_error("The device program of this sequence is already written.");
}

void SequenceSerializer::serialize_version(const HwVersion& version) {
  check_open();
  device_version_ =
      fb::CreateDeviceVersion(*info_, version.vendor_id, version.product_id, version.major_rev, version.minor_rev).o;
}

void SequenceSerializer::reserve_program_data(size_t bytes) {
  check_open();
  data_->reserve_more(bytes);
}

uint32_t SequenceSerializer::serialize_record(const program::Record& record) {
  check_open();
  auto& b = *data_;
  data_->reserve_more(record_bytes_bound(record));
  std::vector<flatbuffers::Offset<fb::NpTrack>> tracks;
  tracks.reserve(record.tracks().size());
  for (const program::NpTrack& track : record.tracks()) {
    const auto words = b.CreateVector(track.words());
    tracks.push_back(fb::CreateNpTrack(b, words));
  }
  flatbuffers::Offset<fb::Fnp2FiltersTrack> fnp2;
  if (const program::Fnp2FiltersTrack* filters = record.fnp2_filters_track()) {
    const auto words = b.CreateVector(filters->words);
    const fb::NpIdent np = np_ident(filters->np);
    fnp2 = fb::CreateFnp2FiltersTrack(b, &np, words);
  }
  const auto track_vec = b.CreateVector(tracks);
  return fb::CreateRecord(b, track_vec, fnp2).o;
}

unsigned SequenceSerializer::serialize_scc_program(bool a, bool b, bool c, bool d, bool e, const Shape& input_shape,
                                                   const Shape& output_shape) {
  const std::unique_ptr<program::Record> record = io_recorder_.record_scc(a, b, c, d, e, input_shape, output_shape);
  if (!record) throw std::runtime_error("The input/output recorder gave no record.");
  current_records_.push_back(serialize_record(*record));
  return 1;
}

std::pair<unsigned, uint32_t> SequenceSerializer::serialize_layer(const Layer& layer, const Layer& other,
                                                                  std::shared_ptr<Layer> next, bool starts_pass,
                                                                  bool ends_pass, const std::vector<hw::Ident>& nps,
                                                                  bool registers_only, bool lut_flag) {
  std::pair<unsigned, uint32_t> result;
  try {
    const std::unique_ptr<program::Record> record = layer_recorder_.record_layer(
        layer, other, std::move(next), starts_pass, ends_pass, nps, registers_only, lut_flag);
    if (!record) throw std::runtime_error("the layer recorder gave no record");
    result = {static_cast<unsigned>(record->tracks().size()), serialize_record(*record)};
  } catch (const std::exception& e) {
    throw_mapping_error(layer, e);
  }
  current_records_.push_back(result.second);
  return result;
}

unsigned SequenceSerializer::serialize_layer_program(const Layer& layer, const Layer& other,
                                                     std::shared_ptr<Layer> next, bool starts_pass, bool ends_pass,
                                                     const std::vector<hw::Ident>& nps, bool registers_only,
                                                     bool lut_flag) {
  return serialize_layer(layer, other, std::move(next), starts_pass, ends_pass, nps, registers_only, lut_flag).first;
}

unsigned SequenceSerializer::serialize_unused_nps_program(std::shared_ptr<Layer> layer, std::shared_ptr<Layer> other,
                                                          const std::vector<hw::Ident>& nps) {
  if (!layer || !other) throw std::invalid_argument("The unused NPs program needs a layer and a first layer.");
  const auto mapping = required_mapping(*layer, "the program of unused NPs is recorded for it");
  // The unused NPs are programmed under the position number through which the pass's output
  // reaches this layer; the layer keeps its own number afterwards, whatever happens.
  struct IndexRestore {
    LayerMapping& mapping;
    uint8_t saved;
    ~IndexRestore() { mapping.index = saved; }
  } restore{*mapping, mapping->index};
  mapping->index = mapping->input_index;
  return serialize_layer_program(*layer, *other, layer, false, false, nps, true, false);
}

unsigned SequenceSerializer::serialize_learning_layer_program(const Layer& layer, bool starts_pass) {
  program::LearnRecordsPtr records;
  uint32_t first = 0, second = 0, third = 0;
  try {
    records = layer_recorder_.record_learning_layer(layer, starts_pass);
    check_learning_records(records);
    first = serialize_record(*records.first);
    second = serialize_record(*records.second);
    third = serialize_record(*records.third);
  } catch (const std::exception& e) {
    throw_mapping_error(layer, e);
  }
  const auto mapping = required_mapping(layer, "its first component receives the learning program");
  if (mapping->nps->empty())
    throw std::runtime_error(fmt::format("Layer '{}' is mapped on no NP; the learning program has no target.",
                                         layer.get_name()));
  const fb::NpIdent np = np_ident(mapping->nps->front().ident);
  learning_ = fb::CreateLearningLayer(*data_, &np, flatbuffers::Offset<fb::Record>(first),
                                      flatbuffers::Offset<fb::Record>(second), flatbuffers::Offset<fb::Record>(third),
                                      records.learning_value)
                  .o;
  return static_cast<unsigned>(records.second->tracks().size() + records.third->tracks().size());
}

void SequenceSerializer::finalize_pass() {
  check_open();
  std::vector<flatbuffers::Offset<fb::Record>> records(current_records_.begin(), current_records_.end());
  const auto vec = data_->CreateVector(records);
  pass_offsets_.push_back(fb::CreatePass(*data_, vec).o);
  current_records_.clear();
}

void SequenceSerializer::serialize_epg_tracks(const Layer& layer, uint8_t a, uint8_t b, uint8_t c, bool d, bool e,
                                              bool f) {
  const auto writes = io_recorder_.record_epg(layer, a, b, c, d, e, f);
  if (!writes) return;
  for (const auto& [address, value] : *writes) register_values_.push_back({address, value});
}

void SequenceSerializer::record_dummy_desc_hdr(bool record) {
  if (record) dummy_descriptor_ = format_config_header_fb(hw::Ident(0, 0, 0, 0), dma::Target::RegisterWrites, 1, 0);
}

void SequenceSerializer::finalize(const ProgramSummary& summary,
                                  const std::vector<std::shared_ptr<Sequence::Pass>>& passes,
                                  std::vector<uint8_t>* program) {
  check_open();
  if (!program) throw std::invalid_argument("finalize needs an output byte list.");
  // The skip-DMA buffers of pass p are those of the sequence's pass p.
  if (passes.size() < pass_offsets_.size())
    throw std::invalid_argument(fmt::format("The program has {} passes but the sequence only {}.",
                                            pass_offsets_.size(), passes.size()));
  for (size_t p = 0; p < pass_offsets_.size(); ++p)
    if (!passes[p]) throw std::invalid_argument(fmt::format("Pass {} of the sequence is missing.", p));
  finalized_ = true;

  // Program data.
  std::vector<flatbuffers::Offset<fb::Pass>> pass_tables(pass_offsets_.begin(), pass_offsets_.end());
  const auto passes_vec = data_->CreateVector(pass_tables);
  const fb::DescriptorHeader dummy(static_cast<uint32_t>(dummy_descriptor_),
                                   static_cast<uint32_t>(dummy_descriptor_ >> 32));
  data_->FinishSizePrefixed(
      fb::CreateProgramData(*data_, passes_vec, flatbuffers::Offset<fb::LearningLayer>(learning_), &dummy));
  // The finished data stays in the builder, which nothing changes any more, until it is copied out.
  const uint8_t* const data_bytes = data_->GetBufferPointer();
  const size_t data_size = data_->GetSize();
  const DataReader data(data_bytes);

  // Spans of every pass, from the finished data.
  const auto* data_passes = data.root().passes();
  std::vector<flatbuffers::Offset<fb::PassSpans>> pass_spans;
  for (flatbuffers::uoffset_t p = 0; p < data_passes->size(); ++p) {
    pass_spans.push_back(build_pass_spans(*info_, data, *data_passes->Get(p), *passes[p]));
  }

  flatbuffers::Offset<fb::LearningLayerInfo> learning_info;
  if (const fb::LearningLayer* learning = data.root().learning())
    learning_info = build_learning_info(*info_, data, *learning);

  const fb::TrackSpan dummy_span(data.offset_of(data.root().dummy_descriptor()), 2);

  const std::vector<uint32_t> input_dims = dims_of(summary.input_shape);
  const std::vector<uint32_t> output_dims = dims_of(summary.output_shape);
  std::vector<fb::RegisterValue> registers;
  registers.reserve(register_values_.size());
  for (const RegisterValue& r : register_values_) registers.emplace_back(r.address, r.value);

  const ProgramSummary& s = summary;
  info_->FinishSizePrefixed(fb::CreateProgramInfoDirect(
      *info_, s.version.c_str(), flatbuffers::Offset<fb::DeviceVersion>(device_version_), &input_dims, &output_dims,
      static_cast<fb::IoType>(static_cast<uint8_t>(s.input_type)),
      static_cast<fb::IoType>(static_cast<uint8_t>(s.output_type)), s.output_bits, s.output_flag,
      s.input_conv_param_a, s.input_conv_param_b, &s.output_shift, &s.output_scales, s.descriptors_per_pass,
      registers.empty() ? nullptr : &registers, &pass_spans, learning_info, &dummy_span, s.input_bits,
      s.input_signed, s.input_channels_first, &s.input_scales, &s.input_zero_points, s.lumo_post_processing));

  program->clear();
  program->reserve(info_->GetSize() + data_size);
  program->insert(program->end(), info_->GetBufferPointer(), info_->GetBufferPointer() + info_->GetSize());
  program->insert(program->end(), data_bytes, data_bytes + data_size);
}

}  // namespace ovrix
