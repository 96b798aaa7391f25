"""Software inference of unmapped v2 models (Model.forward / predict / fit / evaluate) against the NumPy
reference, and the rules and messages of the Python inference methods."""
import numpy as np
import pytest

import reference as ref
from ovrix import core


def layer(layer_type, name, **entries):
    return core.Layer(core.LayerParams(layer_type, entries), name)


def input_layer(w, h, c, bits=8, signed=0):
    return layer(core.InputData, "input", input_width=w, input_height=h, input_channels=c, input_bits=bits,
                 input_signed=signed)


def randomize(model, seed):
    """Random variables in ranges that keep outputs varied (some saturation included)."""
    rng = np.random.default_rng(seed)
    for lay in model.layers:
        names = lay.variables.names
        for name in names:
            current = lay.variables[name]
            shape, dtype = current.shape, current.dtype
            if name == "weights":
                bits = lay.parameters.get("weights_bits") if lay.parameters.has("weights_bits") else 8
                lo = -(1 << (bits - 1))
                values = rng.integers(lo, -lo, size=shape)
            elif name in ("input_shift",):
                values = rng.integers(0, 3, size=shape)
            elif name == "bias":
                values = rng.integers(-128, 128, size=shape)
            elif name == "bias_shift":
                values = rng.integers(0, 6, size=shape)
            elif name == "output_scales":
                values = rng.integers(1, 256, size=shape)
            elif name == "output_shift":
                values = rng.integers(-3, 2, size=shape) if lay.parameters.layer_type == core.Add else \
                    rng.integers(-14, -6, size=shape)
            elif name == "max_value":
                values = rng.integers(0, 256, size=shape)
            elif name == "max_value_shift":
                values = rng.integers(0, 8, size=shape)
            elif name == "activation_scales":
                values = rng.integers(1, 256, size=shape)
            elif name == "activation_shift":
                values = rng.integers(-12, -2, size=shape)
            elif name == "lut_values":
                values = rng.integers(-8192, 8192, size=shape)
            elif name in ("a_shift", "b_shift"):
                values = rng.integers(0, 4, size=shape)
            elif name == "padding_value":
                values = rng.integers(0, 256, size=shape)
            elif name == "scales":
                values = rng.uniform(0.01, 2.0, size=shape)
            elif name == "zero_points":
                values = rng.integers(0, 20, size=shape)
            else:
                raise AssertionError(f"unexpected variable {name}")
            lay.variables[name] = np.asarray(values).astype(dtype)


def inputs(model, n, seed, low=0, high=256, dtype=np.uint8):
    rng = np.random.default_rng(seed)
    return rng.integers(low, high, size=[n] + model.input_shape).astype(dtype)


def check(model, x, modes=("forward", "predict")):
    for mode in modes:
        got = getattr(model, mode)(x)
        want = ref.run_model(model, x, mode)
        assert got.dtype == want.dtype, (mode, got.dtype, want.dtype)
        assert got.shape == want.shape, (mode, got.shape, want.shape)
        np.testing.assert_array_equal(got, want, err_msg=mode)


def conv_model(kind, shape, kernel, stride, padding, activation, pool_type=0, pool_size=1, filters=5,
               weights_bits=8, output_bits=8):
    m = core.Model()
    m.add(input_layer(*shape))
    extra = {} if kind == core.DepthwiseConv2D else {"filters": filters}
    m.add(layer(kind, "conv", kernel_size=kernel, kernel_stride=stride, padding=int(padding), activation=activation,
                pool_type=pool_type, pool_size=pool_size, weights_bits=weights_bits, output_bits=output_bits,
                **extra))
    return m


# (input shape, kernel, stride): 1x1 inputs, kernels as large as the input, odd sizes, stride 2.
SHAPES = [((1, 1, 1), 1, 1), ((1, 1, 3), 3, 1), ((5, 5, 2), 5, 1), ((7, 5, 3), 3, 2), ((9, 6, 4), 3, 2),
          ((6, 7, 2), 7, 1), ((8, 8, 3), 1, 2)]
PADDINGS = [core.Valid, core.Same, core.SameUpper]


def with_paddings(cases):
    """Each case with each padding, but Valid only where the kernel lies inside the input."""
    return [(*case, padding) for case in cases for padding in PADDINGS
            if padding != core.Valid or case[1] <= min(case[0][:2])]


