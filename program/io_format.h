#pragma once
// Input and output parameters of a sequence, as the program information records them: derived from
// the sequence's first layer (input) and last layer (output).
#include <cstdint>
#include <vector>

namespace ovrix {
class Layer;
}

namespace ovrix::io {

// Bit width of the input: a Quantizer's output width, else the layer's input width.
uint8_t input_bits(const Layer& first);
// A Quantizer answers its output sign; otherwise inputs of 5 bits and more are signed, except on the HRC.
bool input_sign(const Layer& first);
// A Quantizer's "channels_first" parameter; false for every other kind.
bool input_channels_first(const Layer& first);
// A Quantizer's "scales" (float32); empty for every other kind.
std::vector<float> format_input_scales(const Layer& first);
// A Quantizer's "zero_points" (uint8, uint4 or uint2); empty for every other kind.
std::vector<uint8_t> format_input_zero_points(const Layer& first);
// A Dequantizer's "scales"; for a ReLU layer without output activation flag the reciprocals of its
// "act_step" (zero steps copied); empty otherwise.
std::vector<float> format_output_scales(const Layer& last);
// A Dequantizer's zeros (one per scale); for a ReLU layer without output activation flag its
// "threshold"; empty otherwise.
std::vector<int32_t> format_output_shift(const Layer& last);

}  // namespace ovrix::io
