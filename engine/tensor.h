#pragma once
// Tensors of the engine: shapes, element types and dense tensors.
#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <type_traits>
#include <typeinfo>
#include <vector>

namespace ovrix {

enum class TensorType : int32_t {
  int32 = 0,
  float32 = 1,
  uint8 = 2,
  int16 = 3,
  int8 = 4,
  int4 = 5,
  int2 = 6,
  uint4 = 7,
  uint2 = 8,
  bit = 9,
  uint16 = 10,
};

// Up to four 32-bit dimensions and how many are used; unused ones stay 0.
struct Shape {
  static constexpr size_t max_dims = 4;
  std::array<uint32_t, max_dims> dims{};
  size_t count = 0;

  Shape() = default;
  Shape(std::initializer_list<uint32_t> d);

  size_t size() const { return count; }
  uint32_t operator[](size_t i) const { return dims[i]; }
  uint32_t& operator[](size_t i) { return dims[i]; }
  // Number of elements (product of the used dimensions; 1 for a 0-dimensional shape).
  uint64_t elements() const;
  friend bool operator==(const Shape& a, const Shape& b);
};

// Refuses a used dimension of 0 and element counts above 2^32 - 1 (std::runtime_error).
void check_shape(const Shape& shape);

// Size in bytes of one stored element of that type (narrow types take one byte each).
size_t element_size(TensorType type);
// Refuses a type outside 0..10 with std::invalid_argument.
void check_tensor_type(TensorType type);

// Platform type names used in the typed-access refusal ("i", "f", "a", "h", "s", "t").
template <class T>
const char* requested_type_name() { return typeid(T).name(); }

class Dense;

class Tensor {
 public:
  virtual ~Tensor() = default;
  virtual TensorType type() const = 0;
  // Number of elements.
  virtual size_t size() const = 0;
  virtual Shape shape() const = 0;
  virtual std::span<std::byte> mutable_data() = 0;
  virtual std::span<const std::byte> data() const = 0;
  // 0: row-major (last dimension fastest); 1: dimensions stored in reverse order (dimension 0 fastest).
  virtual uint8_t layout() const = 0;
  // One stride per dimension, in elements, describing the memory.
  virtual std::vector<uint32_t> strides() const = 0;

  // "int32", "float32", ... ; "unknown" for any other value.
  static const char* type_name(TensorType type);
  static std::shared_ptr<const Dense> ensure_dense(std::shared_ptr<const Tensor> tensor);

  // Typed views. The requested type must be the storage type of the tensor's element type, else
  // "Wrong requested type %s for a tensor of type %s" (std::runtime_error).
  template <class T>
  const T* data_as() const {
    check_access(storage_matches<T>(), requested_type_name<T>());
    return reinterpret_cast<const T*>(data().data());
  }
  template <class T>
  T* mutable_data_as() {
    check_access(storage_matches<T>(), requested_type_name<T>());
    return reinterpret_cast<T*>(mutable_data().data());
  }
  // Element at the given coordinates (sum of coordinate x stride), bounds-checked:
  // "Coordinates are out-of-range (linear index %zu, tensor size %zu)".
  template <class T>
  T at(std::initializer_list<uint32_t> coords) const {
    const T* p = data_as<T>();
    return p[linear_index(coords)];
  }
  template <class T>
  T& at_mut(std::initializer_list<uint32_t> coords) {
    T* p = mutable_data_as<T>();
    return p[linear_index(coords)];
  }
  // Linear element index of the coordinates, refused when not below size().
  size_t linear_index(std::initializer_list<uint32_t> coords) const;

 private:
  template <class T>
  bool storage_matches() const;
  void check_access(bool ok, const char* requested) const;
};

class Dense : public Tensor {
 public:
  enum class Layout : uint8_t { RowMajor = 0, Reversed = 1 };

  // Copies nbytes from data; nbytes must equal the element count times the element size.
  static std::unique_ptr<Dense> copy(const char* data, size_t nbytes, TensorType type, const Shape& shape,
                                     Layout layout = Layout::RowMajor);
  // Zero-filled tensor.
  static std::unique_ptr<Dense> create(TensorType type, const Shape& shape, Layout layout = Layout::RowMajor);
  // A tensor over memory it does not own (nbytes as for copy): `owner` keeps that memory alive until the
  // tensor goes, and nothing writes through the tensor. For the input of a call that only reads it.
  static std::unique_ptr<Dense> view(const char* data, size_t nbytes, TensorType type, const Shape& shape,
                                     std::shared_ptr<const void> owner);
  // Element strides of a shape stored in that layout.
  static std::vector<uint32_t> eval_strides(const Shape& shape, Layout layout);

  TensorType type() const override { return type_; }
  size_t size() const override { return elements_; }
  Shape shape() const override { return shape_; }
  std::span<std::byte> mutable_data() override { return {bytes_.get(), nbytes_}; }
  std::span<const std::byte> data() const override { return {bytes_.get(), nbytes_}; }
  uint8_t layout() const override { return static_cast<uint8_t>(layout_); }
  std::vector<uint32_t> strides() const override { return eval_strides(shape_, layout_); }

  Layout dense_layout() const { return layout_; }
  // One tensor per index of dimension 0: (N, H, W, C) gives N tensors (H, W, C).
  std::vector<std::shared_ptr<Dense>> split() const;

 private:
  // zeroed: calloc'd storage (zero pages come free); otherwise left for the caller to fill.
  Dense(TensorType type, const Shape& shape, Layout layout, bool zeroed);
  Dense(TensorType type, const Shape& shape, Layout layout, std::byte* data, std::shared_ptr<const void> owner);
  struct FreeBytes {
    std::shared_ptr<const void> owner;  // set for a view: its memory is the owner's
    void operator()(std::byte* p) const {
      if (!owner) std::free(p);
    }
  };
  TensorType type_;
  Shape shape_;
  Layout layout_;
  size_t elements_ = 0;
  size_t nbytes_ = 0;
  std::unique_ptr<std::byte, FreeBytes> bytes_;
};

template <class T>
bool Tensor::storage_matches() const {
  switch (type()) {
    case TensorType::int32: return std::is_same_v<T, int32_t>;
    case TensorType::float32: return std::is_same_v<T, float>;
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return std::is_same_v<T, uint8_t>;
    case TensorType::int16: return std::is_same_v<T, int16_t>;
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: return std::is_same_v<T, int8_t>;
    case TensorType::uint16: return std::is_same_v<T, uint16_t>;
  }
  return false;
}

}  // namespace ovrix
