"""Lumo models: chains of StatefulRecurrent layers, closed or not by a LumoPostProcessing layer, run in
software bit for bit as the NumPy reference computes them, map onto a virtual lumo device as one record of
three TNP-R tracks on its single NP, and run on an emulated lumo device."""
import numpy as np
import pytest

import reference as ref
from emulated_devices import expected_output, with_devices
from ovrix import core
from helpers import roots, words_at, written

NP = core.NP
TNPR = NP.Ident(1, 1, 2)
REGISTERS, FSRAM, TSRAM = 13, 14, 15


def lumo_device():
    mesh = NP.Mesh(core.IpVersion.lumo, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, [NP.Info(TNPR, [NP.TNP_R])], [])
    return core.Device(core.HwVersion.Lumo_Proteo, mesh)


def layer(kind, name, **entries):
    return core.Layer(core.LayerParams(kind, entries), name)


def randomize(model, seed):
    """Random variables inside the TNP-R's field ranges; the layer before post-processing hands it an
    output scale of 1 and a shift of 0, as the rules ask."""
    rng = np.random.default_rng(seed)
    ranges = {"in_proj": (-128, 128), "out_proj": (-128, 128), "A_real": (-30000, 30000), "A_imag": (-30000, 30000),
              "internal_state_outputs_shift": (-16, 4), "new_state_scale": (0, 256), "new_state_shift": (-12, 4),
              "input_shift": (0, 8), "output_scales": (0, 256), "output_shift": (-12, 1), "bias": (-128, 128),
              "bias_shift": (0, 8), "threshold": (0, 200), "input_scales": (0, 256), "max_value": (127, 128),
              "max_value_shift": (31, 32)}
    for current in model.layers:
        for name in current.variables.names:
            v = current.variables[name]
            low, high = ranges[name]
            current.variables[name] = rng.integers(low, high, size=v.shape).astype(v.dtype)
        outs = [o for o in model.layers if current.name in [i.name for i in o.inbounds]]
        if outs and outs[0].parameters.layer_type == core.LumoPostProcessing:
            current.variables["output_scales"] = np.ones(current.variables["output_scales"].shape, np.uint8)
            current.variables["output_shift"] = np.zeros(current.variables["output_shift"].shape, np.int8)


def chain(count, post, bits=8, steps=12, channels=8, states=16, outputs=8, subsample=1, activation=1, seed=0):
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=2, input_height=steps, input_channels=channels,
                    input_bits=bits, input_signed=1))
    for i in range(count):
        last = i == count - 1
        model.add(layer(core.StatefulRecurrent, f"r{i + 1}", stateful_channels=states,
                        output_channels=1 if last and post else outputs, subsample=subsample if i == 0 else 1,
                        activation=activation))
    if post:
        model.add(layer(core.LumoPostProcessing, "post"))
    randomize(model, seed)
    return model


def samples(model, n, seed=1):
    shape = model.input_shape
    bits = model.layers[0].parameters.input_bits
    return np.random.default_rng(seed).integers(-(2 ** (bits - 1)), 2 ** (bits - 1), size=(n, *shape)).astype(
        np.int8 if bits == 8 else np.int16)


def same(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)


# ------------------------------------------------------------------ software inference


@pytest.mark.parametrize("count, post", [(1, False), (1, True), (3, False), (3, True), (8, False), (7, True)])
@pytest.mark.parametrize("bits", [8, 16])
def test_software_forward_equals_the_reference(count, post, bits):
    model = chain(count, post, bits=bits, seed=count)
    x = samples(model, 3)
    same(model.forward(x), ref.run_model(model, x))


