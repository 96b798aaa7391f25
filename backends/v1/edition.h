#pragma once
// The v1 edition's entry in the edition registry: its four back-end implementations for the
// products 0x00 (Quor) and 0xA1 (Tamsel, ZMX2400), which also read their learnt variables back
// through the v1 layer recorder.
namespace ovrix {
class EditionRegistry;
}

namespace ovrix::v1 {

void register_edition(EditionRegistry& registry);

}  // namespace ovrix::v1
