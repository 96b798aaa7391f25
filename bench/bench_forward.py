"""Software forward, batch 32, of three networks against a dedicated int8 runtime and against the NumPy
reference of our arithmetic (tests/python/reference.py), ratios taken within one run:

  (a) the README example network (examples/main.py: 32x32x3, input convolution, depthwise, pointwise,
      dense classifier),
  (b) a 64x64 CNN (ten layers on 64x64x3: input convolution, strided, depthwise and pointwise
      convolutions, global average pooling, dense classifier),
  (c) five 64-channel 3x3 convolutions at 64x64.

The peer is ONNX Runtime running a QLinearConv graph built from the same weights (uint8 activations,
int8 weights, NCHW, its own requantization), once on one thread and once with its default threads; ours
runs with OVRIX_NUM_THREADS=1 and with the engine's default. The peer is optional:

    pip install onnxruntime onnx

(neither is a dependency of the package or of its tests). Without them only the reference comparison
runs. Goals: ours at most 1.0x the peer's time on one thread and with default threads; at least 10x
the NumPy reference (measured warm, on a few samples, per sample), bit for bit equal to it.

    python bench/bench_forward.py [repeats] [--weights-within-64]
"""
import os
import statistics
import sys
import time

# The reference multiplies int64 arrays (no BLAS); idle BLAS threads only add noise.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import reference as ref  # noqa: E402
from ovrix import core  # noqa: E402

BATCH = 32
REFERENCE_SAMPLES = 2


def layer(layer_type, name, **entries):
    return core.Layer(core.LayerParams(layer_type, entries), name)


# With --weights-within-64, 8-bit weights are drawn from -64 .. 64 (the range of 7-bit weights and one
# more), where our convolutions take 8-bit products; otherwise from their full range -128 .. 127, where
# two 8-bit products could saturate a 16-bit lane and ours keep 16-bit products.
WEIGHTS_WITHIN_64 = "--weights-within-64" in sys.argv


def randomize(model, seed, shift=(-16, -12)):
    """Random weights and output groups that keep activations busy (neither all 0 nor saturated)."""
    rng = np.random.default_rng(seed)
    for lay in model.layers[1:]:
        v = lay.variables
        bits = lay.parameters.weights_bits
        bound = 1 << (bits - 1)
        low, high = (-64, 65) if WEIGHTS_WITHIN_64 and bits == 8 else (-bound, bound)
        v["weights"] = rng.integers(low, high, size=v["weights"].shape).astype(np.int8)
        channels = v["output_scales"].shape
        v["output_scales"] = rng.integers(1, 256, size=channels).astype(np.uint8)
        v["output_shift"] = rng.integers(shift[0], shift[1], size=channels).astype(np.int8)
        v["bias"] = rng.integers(-128, 128, size=channels).astype(np.int8)
        v["bias_shift"] = rng.integers(0, 6, size=channels).astype(np.uint8)
        if "max_value" in v.names:
            v["max_value"] = rng.integers(64, 256, size=channels).astype(np.uint8)
            v["max_value_shift"] = rng.integers(6, 10, size=channels).astype(np.uint8)
        if "padding_value" in v.names:
            v["padding_value"] = rng.integers(0, 256, size=v["padding_value"].shape).astype(np.uint8)
    return model


def readme_network():
    m = core.Model()
    m.add(layer(core.InputData, "input", input_width=32, input_height=32, input_channels=3, input_bits=8,
                input_signed=0))
    same = int(core.Same)
    m.add(layer(core.InputConv2D, "conv_1", filters=16, kernel_size=3, kernel_stride=2, padding=same,
                weights_bits=8, activation=1, output_bits=4, pool_type=0, pool_size=1))
    m.add(layer(core.DepthwiseConv2D, "dw_conv_2", kernel_size=3, kernel_stride=1, padding=same, weights_bits=4,
                activation=1, output_bits=4, pool_type=int(core.Max), pool_size=2))
    m.add(layer(core.Conv2D, "conv_3", filters=32, kernel_size=1, kernel_stride=1, padding=same, weights_bits=4,
                activation=1, output_bits=4, pool_type=int(core.Average), pool_size=-1))
    m.add(layer(core.Dense1D, "classifier", units=10, weights_bits=4, activation=0, output_bits=32))
    return randomize(m, 0, shift=(-10, -6))


