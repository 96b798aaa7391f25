#pragma once
// The v2 edition's input/output recorder: the SCC words of a program and the EPG register writes of
// its output stage.
#include "mapping/backend_interfaces.h"
#include "program/record.h"

namespace ovrix::v2 {

class IoRecorderImpl : public IoRecorder {
 public:
  // Keeps a reference to the device; it must outlive the recorder.
  explicit IoRecorderImpl(const Device& device);

  // Three one-word blocks for the SCC (identifier 0.0.0.0, DMA target 8): its mode (address 4), the
  // input channels (address 64, 18 bits) and the output size (address 68, 20 bits). Of the flags
  // only the first and the last are read on v2.
  std::unique_ptr<program::Record> record_scc(bool a, bool b, bool c, bool d, bool e, const Shape& input,
                                              const Shape& output) const override;
  std::unique_ptr<std::vector<RegisterWrite>> record_epg(const Layer& last_layer, uint8_t a, uint8_t b, uint8_t c,
                                                         bool d, bool e, bool f) const override;
  // Always 0 on v2.
  uint8_t get_input_type(const Layer& first_layer) const override;
  uint8_t get_output_type(const Layer& last_layer, int8_t input_type) const override;
};

}  // namespace ovrix::v2
