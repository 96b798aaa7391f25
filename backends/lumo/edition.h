#pragma once
// The lumo edition's entry in the edition registry: its four back-end implementations, for the
// product 0xB1 (Lumo Proteo).
namespace ovrix {
class EditionRegistry;
}

namespace ovrix::lumo {

void register_edition(EditionRegistry& registry);

}  // namespace ovrix::lumo