def cnn_64():
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
    return randomize(m, 0)


def five_convs():
    m = core.Model()
    m.add(layer(core.InputData, "input", input_width=64, input_height=64, input_channels=64, input_bits=8,
                input_signed=0))
    for i in range(5):
        m.add(layer(core.Conv2D, f"conv_{i + 1}", filters=64, kernel_size=3, kernel_stride=1, padding=int(core.Same),
                    activation=1, weights_bits=8, output_bits=8, pool_type=0))
    return randomize(m, 0, shift=(-18, -14))


# ---- the peer: an ONNX QLinearConv graph of the same layers ----

def onnx_graph(model):
    """The model as ONNX: uint8 NCHW activations, int8 weights, QLinearConv for every convolution
    (groups for the depthwise ones), MaxPool, a float GlobalAveragePool and MatMulInteger for the dense
    classifier. Dimension 0 of our samples is H, dimension 1 W."""
    from onnx import TensorProto, helper, numpy_helper

    nodes, inits = [], []

    def const(name, value):
        inits.append(numpy_helper.from_array(np.asarray(value), name))
        return name

    x_scale = const("x_scale", np.float32(1.0 / 16))
    x_zp = const("x_zp", np.uint8(0))
    w_zp = const("w_zp", np.int8(0))
    first = model.layers[0]
    w0, h0, c0 = first.output_dims if hasattr(first, "output_dims") else model.input_shape
    current, channels = "input", c0
    for lay in model.layers[1:]:
        kind = lay.parameters.layer_type
        p = lay.parameters
        name = lay.name
        if kind == core.Dense1D:
            flat = f"{name}_flat"
            nodes.append(helper.make_node("Reshape", [current, const(f"{name}_shape", np.array([0, -1], np.int64))],
                                          [flat]))
            w = lay.variables["weights"]
            nodes.append(helper.make_node("MatMulInteger", [flat, const(f"{name}_w", w.astype(np.int8)), x_zp, w_zp],
                                          [name]))
            current = name
            continue
        k, s = p.kernel_size, p.kernel_stride
        w = lay.variables["weights"]
        if kind == core.DepthwiseConv2D:
            w_onnx = np.ascontiguousarray(w.reshape(k, k, -1).transpose(2, 0, 1)[:, None, :, :])
            group, filters = channels, channels
        else:
            w_onnx = np.ascontiguousarray(w.transpose(3, 2, 0, 1))
            group, filters = 1, w.shape[3]
        conv_out = f"{name}_conv"
        nodes.append(helper.make_node(
            "QLinearConv",
            [current, x_scale, x_zp, const(f"{name}_w", w_onnx.astype(np.int8)),
             const(f"{name}_ws", np.float32(1.0 / 64)), w_zp, x_scale, x_zp,
             const(f"{name}_b", np.zeros(filters, np.int32))],
            [conv_out], kernel_shape=[k, k], strides=[s, s], auto_pad="SAME_UPPER", group=group))
        current, channels = conv_out, filters
        pool = p.pool_type
        if pool == int(core.Max):
            size = p.pool_size
            nodes.append(helper.make_node("MaxPool", [current], [f"{name}_pool"], kernel_shape=[size, size],
                                          strides=[size, size], auto_pad="SAME_UPPER"))
            current = f"{name}_pool"
        elif pool == int(core.Average):
            nodes.append(helper.make_node("DequantizeLinear", [current, x_scale, x_zp], [f"{name}_f"]))
            nodes.append(helper.make_node("GlobalAveragePool", [f"{name}_f"], [f"{name}_avg"]))
            nodes.append(helper.make_node("QuantizeLinear", [f"{name}_avg", x_scale, x_zp], [f"{name}_pool"]))
            current = f"{name}_pool"
    out_type = TensorProto.INT32 if model.layers[-1].parameters.layer_type == core.Dense1D else TensorProto.UINT8
    graph = helper.make_graph(
        nodes, "peer", [helper.make_tensor_value_info("input", TensorProto.UINT8, ["N", c0, w0, h0])],
        [helper.make_tensor_value_info(current, out_type, None)], inits)
    onnx_model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    onnx_model.ir_version = 8
    return onnx_model.SerializeToString()


