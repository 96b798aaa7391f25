#pragma once
// What the standard and the separable convolution recorders share: the per-NP register loop (split
// fields, pooling word, output routing, partial reconfiguration, spike flag) with a hook for the
// fields of the layer kind's own weight memory, and the variables both read.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backends/v1/conv_recording.h"
#include "mapping/layer_mapping.h"

namespace ovrix::v1 {

// The weight-memory fields of one NP: prepared (the NP's weights formatted, so that their errors come
// first) before the NP's image is written, then written into the image.
using WeightFieldsWriter = std::function<void(std::vector<uint32_t>* regs)>;
using WeightFields = std::function<WeightFieldsWriter(const hw::Component& np)>;

// The register images of the layer's NPs that are not skipped, in one map.
RegisterMap build_cnp_np_regs(const Layer& layer, const std::shared_ptr<Layer>& next, bool ib_spikes,
                              bool output_flag, const std::vector<hw::Ident>& skipped_nps,
                              const WeightFields& weight_fields);

// The layer's variable; an absent one is refused naming the layer and the variable (std::runtime_error).
std::shared_ptr<Dense> cnp_variable(const Layer& layer, const std::string& name);

// An integer parameter of the layer (std::invalid_argument when absent).
int32_t cnp_param(const Layer& layer, const char* key);

// The threshold block of one NP: "threshold" and the steps of "act_step" in sixteenths.
std::vector<uint32_t> format_np_thresholds(const Layer& layer, const Dense& threshold_t16, const hw::Component& np);

// DMA targets of the CNP blocks.
inline constexpr dma::Target kCnpRegistersTarget = dma::Target::NpRegisters;
inline constexpr dma::Target kCnpWeightsTarget = static_cast<dma::Target>(0);
inline constexpr dma::Target kCnpThresholdsTarget = dma::Target::Thresholds;

}  // namespace ovrix::v1
