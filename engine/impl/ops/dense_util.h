#pragma once
// Helpers of the ops entry points: typed row-major views of tensors, argument checks with clear messages,
// and the per-channel broadcast rule.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/tensor.h"

namespace ovrix::ops::detail {

// "(2, 3, 4)"
std::string shape_text(const Shape& shape);

// Row-major copy of a tensor stored in another layout (same type and logical shape).
std::unique_ptr<Dense> to_row_major(const Dense& tensor);

// Typed, row-major read access to a tensor. The element type must be stored as T ("Wrong requested type"
// otherwise); a tensor of another layout is copied once into row-major order.
template <class T>
class View {
 public:
  explicit View(const Dense& tensor) {
    if (tensor.layout() != 0) {
      copy_ = to_row_major(tensor);
      data_ = copy_->data_as<T>();
      shape_ = copy_->shape();
    } else {
      data_ = tensor.data_as<T>();
      shape_ = tensor.shape();
    }
    size_ = tensor.size();
  }
  const T* data() const { return data_; }
  const Shape& shape() const { return shape_; }
  size_t size() const { return size_; }
  size_t rank() const { return shape_.size(); }
  uint32_t dim(size_t i) const { return shape_[i]; }
  uint32_t last() const { return shape_[shape_.size() - 1]; }
  T operator[](size_t i) const { return data_[i]; }

 private:
  std::unique_ptr<Dense> copy_;
  const T* data_ = nullptr;
  Shape shape_;
  size_t size_ = 0;
};

// Writes row-major bytes (tensor.size() elements) into a tensor of any layout.
void assign_row_major(Dense& tensor, const Dense& row_major);

// New row-major tensor of that type and shape.
std::unique_ptr<Dense> make(TensorType type, const Shape& shape);

// Refuses a result width outside 1..32: "<op>: the bit width must be between 1 and 32 (got n)."
void check_bits(const char* op, int32_t bits);

// Per-channel broadcast of a tensor b of `count` elements over a tensor of `shape`: one value for all
// (count 1), one per position of the last dimension, or one per element. Returns the period of b's index
// (the element index of a modulo the period), or throws std::invalid_argument naming the operation.
size_t broadcast_period(const char* op, const char* name, size_t count, const Shape& shape);

[[noreturn]] void fail(const std::string& message);

// An image tensor read as (samples, d0, d1, channels): (d0, d1) has one channel and one sample,
// (d0, d1, C) one sample; other ranks are refused.
struct Image {
  uint32_t samples = 1, d0 = 1, d1 = 1, channels = 1;
  size_t rank = 3;
  size_t sample_size() const { return size_t(d0) * d1 * channels; }
};
Image image_of(const char* op, const char* name, const Shape& shape);
// Shape of an image result: (out0, out1, C), or (N, out0, out1, C) for four-dimensional inputs.
Shape image_result(const Image& in, uint32_t out0, uint32_t out1, uint32_t channels);

// Checks that a sweep along one axis is well formed: stride >= 1, kernel >= 1, output >= 1, paddings >= 0,
// the first and last windows hold an element of the input, and (when pad_after >= 0 is given) the last
// window ends inside the padded input.
void check_sweep(const char* op, int axis, uint32_t n, int64_t kernel, int64_t stride, int64_t pad_before,
                 int64_t out, int64_t pad_after = -1);

// Kernel sizes (first two dimensions) of a weight tensor, refusing fewer than two dimensions.
void kernel_dims(const char* op, const Shape& w, uint32_t* k0, uint32_t* k1);

}  // namespace ovrix::ops::detail
