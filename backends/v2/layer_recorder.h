#pragma once
// The v2 edition's layer recorder: hands each layer to the recorder of its kind. Merge, input and
// quantisation layers give empty records; the v2 edition has no on-chip learning.
#include "mapping/backend_interfaces.h"
#include "program/record.h"

namespace ovrix::v2 {

class LayerRecorderImpl : public LayerRecorder {
 public:
  // Keeps references to both; they must outlive the recorder.
  LayerRecorderImpl(const Device& device, const HardwareConstraints& constraints);

  std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& other, std::shared_ptr<Layer> next,
                                                bool starts_pass, bool ends_pass,
                                                const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                                bool lut_flag) const override;
  // Both refuse: "Learning not implemented on v2.".
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool flag) const override;
  void sync_learning_vars(std::shared_ptr<Layer> layer) const override;
};

}  // namespace ovrix::v2
