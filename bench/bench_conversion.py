"""NumPy <-> Dense conversion against numpy.copy, and save/load of a model holding >= 10 MB of weights.

Conversion goes through a layer variable: assigning an array converts NumPy -> Dense (one copy), reading
it converts Dense -> NumPy (one copy), for a variable stored row-major (layout 0) and one stored with its
dimensions reversed (layout 1). Each direction is compared with one numpy.copy of the same array.
"""
import os
import sys
import tempfile
import time

import numpy as np

from ovrix import core

MIB = 1 << 20


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def dense_model(inputs, units):
    model = core.Model()
    model.add(core.Layer(core.LayerParams(core.InputData, {"input_width": 1, "input_height": 1,
                                                           "input_channels": inputs, "input_bits": 8,
                                                           "input_signed": 0}), "input"))
    model.add(core.Layer(core.LayerParams(core.Dense1D, {"units": units, "weights_bits": 8, "activation": 0}),
                         "dense"))
    return model


def fully_connected_model(inputs, units):
    """A v1 FullyConnected layer: its weights (units, inputs, 1, 1) are stored in layout 1 and read as
    an array of the reversed shape."""
    model = core.Model()
    model.add(core.Layer(core.LayerParams(core.InputData, {"input_width": 1, "input_height": 1,
                                                           "input_channels": inputs, "input_bits": 8,
                                                           "input_signed": 0}), "input"))
    model.add(core.Layer(core.LayerParams(core.FullyConnected, {"units": units, "weights_bits": 8}), "dense"))
    return model


def bench_conversion(repeat, title, model):
    # 8192 x 8192 int8 weights: a 64 MiB variable.
    variables = model.get_layer("dense").variables
    shape = variables["weights"].shape
    array = np.random.default_rng(0).integers(-128, 128, size=shape, dtype=np.int8)
    nbytes = array.nbytes
    assert nbytes == 64 * MIB, nbytes

    def to_dense():
        variables["weights"] = array

    def to_numpy():
        variables["weights"]

    copy_time = best_of(lambda: np.copy(array), repeat)
    to_dense_time = best_of(to_dense, repeat)
    to_numpy_time = best_of(to_numpy, repeat)
    round_trip = best_of(lambda: (to_dense(), to_numpy()), repeat)
    assert np.array_equal(variables["weights"], array)

    def rate(t):
        return nbytes / t / 1e9

    print(f"{title}: conversion of a {nbytes // MIB} MiB int8 array (best of {repeat}; goal: each direction "
          f">= 0.8x numpy.copy):")
    print(f"  numpy.copy          {copy_time * 1e3:8.2f} ms  {rate(copy_time):6.2f} GB/s")
    print(f"  NumPy -> Dense      {to_dense_time * 1e3:8.2f} ms  {rate(to_dense_time):6.2f} GB/s  "
          f"ratio {copy_time / to_dense_time:.2f}x")
    print(f"  Dense -> NumPy      {to_numpy_time * 1e3:8.2f} ms  {rate(to_numpy_time):6.2f} GB/s  "
          f"ratio {copy_time / to_numpy_time:.2f}x")
    print(f"  round trip          {round_trip * 1e3:8.2f} ms  {rate(round_trip):6.2f} GB/s  "
          f"ratio {2 * copy_time / round_trip:.2f}x of two numpy.copy")


def bench_files(repeat):
    # 4096 x 3072 int8 weights (12 MiB), random so that compression does not hide the work.
    model = dense_model(4096, 3072)
    layer = model.get_layer("dense")
    shape = layer.variables["weights"].shape
    layer.variables["weights"] = np.random.default_rng(1).integers(-128, 128, size=shape, dtype=np.int8)
    serialized = len(model.to_buffer())
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "model.fbz")
        save_time = best_of(lambda: model.save(path), repeat)
        size = os.path.getsize(path)
        load_time = best_of(lambda: core.Model(path), repeat)
        assert core.Model(path).to_buffer() == model.to_buffer()
    print(f"model file: {serialized / MIB:.1f} MiB serialized, {size / MIB:.1f} MiB saved (best of {repeat}):")
    print(f"  save {save_time * 1e3:8.2f} ms  {serialized / save_time / 1e9:6.2f} GB/s of serialized model")
    print(f"  load {load_time * 1e3:8.2f} ms  {serialized / load_time / 1e9:6.2f} GB/s of serialized model")


def main():
    repeat = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    bench_conversion(repeat, "Dense1D weights (layout 0)", dense_model(8192, 8192))
    bench_conversion(repeat, "FullyConnected weights (layout 1)", fully_connected_model(8192, 8192))
    bench_files(repeat)


if __name__ == "__main__":
    main()