@pytest.mark.parametrize("kind", [core.Conv2D, core.DepthwiseConv2D])
@pytest.mark.parametrize("shape, kernel, stride, padding", with_paddings(SHAPES))
@pytest.mark.parametrize("activation", [0, 1, 2])
def test_convolutions(kind, shape, kernel, stride, padding, activation):
    m = conv_model(kind, shape, kernel, stride, padding, activation)
    randomize(m, seed=hash((int(kind), shape, kernel, stride, int(padding), activation)) % 1000)
    x = inputs(m, 3, seed=1)
    check(m, x, ("forward",) if activation else ("forward", "predict"))


@pytest.mark.parametrize("shape, pool_type, pool_size", [((6, 6, 2), 1, 2), ((7, 5, 3), 1, 2), ((5, 5, 1), 1, 1),
                                                         ((4, 6, 2), 2, -1), ((1, 1, 2), 2, -1), ((3, 3, 2), 1, 2)])
@pytest.mark.parametrize("padding", [core.Same, core.SameUpper, core.Valid])
@pytest.mark.parametrize("activation", [0, 1])
def test_convolution_with_pooling(shape, pool_type, pool_size, padding, activation):
    m = conv_model(core.Conv2D, shape, 1, 1, padding, activation, pool_type=pool_type, pool_size=pool_size)
    randomize(m, seed=7)
    check(m, inputs(m, 4, seed=2), ("forward",) if activation else ("forward", "predict"))


@pytest.mark.parametrize("shape, kernel, padding",
                         with_paddings([((1, 1, 1), 3), ((3, 4, 3), 5), ((8, 8, 1), 7), ((5, 7, 3), 4), ((4, 4, 3), 3)]))
@pytest.mark.parametrize("stride, pool_type", [(1, 0), (2, 0), (1, 1)])
def test_input_convolution(shape, kernel, padding, stride, pool_type):
    m = core.Model()
    m.add(input_layer(*shape))
    m.add(layer(core.InputConv2D, "hrc", kernel_size=kernel, kernel_stride=stride, padding=int(padding), filters=6,
                activation=1, pool_type=pool_type, pool_size=2, pool_stride=2, weights_bits=8, output_bits=8))
    randomize(m, seed=kernel)
    check(m, inputs(m, 3, seed=3), ("forward",))


@pytest.mark.parametrize("kind", [core.Conv2DTranspose, core.DepthwiseConv2DTranspose])
@pytest.mark.parametrize("shape, kernel", [((1, 1, 2), 3), ((3, 2, 3), 4), ((4, 5, 1), 3), ((2, 2, 2), 1)])
@pytest.mark.parametrize("activation", [0, 1])
def test_transposed_convolutions(kind, shape, kernel, activation):
    m = core.Model()
    m.add(input_layer(*shape))
    extra = {} if kind == core.DepthwiseConv2DTranspose else {"filters": 4}
    m.add(layer(kind, "up", kernel_size=kernel, activation=activation, weights_bits=8, **extra))
    randomize(m, seed=kernel + 10 * activation)
    check(m, inputs(m, 2, seed=4), ("forward",) if activation else ("forward", "predict"))


@pytest.mark.parametrize("shape, units, activation, output_bits", [((1, 1, 1), 1, 0, 32), ((3, 4, 5), 7, 1, 8),
                                                                   ((2, 1, 3), 10, 0, 8), ((1, 1, 30), 4, 1, 4)])
def test_dense(shape, units, activation, output_bits):
    m = core.Model()
    m.add(input_layer(*shape))
    m.add(layer(core.Dense1D, "dense", units=units, activation=activation, output_bits=output_bits, weights_bits=8))
    randomize(m, seed=units)
    check(m, inputs(m, 5, seed=5), ("forward",) if activation else ("forward", "predict"))


@pytest.mark.parametrize("depthwise", [False, True])
@pytest.mark.parametrize("fifo, pool", [(1, None), (3, None), (4, (1, 2)), (2, (2, -1))])
@pytest.mark.parametrize("activation", [0, 1])
def test_buffered_temporal_convolutions(depthwise, fifo, pool, activation):
    m = core.Model()
    m.add(input_layer(4, 4, 3))
    extra = {} if depthwise else {"filters": 5}
    if pool:
        extra.update(pool_type=pool[0], pool_size=pool[1])
    m.add(layer(core.DepthwiseBufferTempConv if depthwise else core.BufferTempConv, "tnp", fifo_size=fifo,
                activation=activation, weights_bits=8, **extra))
    randomize(m, seed=fifo)
    check(m, inputs(m, 6, seed=6), ("forward",) if activation else ("forward", "predict"))


