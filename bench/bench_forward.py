"""Software forward of a 10-layer v2 CNN on 64x64x3 inputs against the NumPy reference of the same
arithmetic (tests/python/reference.py), in one run: samples per second of each, their ratio, and a
bit-for-bit comparison of the outputs.

    python bench/bench_forward.py [samples]
"""
import os
import sys
import time

# Neither side uses BLAS (the reference multiplies int64 arrays); idle BLAS threads only add noise.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import reference as ref  # noqa: E402
from ovrix import core  # noqa: E402


def layer(layer_type, name, **entries):
    return core.Layer(core.LayerParams(layer_type, entries), name)


def build_model():
    """InputData, then ten neuron layers: HRC, convolutions, depthwise and pointwise, stride 2, global
    average pooling, and a dense classifier."""
    m = core.Model()
    m.add(layer(core.InputData, "input", input_width=64, input_height=64, input_channels=3, input_bits=8,
                input_signed=0))
    conv = dict(padding=int(core.Same), activation=1, weights_bits=8, output_bits=8)
    m.add(layer(core.InputConv2D, "hrc", filters=16, kernel_size=3, kernel_stride=1, pool_type=0, **conv))
    m.add(layer(core.Conv2D, "conv_2", filters=32, kernel_size=3, kernel_stride=2, **conv))
    m.add(layer(core.DepthwiseConv2D, "dw_3", kernel_size=3, kernel_stride=1, **conv))
    m.add(layer(core.Conv2D, "pw_4", filters=32, kernel_size=1, kernel_stride=1, **conv))
    m.add(layer(core.Conv2D, "conv_5", filters=64, kernel_size=3, kernel_stride=2, **conv))
    m.add(layer(core.DepthwiseConv2D, "dw_6", kernel_size=3, kernel_stride=1, **conv))
    m.add(layer(core.Conv2D, "pw_7", filters=64, kernel_size=1, kernel_stride=1, **conv))
    m.add(layer(core.Conv2D, "conv_8", filters=64, kernel_size=3, kernel_stride=2, **conv))
    m.add(layer(core.Conv2D, "conv_9", filters=64, kernel_size=3, kernel_stride=1, pool_type=int(core.Average),
                pool_size=-1, **conv))
    m.add(layer(core.Dense1D, "dense_10", units=10, activation=0, output_bits=32, weights_bits=8))
    rng = np.random.default_rng(0)
    for lay in m.layers[1:]:
        v = lay.variables
        w = v["weights"]
        v["weights"] = rng.integers(-128, 128, size=w.shape).astype(np.int8)
        channels = v["output_scales"].shape
        v["output_scales"] = rng.integers(1, 256, size=channels).astype(np.uint8)
        v["output_shift"] = rng.integers(-16, -12, size=channels).astype(np.int8)
        v["bias"] = rng.integers(-128, 128, size=channels).astype(np.int8)
        v["bias_shift"] = rng.integers(0, 6, size=channels).astype(np.uint8)
        if "max_value" in v.names:
            v["max_value"] = rng.integers(64, 256, size=channels).astype(np.uint8)
            v["max_value_shift"] = rng.integers(6, 10, size=channels).astype(np.uint8)
        if "input_shift" in v.names:
            v["input_shift"] = rng.integers(0, 2, size=v["input_shift"].shape).astype(np.uint8)
        if "padding_value" in v.names:
            v["padding_value"] = rng.integers(0, 256, size=v["padding_value"].shape).astype(np.uint8)
    return m


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start


def main():
    samples = int(sys.argv[1]) if len(sys.argv) > 1 else 32
    model = build_model()
    x = np.random.default_rng(1).integers(0, 256, size=(samples, 64, 64, 3)).astype(np.uint8)
    print(f"model: {model.layer_count} layers ({model.layer_count - 1} after the input), "
          f"{model.macs / 1e6:.1f} M MACs per sample, {samples} samples of 64x64x3")
    model.forward(x[:1])  # warm-up
    got, engine_s = timed(lambda: model.forward(x))
    want, numpy_s = timed(lambda: ref.run_model(model, x, "forward"))
    exact = got.dtype == want.dtype and got.shape == want.shape and np.array_equal(got, want)
    engine_rate, numpy_rate = samples / engine_s, samples / numpy_s
    print(f"engine forward : {engine_rate:10.1f} samples/s ({engine_s * 1e3 / samples:8.2f} ms per sample)")
    print(f"NumPy reference: {numpy_rate:10.1f} samples/s ({numpy_s * 1e3 / samples:8.2f} ms per sample)")
    print(f"ratio          : {engine_rate / numpy_rate:10.1f}x (goal >= 10x)")
    print(f"bit-exact      : {'yes' if exact else 'NO'}")
    classes = np.argmax(got.reshape(samples, -1), axis=1)
    print(f"classes of the first samples: {classes[:10].tolist()}")
    return 0 if exact else 1


if __name__ == "__main__":
    sys.exit(main())
