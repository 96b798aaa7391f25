"""Layer and model builders shared by the Python tests."""
import numpy as np

from ovrix import core


def params(layer_type, **entries):
    return core.LayerParams(layer_type, entries)


def input_data(name="input", width=8, height=8, channels=3, bits=8, signed=0):
    return core.Layer(params(core.InputData, input_width=width, input_height=height, input_channels=channels,
                             input_bits=bits, input_signed=signed), name)


def conv2d(name, filters=4, kernel=3, stride=1, padding=core.Same, activation=1, pool_type=core.NoPooling,
           pool_size=1, weights_bits=4):
    return core.Layer(params(core.Conv2D, filters=filters, kernel_size=kernel, kernel_stride=stride,
                             padding=int(padding), weights_bits=weights_bits, activation=activation,
                             pool_type=int(pool_type), pool_size=pool_size), name)


def v1_convolutional(name, filters=4, kernel_width=3, kernel_height=5, stride_x=1, stride_y=2):
    return core.Layer(v1_conv_params(filters, kernel_width, kernel_height, stride_x, stride_y), name)


def v1_conv_params(filters=4, kernel_width=3, kernel_height=5, stride_x=1, stride_y=2, layer_type=None):
    return params(layer_type or core.Convolutional, kernel_width=kernel_width, kernel_height=kernel_height,
                  stride_x=stride_x, stride_y=stride_y, padding=int(core.Same), filters=filters, weights_bits=4,
                  activation=1, act_bits=4, pool_type=int(core.Max), pooling_width=2, pooling_height=2,
                  pooling_stride_x=2, pooling_stride_y=2)


def fully_connected(name, units=10, weights_bits=4, activation=1, act_bits=1):
    return core.Layer(params(core.FullyConnected, units=units, weights_bits=weights_bits, activation=activation,
                             act_bits=act_bits), name)


def dense1d(name, units=10, weights_bits=4, activation=1):
    return core.Layer(params(core.Dense1D, units=units, weights_bits=weights_bits, activation=activation), name)


def v1_model(units=10, num_classes=5, compiled=True, width=4, height=4, channels=2, bits=1):
    """InputData -> FullyConnected, the last layer compiled for learning."""
    model = core.Model()
    model.add(input_data(width=width, height=height, channels=channels, bits=bits))
    model.add(fully_connected("fc", units=units))
    if compiled:
        model.compile(core.OvrixUnsupervised(num_weights=8, num_classes=num_classes))
    return model


def v2_model():
    """InputData -> Conv2D -> Conv2D: a small v2 model."""
    model = core.Model()
    model.add(input_data())
    model.add(conv2d("conv_1", filters=4))
    model.add(conv2d("conv_2", filters=8, stride=2))
    return model


def fill_variables(layer, seed=0):
    """Gives every variable of the layer deterministic non-zero values that its type can hold."""
    rng = np.random.default_rng(seed)
    for name in layer.variables.names:
        current = layer.variables[name]
        info = np.iinfo(current.dtype) if current.dtype.kind in "iu" else None
        if info is None:
            values = rng.standard_normal(current.shape).astype(current.dtype)
        else:
            low, high = (-1, 2) if info.min < 0 else (0, 2)
            values = rng.integers(low, high, size=current.shape).astype(current.dtype)
        layer.variables[name] = values