def residual_model(size=5, channels=3, filters=4):
    """input -> conv_a -> conv_b; Add(conv_a, conv_b) -> Concatenate(add, conv_a) -> dense."""
    m = core.Model()
    m.add(input_layer(size, size, channels))
    m.add(layer(core.Conv2D, "conv_a", filters=filters, kernel_size=3, padding=1, activation=1, weights_bits=8))
    a = m.get_layer("conv_a")
    m.add(layer(core.Conv2D, "conv_b", filters=filters, kernel_size=3, padding=1, activation=1, weights_bits=8))
    m.add(layer(core.Add, "add"), [a, m.get_layer("conv_b")])
    m.add(layer(core.Concatenate, "cat"), [m.get_layer("add"), a])
    m.add(layer(core.Dense1D, "dense", units=6, activation=0, output_bits=32, weights_bits=8))
    return m


def test_merges_in_a_residual_model():
    m = residual_model()
    randomize(m, seed=11)
    check(m, inputs(m, 4, seed=7))


def test_quantizer_and_dequantizer_at_the_ends():
    m = core.Model()
    m.add(input_layer(4, 3, 2))
    m.add(layer(core.Quantizer, "q", output_bits=8, output_signed=0))
    m.add(layer(core.Conv2D, "conv", filters=3, kernel_size=3, padding=1, activation=0, weights_bits=8))
    m.add(layer(core.Dequantizer, "dq"))
    randomize(m, seed=12)
    rng = np.random.default_rng(8)
    x = rng.uniform(-1, 40, size=[3] + m.input_shape).astype(np.float32)
    check(m, x)


@pytest.mark.parametrize("scale", [0.0, float("nan"), float("inf")])
def test_quantizer_refuses_a_scale_without_quantized_values(scale):
    m = core.Model()
    m.add(input_layer(2, 2, 1))
    m.add(layer(core.Quantizer, "q", output_bits=8, output_signed=0))
    m.layers[1].variables["scales"] = np.array([scale], dtype=np.float32)
    with pytest.raises(ValueError, match="scales must be finite and non-zero"):
        m.forward(np.zeros([1, 2, 2, 1], dtype=np.float32))


def test_ten_layer_cnn():
    m = bench_like_model(16, 16)
    randomize(m, seed=13)
    check(m, inputs(m, 2, seed=9), ("forward",))


def bench_like_model(w, h):
    m = core.Model()
    m.add(input_layer(w, h, 3))
    spec = [(core.InputConv2D, 8, 3, 1), (core.Conv2D, 16, 3, 2), (core.DepthwiseConv2D, 0, 3, 1),
            (core.Conv2D, 16, 1, 1), (core.Conv2D, 24, 3, 2), (core.DepthwiseConv2D, 0, 3, 1), (core.Conv2D, 24, 1, 1),
            (core.Conv2D, 32, 3, 1)]
    for i, (kind, filters, k, s) in enumerate(spec):
        extra = {"filters": filters} if filters else {}
        m.add(layer(kind, f"l{i}", kernel_size=k, kernel_stride=s, padding=1, activation=1, weights_bits=8,
                    **extra))
    m.add(layer(core.Dense1D, "dense", units=10, activation=0, output_bits=32, weights_bits=8))
    return m


# ------------------------------------------------------------------ fit


def learning_model(units=6, classes=3, num_weights=5, plasticity=0.75):
    m = core.Model()
    m.add(input_layer(2, 2, 3))
    m.add(layer(core.Dense1D, "dense", units=units, activation=0, output_bits=32, weights_bits=8))
    d = m.get_layer("dense")
    d.variables["output_scales"] = np.ones(units, np.uint8)
    m.compile(core.OvrixUnsupervised(num_weights=num_weights, num_classes=classes, initial_plasticity=plasticity,
                                     min_plasticity=0.2, plasticity_decay=0.3))
    return m