def peer_sessions(model):
    try:
        import onnxruntime as ort
    except ImportError:
        return None
    graph = onnx_graph(model)
    one = ort.SessionOptions()
    one.intra_op_num_threads = 1
    one.inter_op_num_threads = 1
    return {"1 thread": ort.InferenceSession(graph, one, providers=["CPUExecutionProvider"]),
            "default threads": ort.InferenceSession(graph, providers=["CPUExecutionProvider"])}


def median_time(fn, repeats, clock=time.perf_counter):
    fn()  # warm
    times = []
    for _ in range(repeats):
        start = clock()
        fn()
        times.append(clock() - start)
    return statistics.median(times)


# One-thread runs are also timed in the calling thread's processor time (both sides then run on that
# thread): on a shared machine the wall clock counts the time the thread waited for a core, which
# neither side controls.
cpu_clock = time.thread_time


def ours(model, x, threads):
    if threads is None:
        os.environ.pop("OVRIX_NUM_THREADS", None)
    else:
        os.environ["OVRIX_NUM_THREADS"] = str(threads)
    return lambda: model.forward(x)


def bench(title, model, repeats, peer_available):
    w, h, c = model.input_shape
    x = np.random.default_rng(1).integers(0, 256, size=(BATCH, w, h, c)).astype(np.uint8)
    print(f"\n{title}: {model.layer_count - 1} layers, {model.macs / 1e6:.1f} M MACs per sample, batch {BATCH}")

    # Against the reference, per sample, on a few samples (it is slow), warm.
    few = x[:REFERENCE_SAMPLES]
    want = ref.run_model(model, few, "forward")
    ref_s = median_time(lambda: ref.run_model(model, few, "forward"), 1, cpu_clock) / REFERENCE_SAMPLES
    got = model.forward(few)
    exact = got.dtype == want.dtype and got.shape == want.shape and np.array_equal(got, want)
    os.environ["OVRIX_NUM_THREADS"] = "1"
    ours_1 = median_time(lambda: model.forward(x), repeats, cpu_clock) / BATCH
    os.environ.pop("OVRIX_NUM_THREADS", None)
    print(f"  NumPy reference : {ref_s * 1e3:9.2f} ms per sample (CPU time); ours on 1 thread {ours_1 * 1e3:7.3f} ms: "
          f"{ref_s / ours_1:6.1f}x faster (goal >= 10x); bit-exact: {'yes' if exact else 'NO'}")

    sessions = peer_sessions(model) if peer_available else None
    x_nchw = np.ascontiguousarray(x.transpose(0, 3, 1, 2))
    results = {}
    runs = (("1 thread", 1, time.perf_counter), ("1 thread, CPU time", 1, cpu_clock),
            ("default threads", None, time.perf_counter))
    for label, threads, clock in runs:
        ours_s = median_time(ours(model, x, threads), repeats, clock)
        line = f"  {label:<19}: ours {ours_s * 1e3:8.2f} ms"
        if sessions:
            sess = sessions[label.split(",")[0]]
            peer_s = median_time(lambda: sess.run(None, {"input": x_nchw}), repeats, clock)
            line += f", ONNX Runtime {peer_s * 1e3:8.2f} ms: ours / peer = {ours_s / peer_s:5.2f}x (goal <= 1.0x)"
            results[label] = ours_s / peer_s
        print(line)
    os.environ.pop("OVRIX_NUM_THREADS", None)
    return exact


def main():
    numbers = [a for a in sys.argv[1:] if not a.startswith("--")]
    repeats = int(numbers[0]) if numbers else 7
    try:
        import onnx  # noqa: F401
        import onnxruntime
        peer = True
        print(f"peer: ONNX Runtime {onnxruntime.__version__} (CPU), QLinearConv graph of the same weights")
    except ImportError:
        peer = False
        print("peer: not installed (pip install onnxruntime onnx); comparing with the NumPy reference only")
    print("8-bit weights: " + ("within -64 .. 64" if WEIGHTS_WITHIN_64 else "-128 .. 127"))
    print(f"times: median of {repeats} warm runs; cores available: {len(os.sched_getaffinity(0))}; "
          f"load average {os.getloadavg()[0]:.1f}")
    ok = True
    ok &= bench("(a) README example network, 32x32x3", readme_network(), repeats, peer)
    ok &= bench("(b) 64x64 CNN", cnn_64(), repeats, peer)
    ok &= bench("(c) five 64-channel 3x3 convolutions at 64x64", five_convs(), repeats, peer)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