@pytest.mark.parametrize("subsample, activation", [(2, 1), (3, 0), (4, 1)])
def test_subsampling_and_activations_in_software(subsample, activation):
    model = chain(2, True, steps=13, subsample=subsample, activation=activation, seed=subsample)
    assert model.layers[2].input_dims[1] == -(-13 // subsample)
    x = samples(model, 2)
    same(model.forward(x), ref.run_model(model, x))


def test_predict_of_a_recurrent_last_layer_without_activation():
    model = chain(2, False, activation=0, seed=5)
    x = samples(model, 2)
    same(model.predict(x), ref.run_model(model, x, "predict"))


def test_the_recurrent_layer_before_post_processing_takes_its_scale_and_shift():
    model = chain(1, True, seed=7)
    x = samples(model, 2)
    before = model.forward(x)
    rnn = model.layers[1]
    rnn.variables["output_scales"] = np.full(rnn.variables["output_scales"].shape, 9, np.uint8)
    rnn.variables["output_shift"] = np.full(rnn.variables["output_shift"].shape, -3, np.int8)
    same(model.forward(x), before)
    post = model.layers[2]
    post.variables["input_scales"] = np.zeros(post.variables["input_scales"].shape, np.uint8)
    post.variables["threshold"] = np.zeros(1, np.uint16)
    assert not model.forward(x).any()


# ------------------------------------------------------------------ mapping on a virtual lumo device


def tracks(reader, sequence):
    """The records of the only pass, each a list of its tracks' words (checked against their spans)."""
    info, data_root, data = roots(reader, sequence.program)
    assert data_root.PassesLength() == 1
    spans, records = info.Passes(0), data_root.Passes(0)
    out = []
    for r in range(records.RecordsLength()):
        record = records.Records(r)
        assert not written(record, 1)
        found = []
        for t in range(record.TracksLength()):
            track = record.Tracks(t)
            words = [track.Words(i) for i in range(track.WordsLength())]
            span = spans.Records(r).Tracks(t)
            assert words_at(data, span.Offset(), span.Size()) == words
            found.append(words)
        out.append(found)
    return out


@pytest.mark.parametrize("count, post", [(n, False) for n in range(1, 9)] + [(n, True) for n in range(1, 8)])
@pytest.mark.parametrize("bits", [8, 16])
def test_chains_map_as_one_record_of_three_tracks_on_the_tnpr(reader, count, post, bits):
    model = chain(count, post, bits=bits, seed=count)
    model._map(lumo_device())
    (sequence,) = model.sequences
    assert [[l.name for l in p.layers] for p in sequence.passes] == [[l.name for l in model.layers]]
    records = tracks(reader, sequence)
    # The input/output record and the input layer's are empty; the head records the whole chain, and
    # nothing is recorded after it.
    assert records[:2] == [[], []] and len(records) == 3
    regs, fsram, tsram = records[2]
    ident = TNPR.col | TNPR.row << 8 | TNPR.id << 16
    assert [(t[0] & 0xFFFFFF, t[1] >> 28) for t in records[2]] == [(ident, REGISTERS), (ident, FSRAM), (ident, TSRAM)]
    n = count + post
    assert len(regs) == 2 + 16
    assert regs[2] & 7 == n - 1 and (regs[2] >> 17 & 1) == post and (regs[2] >> 19 & 1) == (bits == 16)
    info = model.layers[1].mapping.nps[0].mem_info
    assert len(fsram) - 2 == 2 * info.fsram_64b_size
    assert len(tsram) - 2 == 2 * info.tsram_51b_size
    assert [str(c.ident) for c in model.layers[1].mapping.nps] == [str(TNPR)]


def map_text(model, device=None):
    with pytest.raises(RuntimeError) as error:
        model._map(device or lumo_device())
    return str(error.value)


def edited(name, variable, values, count=2, post=True):
    model = chain(count, post)
    current = next(l for l in model.layers if l.name == name)
    current.variables[variable] = np.full(current.variables[variable].shape, values,
                                          current.variables[variable].dtype)
    return model


@pytest.mark.parametrize("build, text", [
    (lambda: chain(8, True), "A model cannot have more that 8 StatefulRecurrent layers."),
    (lambda: edited("r1", "input_shift", 9),
     "Cannot map layer 'r1'. Variable input_shift needs 4 bits, more than the 3 allowed."),
    (lambda: edited("r2", "output_scales", 3),
     "Cannot map layer 'r2'. Output scales must be 1 for the last StatefulRecurrent layer before a "
     "LumoPostProcessing layer (got 3)."),
    (lambda: chain(2, False, states=24), "Cannot map layer 'r1'. State channels must be a power of 2. (got 24)."),
    (lambda: chain(1, True, steps=2), "Cannot map layer 'post'. Timesteps dimension must be at least 3 (got 2)."),
    (lambda: chain(1, False, subsample=5),
     "Cannot map layer 'r1'. Subsample ratio exceeds max limit of 4 for TNP-R. (got 5)."),
    (lambda: chain(1, False, channels=12),
     "Cannot map layer 'r1'. The packed input row (channels x input bits) must occupy a power-of-2 number of "
     "32-bit words (got 3 words for 12 channels at 8-bit)."),
])
def test_chain_rules_give_their_texts(build, text):
    assert map_text(build()) == text


def test_a_subsample_of_zero_passes_the_rules_and_fails_its_register_field():
    text = map_text(chain(1, False, subsample=0))
    assert "Attempted to write value 4294967295 into a 2-bit field, which will cause an overflow." in text


def test_other_kinds_and_learning_are_refused():
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=4, input_height=4, input_channels=1, input_bits=8))
    model.add(layer(core.Dense1D, "dense", units=4))
    assert map_text(model) == "Cannot map layer 'dense'. Unsupported layer type on Lumo."
    model = chain(1, False)
    model.compile(core.OvrixUnsupervised(num_weights=1, num_classes=1))
    assert "Learning not implemented on lumo." in map_text(model)


# ------------------------------------------------------------------ an emulated lumo device


@with_devices("lumo:soc+flash")
def test_forward_runs_on_an_emulated_lumo_device():
    (device,) = core.devices()
    assert device.ip_version == core.IpVersion.lumo
    model = chain(2, True, bits=8)
    model._map(device)
    x = samples(model, 3)
    out = model.forward(x)
    assert out.shape == (3, 2, 1, 1)
    want = np.stack([expected_output(s, (2, 1, 1), str(out.dtype)) for s in x])
    same(out, want)
    assert model.metrics["inference_frames"] == 3