def reference_fit(model, x, labels):
    """The learning rule of engine/README.md, step by step."""
    d = model.get_layer("dense")
    lp = model.learning
    w = np.asarray(d.variables["weights"], np.int64).copy()
    units = w.shape[1]
    classes = int(lp.num_classes)
    group = units // classes
    plasticity = np.full(units, lp.initial_plasticity)
    outputs = []
    for i, sample in enumerate(x):
        xs = ref.i64(sample).reshape(-1)
        p = xs @ w
        outputs.append(p.astype(np.int32))
        label = labels[0] if len(labels) == 1 else (labels[i] if labels else -1)
        if labels and not (0 <= label < classes):
            continue
        first, last = (0, units) if not labels else (label * group, label * group + group)
        winner = first + int(np.argmax(p[first:last]))
        order = sorted(range(xs.size), key=lambda j: (-xs[j], j))
        target = np.zeros(xs.size, np.int64)
        for rank, j in enumerate(order):
            if rank < int(lp.num_weights) and xs[j] > 0:
                target[j] = 127
        step = int(np.floor(min(max(plasticity[winner], 0.0), 1.0) * 65536.0 + 0.5))
        w[:, winner] = np.clip(w[:, winner] + ref.shift_right_round((target - w[:, winner]) * step, 16), -128, 127)
        plasticity[winner] = max(lp.min_plasticity, plasticity[winner] * (1.0 - lp.plasticity_decay))
    return np.stack(outputs).reshape(len(x), 1, 1, units), w.astype(np.int8)


@pytest.mark.parametrize("labels", [[1], [0, 2, 1, 1, 0, 2, 2, 0], [], [5], [0, -1, 3, 1, 2, 2, 9, 0]])
def test_fit_learns_like_the_reference(labels):
    m = learning_model()
    x = inputs(m, 8, seed=21, high=16)
    want_out, want_w = reference_fit(m, x, labels)
    got = m.fit(x, labels)
    np.testing.assert_array_equal(got, want_out)
    np.testing.assert_array_equal(m.get_layer("dense").variables["weights"], want_w)


def test_fit_rounds_the_plasticity_step_and_each_move_as_the_reference():
    # 0.3 x 65536 = 19660.8: a step rounded down would move some of these random weights one less.
    m = learning_model(units=8, classes=2, num_weights=7, plasticity=0.3)
    m.get_layer("dense").variables["weights"] = np.random.default_rng(5).integers(-128, 128, (12, 8)).astype(np.int8)
    x = inputs(m, 12, seed=23)
    labels = [0, 1] * 6
    want_out, want_w = reference_fit(m, x, labels)
    np.testing.assert_array_equal(m.fit(x, labels), want_out)
    np.testing.assert_array_equal(m.get_layer("dense").variables["weights"], want_w)


def test_fit_continues_from_learnt_weights():
    m = learning_model()
    x = inputs(m, 4, seed=22, high=16)
    m.fit(x, np.array([1, 1, 2, 0]))
    _, want_w = reference_fit(m, x, [2])
    m.fit(x, 2)
    np.testing.assert_array_equal(m.get_layer("dense").variables["weights"], want_w)


def test_fit_without_learning_parameters_is_refused():
    m = core.Model()
    m.add(input_layer(2, 2, 1))
    m.add(layer(core.Dense1D, "dense", units=2, activation=0, weights_bits=8))
    with pytest.raises(ValueError, match="compile the model first"):
        m.fit(inputs(m, 1, seed=0), [0])


# ------------------------------------------------------------------ Python inference rules


def small_model(activation=0):
    m = conv_model(core.Conv2D, (3, 3, 2), 3, 1, core.Same, activation, filters=4)
    randomize(m, seed=3)
    return m


def test_no_layers_is_refused_before_the_input_is_looked_at():
    with pytest.raises(ValueError, match="^Cannot perform an inference on a model with no layers$"):
        core.Model().forward(np.zeros(3, np.float64))
    with pytest.raises(ValueError, match="^Cannot perform an inference on a model with no layers$"):
        core.Model().evaluate(np.zeros((1, 1)), np.zeros(1, np.int32))


