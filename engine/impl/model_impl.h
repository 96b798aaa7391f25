#pragma once
// The engine's model: layers in the order they were added, their wiring, and what mapping left.
#include <memory>
#include <string>
#include <vector>

#include "engine/impl/layer_core.h"
#include "engine/inference.h"
#include "engine/model.h"

namespace ovrix::detail {

// A variable as it comes out of a serialized model, installed in place of the initial zeros.
struct PresetVariable {
  std::string name;
  std::shared_ptr<Dense> tensor;
};

class ModelImpl final : public Model {
 public:
  ModelImpl() = default;
  // Unwires the layers: outbound links are dropped (they would otherwise keep the graph alive in a
  // cycle), inbound links stay so that layers held elsewhere still name their inputs.
  ~ModelImpl() override;

  void add(std::shared_ptr<Layer> layer, const std::vector<std::shared_ptr<Layer>>& inbounds) override;
  void pop_layer() override;
  std::vector<uint8_t> to_buffer() const override;
  void compile(const LearningParams& params) override;
  std::shared_ptr<Tensor> fit(std::shared_ptr<Dense> input, const std::vector<int32_t>& labels,
                              uint32_t batch_size) override;
  std::shared_ptr<Tensor> forward(std::shared_ptr<Dense> input, uint32_t batch_size) override;
  std::shared_ptr<Tensor> predict(std::shared_ptr<Dense> input, uint32_t batch_size) override;
  void map(std::shared_ptr<Device> device, bool hw_only, std::shared_ptr<MapConstraints> constraints) override;
  std::shared_ptr<Layer> get_layer(uint64_t index) const override;
  std::shared_ptr<Layer> get_layer(const std::string& name) const override;
  const std::vector<std::shared_ptr<Layer>>& layers() const override { return layers_; }
  std::shared_ptr<LearningParams> learning() const override;
  Shape input_shape() const override;
  Shape output_shape() const override;
  uint64_t layer_count() const override { return layers_.size(); }
  uint64_t macs() const override;
  IpVersion ip_version() const override;
  const std::vector<std::shared_ptr<Sequence>>& sequences() const override { return sequences_; }
  std::shared_ptr<Device> device() const override { return device_; }

  // add with the variables given instead of the initial zeros: the presets must name every variable
  // of the built layer, in order, with its shape, layout and element type (std::invalid_argument otherwise).
  void add_with_variables(std::shared_ptr<Layer> layer, const std::vector<std::shared_ptr<Layer>>& inbounds,
                          const std::vector<PresetVariable>* presets);

  // What the software runs keep between calls.
  software::RunCache& run_cache() { return run_cache_; }

 private:
  // Drops what mapping left once the layers change.
  void forget_mapping();
  // Refuses (std::runtime_error) an edit or a second mapping while `map` runs.
  void refuse_while_mapping(const char* what) const;

  std::vector<std::shared_ptr<Layer>> layers_;
  std::vector<std::shared_ptr<Sequence>> sequences_;
  std::shared_ptr<Device> device_;
  bool mapping_ = false;  // `map` is running
  software::RunCache run_cache_;
};

// Serialized model format (engine/impl/model_format.cpp).
std::vector<uint8_t> serialize_model(const ModelImpl& model);
std::unique_ptr<Model> deserialize_model(const char* data, size_t size);

}  // namespace ovrix::detail
