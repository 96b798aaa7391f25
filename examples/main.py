"""Builds a small model, prints its layers, runs it in software and prints the predicted classes, saves it
and loads it back byte for byte, then maps it on a virtual v2 device and shows where each layer runs and
what the device program needs."""
import os
import sys
import tempfile

import numpy as np

from ovrix import core

NP = core.NP


def layer(layer_type, name, **entries):
    return core.Layer(core.LayerParams(layer_type, entries), name)


def build_model():
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=32, input_height=32, input_channels=3, input_bits=8,
                    input_signed=0))
    # The first convolution reads the 8-bit image on the input convolution block (HRC).
    model.add(layer(core.InputConv2D, "conv_1", filters=16, kernel_size=3, kernel_stride=2, padding=int(core.Same),
                    weights_bits=8, activation=1, output_bits=4, pool_type=int(core.NoPooling), pool_size=1))
    model.add(layer(core.DepthwiseConv2D, "dw_conv_2", kernel_size=3, kernel_stride=1, padding=int(core.Same),
                    weights_bits=4, activation=1, output_bits=4, pool_type=int(core.Max), pool_size=2))
    model.add(layer(core.Conv2D, "conv_3", filters=32, kernel_size=1, kernel_stride=1, padding=int(core.Same),
                    weights_bits=4, activation=1, output_bits=4, pool_type=int(core.Average), pool_size=-1))
    # The dense classifier gives the raw 32-bit potentials: no activation, and so no output scaling.
    model.add(layer(core.Dense1D, "classifier", units=10, weights_bits=4, activation=0, output_bits=32))
    # Deterministic weights, so that the saved file and the program carry more than zeros.
    rng = np.random.default_rng(0)
    for current in model.layers:
        variables = current.variables
        if "weights" in variables.names:
            shape = variables["weights"].shape
            bound = 128 if current.parameters.weights_bits == 8 else 8
            variables["weights"] = rng.integers(-bound, bound, size=shape).astype(np.int8)
        # Output scales and shifts, and the ReLU maxima, so that activations are neither all 0 nor saturated.
        if "output_scales" in variables.names and current.name != "classifier":
            channels = variables["output_scales"].shape
            variables["output_scales"] = rng.integers(1, 16, size=channels).astype(np.uint8)
            variables["output_shift"] = np.full(channels, -4, np.int8)
        if "max_value" in variables.names:
            variables["max_value"] = np.full(variables["max_value"].shape, 255, np.uint8)
            variables["max_value_shift"] = np.full(variables["max_value"].shape, 4, np.uint8)
    classifier = model.get_layer("classifier")
    classifier.variables["output_scales"] = np.ones_like(classifier.variables["output_scales"])
    return model


def virtual_v2_device():
    """A v2 mesh of 4 columns x 2 rows x 4 NPs (less the two DMA endpoints of node (1, 1)), each NP a CNP
    and a TNP-B with a lookup table and an FNP3 or FNP2, one skip-DMA engine per column and an HRC."""
    nps = [NP.Info(NP.Ident(col, row, i), [NP.CNP1, NP.CNP2, NP.TNP_B, NP.FNP3 if i % 2 == 0 else NP.FNP2], True)
           for col in range(1, 5) for row in (1, 2) for i in range(4) if (col, row) != (1, 1) or i >= 2]
    skip_dmas = [NP.Info(NP.Ident(col, 1, 3, 4), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD]) for col in range(1, 5)]
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), NP.Info.hrc(True), nps, skip_dmas)
    return core.Device(core.HwVersion.Proteo_v2, mesh)


def run_in_software(model, samples=8):
    """Runs images (a square of a random colour at a random place on black) through the unmapped model,
    in software, and prints each one's predicted class: the neuron of highest potential."""
    rng = np.random.default_rng(1)
    width, height, channels = model.input_shape
    x = np.zeros((samples, width, height, channels), np.uint8)
    for image in x:
        row, col = rng.integers(0, width - 8), rng.integers(0, height - 8)
        image[row:row + 8, col:col + 8] = rng.integers(0, 256, size=channels)
    potentials = model.predict(x)
    classes = potentials.reshape(samples, -1).argmax(axis=1)
    print(f"software inference of {samples} samples in {model.metrics['inference_end'] - model.metrics['inference_start']}"
          f" ms, predicted classes: {classes.tolist()}")


def print_layers(model):
    print(f"{'layer':<12} {'type':<16} {'input':<16} {'output':<14} {'MACs':>10}")
    for current in model.layers:
        print(f"{current.name:<12} {current.parameters.layer_type.name:<16} {str(current.input_dims):<16} "
              f"{str(current.output_dims):<14} {current.macs:>10}")


def print_mapping(model):
    print(f"mapped on {model.device.desc}")
    for sequence in model.sequences:
        parts = sequence.program_parts
        program = sequence.program
        print(f"{sequence.name} ({sequence.backend.name}): {len(sequence.passes)} pass(es), program "
              f"{len(program) if program else 0} bytes "
              f"({len(parts.program_info) if parts.program_info else 0} information + "
              f"{len(parts.program_data) if parts.program_data else 0} data)")
        print(f"  {'layer':<12} {'pass':>4}  NPs")
        for index, mapped_pass in enumerate(sequence.passes):
            for current in mapped_pass.layers:
                mapping = current.mapping
                placed = [] if mapping is None else mapping.skipdma_loads + mapping.nps + mapping.skipdma_stores
                where = ", ".join(f"{c.type.name} {c.ident}" for c in placed) or "-"
                print(f"  {current.name:<12} {index:>4}  {where}")
        if program:
            print(f"  {core.get_program_memory_infos(program)}")
    counts = ", ".join(f"{component_type.name} x{count}" for component_type, count in model.component_count.items())
    print(f"components: {counts}; external memory: {model.external_memory_size} bytes")


def main():
    print(f"ovrix.core {core.__version__}")
    model = build_model()
    print_layers(model)
    run_in_software(model)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "model.fbz")
        model.save(path)
        loaded = core.Model(path)
        original, reloaded = model.to_buffer(), loaded.to_buffer()
        same = original == reloaded
        print(f"saved {os.path.getsize(path)} bytes ({len(original)} serialized), loaded back: "
              f"{'byte-identical' if same else 'DIFFERENT'}")

    try:
        model._map(virtual_v2_device())
    except RuntimeError as error:
        print(f"mapping failed: {error}")
        return 1
    print_mapping(model)
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