@pytest.mark.parametrize("dtype", [np.float64, np.int32, np.uint16, np.int64, np.dtype(">i2")])
def test_input_dtypes_outside_the_four_are_refused(dtype):
    m = small_model()
    with pytest.raises(ValueError, match=r"^Input dtype should be int8, uint8, int16 or float32\.$"):
        m.forward(np.zeros([1] + m.input_shape, dtype))


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int16, np.float32])
def test_the_four_input_dtypes_give_the_same_outputs(dtype):
    m = small_model()
    x = inputs(m, 2, seed=5, high=100)
    np.testing.assert_array_equal(m.forward(x.astype(dtype)), ref.run_model(m, x))


def test_only_numpy_arrays_are_accepted():
    m = small_model()
    with pytest.raises(TypeError):
        m.forward([[1]])
    with pytest.raises(TypeError):
        m.fit(np.zeros([1] + m.input_shape, np.uint8), (1, 2))
    with pytest.raises(TypeError):
        m.forward(np.zeros([1] + m.input_shape, np.uint8), -1)


def test_metrics_of_a_software_inference():
    m = small_model()
    live = m.metrics
    x = inputs(m, 3, seed=1)
    m.forward(x)
    assert sorted(live.names) == ["inference_end", "inference_frames", "inference_start"]
    assert live["inference_frames"] == 3
    assert live["inference_end"] >= live["inference_start"]
    m.predict(inputs(m, 5, seed=1))
    assert live["inference_frames"] == 5
    assert m.power_events == []
    with pytest.raises(ValueError, match="no such metrics"):
        live["inference_clk"]
    # Names are strings: bytes naming a stored metric are refused like any other key of another type.
    for key in (b"inference_frames", bytearray(b"inference_frames"), 3, None):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            live[key]


def test_metrics_keep_the_model_alive():
    m = small_model()
    m.forward(inputs(m, 2, seed=1))
    live = m.metrics
    del m
    import gc
    gc.collect()
    assert live["inference_frames"] == 2


def test_predict_refusals():
    m = small_model(activation=1)
    with pytest.raises(RuntimeError, match="activation"):
        m.predict(inputs(m, 1, seed=1))
    only = core.Model()
    only.add(input_layer(2, 2, 1))
    with pytest.raises(ValueError, match="input layer only"):
        only.predict(inputs(only, 1, seed=1))


def test_input_shape_and_range_refusals():
    m = small_model()
    with pytest.raises(ValueError, match="does not match"):
        m.forward(np.zeros((1, 4, 3, 2), np.uint8))
    with pytest.raises(ValueError, match="does not fit"):
        m.forward(np.full([1] + m.input_shape, -1, np.int8))
    with pytest.raises(ValueError, match="not a 32-bit integer"):
        m.forward(np.full([1] + m.input_shape, 0.5, np.float32))


@pytest.mark.parametrize("label", [1, 1.0, np.int64(1), np.float32(1), 3, 3.0])
def test_scalar_labels_apply_to_every_sample(label):
    m = learning_model()
    x = inputs(m, 2, seed=2, high=16)
    # 3 lies beyond the three classes: the samples run but nothing is learnt.
    _, want_w = reference_fit(m, x, [int(label)])
    m.fit(x, label)
    np.testing.assert_array_equal(m.get_layer("dense").variables["weights"], want_w)
    if int(label) == 3:
        assert not want_w.any()


@pytest.mark.parametrize("labels", [2.5, float("nan"), 1e10, np.array([1.0, 2.0]), [1.0], ["a"], [2 ** 40]])
def test_labels_that_are_not_integers_are_refused(labels):
    m = learning_model()
    with pytest.raises(TypeError, match="^fit method expects integers as labels$"):
        m.fit(inputs(m, 2, seed=2), labels)


def test_fit_with_every_integer_label_dtype():
    for dtype in (np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64):
        m = learning_model()
        x = inputs(m, 2, seed=3, high=16)
        _, want_w = reference_fit(m, x, [1, 2])
        m.fit(x, np.array([1, 2], dtype))
        np.testing.assert_array_equal(m.get_layer("dense").variables["weights"], want_w)


# ------------------------------------------------------------------ evaluate


def evaluation_model(units=10, activation=0, output_bits=32):
    m = core.Model()
    m.add(input_layer(1, 1, 4))
    m.add(layer(core.Dense1D, "dense", units=units, activation=activation, output_bits=output_bits, weights_bits=8))
    d = m.get_layer("dense")
    d.variables["output_scales"] = np.ones(units, np.uint8)
    if activation:
        d.variables["max_value"] = np.full(units, 255, np.uint8)
    return m


