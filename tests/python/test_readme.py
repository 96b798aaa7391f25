"""The documentation a newcomer follows agrees with the code: every ```python block of README.md runs as
written, in order, as one session in a fresh interpreter (which sets OVRIX_EMULATED_DEVICES itself, as the
README says to), and the refusals the READMEs quote are the texts the module gives."""
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from helpers import layer, v2_device
from ovrix import core

NP = core.NP
REPO = Path(__file__).resolve().parents[2]
README = REPO / "README.md"
ENGINE_README = REPO / "engine" / "README.md"


def python_blocks(text):
    return re.findall(r"^```python\n(.*?)^```", text, re.S | re.M)


def test_readme_snippets_run_in_order(tmp_path):
    blocks = python_blocks(README.read_text(encoding="utf-8"))
    assert len(blocks) >= 10, "the README's Python snippets were not found"
    script = tmp_path / "readme_session.py"
    script.write_text("\n\n".join(blocks), encoding="utf-8")
    env = dict(os.environ)
    env.pop("OVRIX_EMULATED_DEVICES", None)
    # From an empty directory, so that the installed package is imported and saved files land there.
    child = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0, f"{child.stdout}\n{child.stderr}"
    assert (tmp_path / "model.fbz").is_file()


def v1_device():
    """The four NPs of node (1, 2), each a CNP and an FNP: enough for a convolution and a dense layer."""
    nps = [NP.Info(NP.Ident(1, 2, i), [NP.CNP1, NP.CNP2, NP.FNP3 if i % 2 == 0 else NP.FNP2], False) for i in range(4)]
    mesh = NP.Mesh(core.IpVersion.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, nps, [])
    return core.Device(core.HwVersion.Tamsel_v1, mesh)


def v2_conv_model(**conv):
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=8, input_height=8, input_channels=1, input_bits=8))
    model.add(layer(core.Conv2D, "conv", filters=4, kernel_size=3, weights_bits=4, output_bits=8, **conv))
    return model


def set_float_weights(_):
    conv = v2_conv_model().get_layer("conv")
    conv.variables["weights"] = np.zeros(conv.variables["weights"].shape, np.float32)


def forward_int32(_):
    v2_conv_model().forward(np.zeros((1, 8, 8, 1), np.int32))


def map_wide_activation_shift(_):
    model = v2_conv_model(activation=int(core.LUT))
    conv = model.get_layer("conv")
    conv.variables["weights"] = np.ones(conv.variables["weights"].shape, np.int8)
    conv.variables["activation_shift"] = np.full(4, 40, np.int8)
    model._map(v2_device())


def map_local_average_pooling(_):
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=8, input_height=8, input_channels=3, input_bits=4))
    model.add(layer(core.Convolutional, "features", filters=8, padding=int(core.Same), weights_bits=2, act_bits=1,
                    pool_type=int(core.Average), pooling_width=2, pooling_height=2))
    model.add(layer(core.FullyConnected, "dense", units=6, weights_bits=1, act_bits=1))
    model._map(v1_device())


def map_wrong_num_weights(_):
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=8, input_height=8, input_channels=3, input_bits=4))
    features = layer(core.Convolutional, "features", filters=8, padding=int(core.Same), weights_bits=2, act_bits=1,
                     pool_type=int(core.Average), pooling_width=-1, pooling_height=-1)
    model.add(features)
    features.variables["weights"] = np.ones(features.variables["weights"].shape, np.int8)
    model.add(layer(core.FullyConnected, "dense", units=6, weights_bits=1, act_bits=1))
    model.compile(core.OvrixUnsupervised(num_weights=3, num_classes=3))
    model._map(v1_device())


def save_into_missing_directory(tmp_path):
    v2_conv_model().save(str(tmp_path / "missing" / "model.fbz"))


@pytest.mark.parametrize("action, error, quoted, document", [
    (set_float_weights, ValueError, "Unsupported variable type for weights expected int8 received float32",
     ENGINE_README),
    (forward_int32, ValueError, "Input dtype should be int8, uint8, int16 or float32.", ENGINE_README),
    (map_wide_activation_shift, RuntimeError,
     "Cannot map layer 'conv'. Error: 40 cannot fit in a 6-bit signed integer.", README),
    (map_local_average_pooling, RuntimeError, "Average pooling must be global.", README),
    (map_wrong_num_weights, RuntimeError,
     "The number of weights per neuron should match the num_weights OvrixUnsupervised parameter.", README),
    (save_into_missing_directory, ValueError, "Unable to open file for saving model: ", README),
], ids=["variable-dtype", "input-dtype", "activation-shift", "global-average", "num-weights", "save-directory"])
def test_quoted_refusals_are_the_module_texts(action, error, quoted, document, tmp_path):
    text = " ".join(document.read_text(encoding="utf-8").split())
    assert quoted in text, f"{document.name} no longer quotes {quoted!r}"
    with pytest.raises(error) as raised:
        action(tmp_path)
    assert quoted in str(raised.value)
