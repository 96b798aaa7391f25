#pragma once
// The v1 edition's input/output recorder: the input and output formats of a program, the SCC words
// of its input stage and the EPG register writes of its output stage.
#include "mapping/backend_interfaces.h"
#include "program/record.h"

namespace ovrix::v1 {

class IoRecorderImpl : public IoRecorder {
 public:
  // Keeps a reference to the device; it must outlive the recorder.
  explicit IoRecorderImpl(const Device& device);

  // input_hrc: the first mappable layer runs on the HRC; raw_input: the input type is 0; output_hrc: the
  // last mappable layer runs on the HRC; raw_output: the output type is 0. One one-word block each
  // for the SCC (identifier 0.0.0.0, DMA target 8): its mode (address 4), the input channels when
  // raw_input (address 64) and the output size when raw_output (address 68).
  std::unique_ptr<program::Record> record_scc(bool input_hrc, bool raw_input, bool output_hrc, bool raw_output,
                                              bool narrow_output, const Shape& input,
                                              const Shape& output) const override;
  // Six writes: control, burst, the column range of the passes, two channel words and the limit.
  // output_hrc is not read on v1.
  std::unique_ptr<std::vector<RegisterWrite>> record_epg(const Layer& first_layer, uint8_t first_column,
                                                         uint8_t last_column, uint8_t channel, bool output_hrc,
                                                         bool multi_pass, bool raw_input) const override;
  // 0 to 3. A kind other than InputConvolutional, FullyConnected, Convolutional and
  // SeparableConvolutional (a Quantizer or Dequantizer included) is refused with std::runtime_error
  // "Unsupported layer type.".
  uint8_t get_input_type(const Layer& first_layer) const override;
  uint8_t get_output_type(const Layer& last_layer, int8_t input_type) const override;
};

// A dense layer fed by a 1 x 1 input that no CNP produced: its input goes to the FNP flat.
bool is_flat_fnp_input(const Layer& layer);

}  // namespace ovrix::v1
