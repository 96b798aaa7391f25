#pragma once
// Recording of the skip-DMA channels of a v2 layer: the store engine that writes its output (or its
// dual output) to external memory and the load engine that reads a branch back for it.
#include "engine/layer.h"
#include "program/record.h"

namespace ovrix::v2 {

// Appends the channel writes of the layer's store, dual-output store and load engines, in that order,
// each engine's writes in increasing register address. A layer with none records nothing. A layer
// receiving a load must run on NPs ("Merging layer has no CNPs.").
void record_skipdma(program::Record* record, const Layer& layer);

}  // namespace ovrix::v2
