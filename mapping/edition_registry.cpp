#include "mapping/edition_registry.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

namespace ovrix {

namespace {

bool serves(const std::vector<uint8_t>& ids, uint8_t product_id) {
  return std::find(ids.begin(), ids.end(), product_id) != ids.end();
}

}  // namespace

void EditionRegistry::add(Edition edition) {
  const std::string name = edition.name();
  if (!edition.make_checker || !edition.make_memory_sizer || !edition.make_io_recorder || !edition.make_layer_recorder)
    throw std::logic_error(fmt::format("The {} edition registers without all four back-end factories.", name));
  for (const Edition& other : editions_)
    if (other.ids.ip_version == edition.ids.ip_version)
      throw std::logic_error(fmt::format("The {} edition is registered twice.", name));
  for (const uint8_t product : edition.ids.product_ids) {
    if (HwVersion(0, product, 0, 0).get_ip_version() != edition.ids.ip_version)
      throw std::logic_error(fmt::format("Product 0x{:02X} is not a {} product.", product, name));
    if (find(product) != nullptr)
      throw std::logic_error(fmt::format("Product 0x{:02X} is served by two editions.", product));
  }
  for (const uint8_t product : edition.ids.learning_product_ids)
    if (find_learning(product) != nullptr)
      throw std::logic_error(fmt::format("The learnt variables of product 0x{:02X} are read back by two editions.", product));
  editions_.push_back(std::move(edition));
}

const Edition* EditionRegistry::find(uint8_t product_id) const {
  for (const Edition& edition : editions_)
    if (serves(edition.ids.product_ids, product_id)) return &edition;
  return nullptr;
}

const Edition* EditionRegistry::find_learning(uint8_t product_id) const {
  for (const Edition& edition : editions_)
    if (serves(edition.ids.learning_product_ids, product_id)) return &edition;
  return nullptr;
}

EditionRegistry& edition_registry() {
  static EditionRegistry registry;
  return registry;
}

const Edition& require_edition(uint8_t product_id) {
  const IpVersion version = HwVersion(0, product_id, 0, 0).get_ip_version();
  if (version == IpVersion::none) throw std::runtime_error("Unsupported IP version in IpVersionSpecificHardwareBackend.");
  const Edition* edition = edition_registry().find(product_id);
  if (edition == nullptr)
    throw std::runtime_error(fmt::format("The {} hardware back-end is not available in this build.", to_string(version)));
  return *edition;
}

}  // namespace ovrix