def test_evaluate_counts_the_matches():
    m = evaluation_model(units=4)
    m.get_layer("dense").variables["weights"] = np.eye(4, dtype=np.int8) * 10
    x = np.array([[[[5, 1, 0, 0]]], [[[0, 0, 7, 1]]], [[[1, 9, 0, 0]]]], np.uint8)
    assert m.evaluate(x, np.array([0, 2, 1], np.int32)) == 1.0
    assert m.evaluate(x, np.array([1, 2, 0], np.int32)) == pytest.approx(1 / 3)
    assert isinstance(m.evaluate(x, np.array([3, 3, 3], np.int32)), float)
    assert m.evaluate(x, np.array([3, 3, 3], np.int32)) == 0.0
    assert m.metrics["inference_frames"] == 3


def test_evaluate_groups_neurons_by_class_and_ties_keep_the_lower_class():
    m = evaluation_model(units=4)
    # Neurons 0-1 vote class 0, 2-3 class 1 (num_classes 2); sample 1 has equal maxima in both classes.
    m.get_layer("dense").variables["weights"] = np.eye(4, dtype=np.int8)
    x = np.array([[[[0, 0, 0, 9]]], [[[0, 4, 4, 0]]], [[[3, 0, 0, 0]]]], np.uint8)
    assert m.evaluate(x, np.array([1, 0, 0], np.int32), num_classes=2) == 1.0


def test_evaluate_uses_forward_when_the_last_layer_is_activated_and_minus_one_when_nothing_exceeds_zero():
    m = evaluation_model(units=3, activation=1, output_bits=8)
    m.get_layer("dense").variables["weights"] = np.eye(4, 3, dtype=np.int8)
    # Sample 1 gives all zeros: no class beats the uint8 start value, prediction -1 matches only -1.
    x = np.array([[[[0, 6, 0, 0]]], [[[0, 0, 0, 0]]]], np.uint8)
    assert m.evaluate(x, np.array([1, -1], np.int32)) == 1.0
    assert m.evaluate(x, np.array([1, 0], np.int32)) == 0.5


@pytest.mark.parametrize("labels, message", [
    (np.zeros((2, 1), np.int32), r"^Labels must be 1-D\.$"),
    (np.zeros(3, np.int32), r"^Inputs and labels must have the same size\.$"),
    (np.zeros(2, np.int64), r"^Labels must be int32\.$"),
])
def test_evaluate_label_refusals(labels, message):
    m = evaluation_model()
    with pytest.raises(ValueError, match=message):
        m.evaluate(np.zeros((2, 1, 1, 4), np.uint8), labels)


def test_evaluate_class_count_refusals_come_after_the_inference():
    m = evaluation_model(units=10)
    x = np.zeros((2, 1, 1, 4), np.uint8)
    labels = np.zeros(2, np.int32)
    m.metrics  # noqa: B018
    with pytest.raises(ValueError) as info:
        m.evaluate(x, labels, num_classes=1)
    assert str(info.value) == "Cannot classify with 1class(es)."
    assert m.metrics["inference_frames"] == 2
    with pytest.raises(ValueError) as info:
        m.evaluate(x, labels, num_classes=3)
    assert str(info.value) == "The number of neurons [10] is not a multiple of  the number of classes [3]."


def test_evaluate_with_nan_outputs_predicts_minus_one():
    m = core.Model()
    m.add(input_layer(1, 1, 2))
    m.add(layer(core.Dequantizer, "dq"))
    m.get_layer("dq").variables["scales"] = np.array([np.nan, np.nan], np.float32)
    x = np.ones((2, 1, 1, 2), np.uint8)
    assert m.evaluate(x, np.array([-1, 0], np.int32)) == 0.5


def test_fit_without_labels_is_unsupervised_and_batch_size_changes_nothing():
    m = learning_model()
    x = inputs(m, 6, seed=31, high=16)
    want_out, want_w = reference_fit(m, x, [])
    np.testing.assert_array_equal(m.fit(x), want_out)
    np.testing.assert_array_equal(m.get_layer("dense").variables["weights"], want_w)
    m2 = small_model()
    y = inputs(m2, 5, seed=32)
    np.testing.assert_array_equal(m2.forward(y, batch_size=2), m2.forward(y))
    np.testing.assert_array_equal(m2.predict(y, 3), m2.predict(y, 0))
