"""A model cannot be changed, or mapped again, while it is being mapped: not from the MapConstraints
hooks the mapping calls, nor from another thread meanwhile."""
import threading

import numpy as np
import pytest

from helpers import conv2d, input_data
from ovrix import core

NP = core.NP
REFUSED = "^Cannot {} while the model is being mapped\\.$"


def v2_device():
    idents = [NP.Ident(col, row, i) for col in (1, 2) for row in (1, 2) for i in range(4) if (col, row) != (1, 1) or i >= 2]
    infos = [NP.Info(ident, [NP.CNP1, NP.CNP2]) for ident in idents]
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, infos)
    return core.Device(core.HwVersion.Proteo_v2, mesh)


def chain():
    model = core.Model()
    model.add(input_data(width=8, height=8, channels=4, bits=4))
    for name in ("c1", "c2", "c3"):
        model.add(conv2d(name, filters=4))
    return model


class Hook(core.MapConstraints):
    """Runs `edit` when the mapper announces layer c2."""

    def __init__(self, device, edit):
        super().__init__(device)
        self.edit = edit

    def next_layer_handler(self, layer_name):
        if layer_name == "c2":
            self.edit()


def assert_whole(model, layers):
    """The model has its layers, and its sequences (when mapped) hold every one of them; an unmapped
    model runs them all."""
    assert [model.get_layer(i).name for i in range(model.layer_count)] == layers
    if model.sequences:
        assert [layer.name for s in model.sequences for p in s.passes for layer in p.layers] == layers
    else:
        x = np.zeros((1, 8, 8, 4), np.uint8)
        assert list(model.forward(x).shape[1:]) == list(model.output_shape)


def test_edits_from_a_hook_are_refused_and_the_mapping_stays_whole():
    model = chain()
    device = v2_device()
    errors = []

    def edit():
        for name, change in [("add a layer", lambda: model.add(conv2d("late"))),
                             ("remove a layer", model.pop_layer),
                             ("compile the model", lambda: model.compile(core.OvrixUnsupervised(1))),
                             ("map the model", lambda: model._map(device))]:
            with pytest.raises(RuntimeError, match=REFUSED.format(name)):
                change()
            errors.append(name)

    model._map(device, True, Hook(device, edit))
    assert len(errors) == 4
    assert_whole(model, ["input", "c1", "c2", "c3"])
    assert model.device is not None and len(model.sequences) == 1
    assert model.learning is None


def test_an_edit_from_another_thread_during_a_mapping_is_refused():
    model = chain()
    device = v2_device()
    errors = []

    def add_late():
        try:
            model.add(conv2d("late"))
        except RuntimeError as e:
            errors.append(str(e))

    def edit():
        # The hook runs Python code: another thread may take the interpreter meanwhile.
        other = threading.Thread(target=add_late)
        other.start()
        other.join()

    model._map(device, True, Hook(device, edit))
    assert errors == ["Cannot add a layer while the model is being mapped."]
    assert_whole(model, ["input", "c1", "c2", "c3"])


def test_a_hook_failing_on_a_refused_edit_leaves_the_model_unmapped():
    model = chain()
    device = v2_device()
    with pytest.raises(RuntimeError, match=REFUSED.format("add a layer")):
        model._map(device, True, Hook(device, lambda: model.add(conv2d("late"))))
    assert model.device is None and model.sequences == []
    assert_whole(model, ["input", "c1", "c2", "c3"])
    model.add(conv2d("late"))  # the model takes edits again
    assert_whole(model, ["input", "c1", "c2", "c3", "late"])
