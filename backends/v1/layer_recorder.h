#pragma once
// The v1 edition's layer recorder: hands each layer to the recorder of its kind. Input and
// quantisation layers give empty records.
#include "mapping/backend_interfaces.h"
#include "program/record.h"

namespace ovrix::v1 {

class LayerRecorderImpl : public LayerRecorder {
 public:
  // Keeps references to both; they must outlive the recorder.
  LayerRecorderImpl(const Device& device, const HardwareConstraints& constraints);

  // ib_spikes: the layer opens a pass after the first; output_flag: it closes a pass before the last.
  // A kind the v1 edition does not record: std::runtime_error "Unsupported layer type: <number>.".
  std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& other, std::shared_ptr<Layer> next,
                                                bool ib_spikes, bool output_flag,
                                                const std::vector<hw::Ident>& skipped_nps, bool registers_only,
                                                bool extra) const override;
  // The three learning records of the last dense layer, and the read-back of what it learnt from the
  // device's learning memory into its weights, threshold_learning and thswap.
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool flag) const override;
  void sync_learning_vars(std::shared_ptr<Layer> layer) const override;
};

}  // namespace ovrix::v1
