#include <fmt/format.h>

#include <stdexcept>
#include <string>

#include "engine/variables.h"

namespace ovrix {

namespace {

std::string shape_text(const Shape& s) {
  return fmt::format("({})", fmt::join(s.dims.begin(), s.dims.begin() + s.count, ", "));
}

Shape reversed(const Shape& s) {
  Shape r;
  r.count = s.count;
  for (size_t i = 0; i < s.count; ++i) r.dims[i] = s.dims[s.count - 1 - i];
  return r;
}

}  // namespace

const VariablesImpl::Entry* VariablesImpl::find(const std::string& name) const {
  for (const auto& e : entries_) {
    if (e.spec.name == name) return &e;
  }
  return nullptr;
}

std::vector<std::string> VariablesImpl::names() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.spec.name);
  return out;
}

bool VariablesImpl::has(const std::string& name) const { return find(name) != nullptr; }

const VariablesImpl::Spec* VariablesImpl::spec(const std::string& name) const {
  const Entry* e = find(name);
  return e ? &e->spec : nullptr;
}

std::shared_ptr<Dense> VariablesImpl::stored(const std::string& name) const {
  const Entry* e = find(name);
  return e ? e->tensor : nullptr;
}

std::shared_ptr<Dense> VariablesImpl::get(const std::string& name) const {
  const Entry* e = find(name);
  if (e == nullptr) return nullptr;
  if (!e->tensor) e->tensor = Dense::create(e->spec.type, e->spec.shape, e->spec.layout);
  return e->tensor;
}

void VariablesImpl::set(const std::string& name, std::shared_ptr<Tensor> tensor) {
  if (!tensor) throw std::invalid_argument("Cannot set variable " + name + " to a null tensor.");
  const Entry* found = find(name);
  if (found == nullptr) throw std::invalid_argument("The layer has no variable " + name + ".");
  auto& entry = const_cast<Entry&>(*found);
  const Spec& spec = entry.spec;

  std::shared_ptr<Dense> dense = std::dynamic_pointer_cast<Dense>(tensor);
  if (!dense) {
    auto copy = Tensor::ensure_dense(tensor);
    auto bytes = copy->data();
    dense = Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), copy->type(), copy->shape(),
                        copy->dense_layout());
  }
  if (dense->dense_layout() == spec.layout) {
    if (!(dense->shape() == spec.shape)) {
      throw std::invalid_argument("Variable " + name + " has shape " + shape_text(spec.shape) + ", not " +
                                  shape_text(dense->shape()) + ".");
    }
    entry.tensor = std::move(dense);
    return;
  }
  // The same bytes read with the dimensions in reverse order: store them in the variable's layout.
  if (!(reversed(dense->shape()) == spec.shape)) {
    throw std::invalid_argument(
        fmt::format("Variable {} has shape {} in layout {}, so a tensor in layout {} must have shape {}, not {}.", name,
                    shape_text(spec.shape), static_cast<int>(spec.layout), dense->layout(),
                    shape_text(reversed(spec.shape)), shape_text(dense->shape())));
  }
  auto bytes = dense->data();
  entry.tensor = Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), dense->type(), spec.shape,
                             spec.layout);
}

void VariablesImpl::reshape(std::vector<Spec> specs) {
  std::vector<Entry> next;
  next.reserve(specs.size());
  for (auto& s : specs) {
    Entry e{std::move(s), nullptr};
    if (const Entry* old = find(e.spec.name)) {
      if (old->spec.shape == e.spec.shape && old->spec.layout == e.spec.layout) e.tensor = old->tensor;
    }
    next.push_back(std::move(e));
  }
  entries_ = std::move(next);
}

}  // namespace ovrix
