#pragma once
// The v2 edition's entry in the edition registry: its four back-end implementations, for the
// products 0xA2 (Proteo), and the learning read-back of 0xA2 and 0xB1 devices.
namespace ovrix {
class EditionRegistry;
}

namespace ovrix::v2 {

void register_edition(EditionRegistry& registry);

}  // namespace ovrix::v2
