"""Models that together hold a layer of every kind, for round trips of the serialized format."""
import functools

from builders import input_data, params
from ovrix import core


def layer(layer_type, name, **entries):
    return core.Layer(params(layer_type, **entries), name)


def v2_kinds():
    m = core.Model()
    m.add(input_data(width=16, height=16, channels=3, bits=8))
    m.add(layer(core.InputConv2D, "input_conv", filters=8, kernel_size=3, kernel_stride=1, weights_bits=8))
    m.add(layer(core.Conv2D, "conv", filters=8, kernel_size=3, weights_bits=4))
    m.add(layer(core.DepthwiseConv2D, "dw_conv", kernel_size=3, weights_bits=4))
    m.add(layer(core.Add, "add"), [m.get_layer("conv"), m.get_layer("dw_conv")])
    m.add(layer(core.Conv2DTranspose, "conv_t", filters=4, kernel_size=3, weights_bits=4))
    m.add(layer(core.DepthwiseConv2DTranspose, "dw_conv_t", kernel_size=3, weights_bits=4))
    m.add(layer(core.Conv2DTranspose, "side", filters=4, kernel_size=1, weights_bits=4), [m.get_layer("conv_t")])
    m.add(layer(core.Concatenate, "concat"), [m.get_layer("dw_conv_t"), m.get_layer("side")])
    m.add(layer(core.BufferTempConv, "btc", fifo_size=2, filters=8, weights_bits=4))
    m.add(layer(core.DepthwiseBufferTempConv, "dw_btc", fifo_size=3, weights_bits=4))
    m.add(layer(core.Dense1D, "dense", units=10, weights_bits=4, activation=0))
    m.add(layer(core.Dequantizer, "dequant"))
    return m


def v1_kinds():
    m = core.Model()
    m.add(layer(core.InputConvolutional, "input_conv", input_width=12, input_height=12, input_channels=1,
                filters=4, kernel_width=3, kernel_height=3, padding=int(core.Same)))
    m.add(layer(core.Convolutional, "conv", filters=8, kernel_width=3, kernel_height=3))
    m.add(layer(core.SeparableConvolutional, "sep_conv", filters=8, kernel_width=3, kernel_height=3,
                pool_type=int(core.Max), pooling_width=2, pooling_height=2))
    m.add(layer(core.FullyConnected, "fc", units=6))
    m.compile(core.OvrixUnsupervised(num_weights=5, num_classes=3))
    return m


def lumo_kinds():
    m = core.Model()
    m.add(input_data(width=1, height=16, channels=4, bits=8))
    m.add(layer(core.Quantizer, "quant"))
    m.add(layer(core.StatefulRecurrent, "rnn", stateful_channels=8, output_channels=1))
    m.add(layer(core.LumoPostProcessing, "post"))
    return m


@functools.lru_cache(maxsize=None)
def _builders():
    return (v2_kinds, v1_kinds, lumo_kinds)


def every_kind_models():
    return [build() for build in _builders()]
