#pragma once
// A model: layers wired into a graph, its learning parameters, and the sequences it was mapped into.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "engine/sequence.h"
#include "engine/tensor.h"

namespace ovrix {

class Device;
class MapConstraints;

class Model {
 public:
  static std::unique_ptr<Model> create();
  // Rebuilds a model from to_buffer() bytes; any malformed, truncated or corrupted buffer is refused
  // (std::runtime_error) and never yields a partly built model.
  static std::unique_ptr<Model> from_buffer(const char* data, size_t size);

  virtual ~Model() = default;
  // Inbounds must be in the model already; with none, a layer that is not the first is wired to the
  // last one added. Null layers or inbounds: std::invalid_argument.
  virtual void add(std::shared_ptr<Layer> layer, const std::vector<std::shared_ptr<Layer>>& inbounds = {}) = 0;
  virtual void pop_layer() = 0;
  virtual std::vector<uint8_t> to_buffer() const = 0;
  // Gives the last layer its learning parameters.
  virtual void compile(const LearningParams& params) = 0;
  virtual std::shared_ptr<Tensor> fit(std::shared_ptr<Dense> input, const std::vector<int32_t>& labels,
                                      uint32_t batch_size) = 0;
  virtual std::shared_ptr<Tensor> forward(std::shared_ptr<Dense> input, uint32_t batch_size) = 0;
  virtual std::shared_ptr<Tensor> predict(std::shared_ptr<Dense> input, uint32_t batch_size) = 0;
  // Maps the model on a device; null constraints mean the device's defaults. A failed mapping throws
  // std::runtime_error with the mapping status text.
  virtual void map(std::shared_ptr<Device> device, bool hw_only, std::shared_ptr<MapConstraints> constraints) = 0;
  // Empty when absent.
  virtual std::shared_ptr<Layer> get_layer(uint64_t index) const = 0;
  virtual std::shared_ptr<Layer> get_layer(const std::string& name) const = 0;
  virtual const std::vector<std::shared_ptr<Layer>>& layers() const = 0;
  virtual std::shared_ptr<LearningParams> learning() const = 0;
  // The first layer's input shape, three dimensions in stored order.
  virtual Shape input_shape() const = 0;
  virtual Shape output_shape() const = 0;
  virtual uint64_t layer_count() const = 0;
  virtual uint64_t macs() const = 0;
  virtual IpVersion ip_version() const = 0;
  virtual const std::vector<std::shared_ptr<Sequence>>& sequences() const = 0;
  // Null before mapping.
  virtual std::shared_ptr<Device> device() const = 0;
};

}  // namespace ovrix
