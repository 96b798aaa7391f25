"""Helpers for tests on emulated devices.

devices() discovers once per process, so a test that needs a set of emulated devices runs in a fresh
interpreter of its own: `with_devices("v2,v1:soc")` reruns the decorated test in a child pytest with
OVRIX_EMULATED_DEVICES set (None: unset) and fails with the child's output when the child fails.

build_program writes small device programs with the flatbuffers package, by field number, and the
expected_* functions restate the emulated device's documented output and learning rules.
"""

import functools
import os
import struct
import subprocess
import sys

import flatbuffers
import numpy as np
import pytest

VARIABLE = "OVRIX_EMULATED_DEVICES"
_CHILD = "OVRIX_EMULATED_DEVICES_CHILD"
PROGRAM_DATA_ADDRESS = 0x20000000

# Output types that script an emulated device (engine/README.md).
FORCE_TYPE = 0x80
NO_OUTPUTS = 0xF0
RAGGED_SIZE = 0xF1
RAGGED_RANK = 0xF2
TENSOR_TYPES = {"int32": 0, "float32": 1, "uint8": 2, "int16": 3, "int8": 4, "int4": 5, "int2": 6,
                "uint4": 7, "uint2": 8, "bit": 9, "uint16": 10}


def with_devices(devices):
    def decorate(test):
        @functools.wraps(test)
        def run(*args, **kwargs):
            if os.environ.get(_CHILD) == "1":
                assert os.environ.get(VARIABLE) == devices
                return test(*args, **kwargs)
            node = os.environ["PYTEST_CURRENT_TEST"].rsplit(" ", 1)[0]
            target = test.__code__.co_filename + "::" + node.split("::", 1)[1]
            env = dict(os.environ)
            env[_CHILD] = "1"
            env["PYTEST_DISABLE_PLUGIN_AUTOLOAD"] = "1"  # the child needs no third-party plugin; starts faster
            env.pop(VARIABLE, None)
            if devices is not None:
                env[VARIABLE] = devices
            child = subprocess.run(
                [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", target],
                env=env, capture_output=True, text=True, timeout=300)
            if child.returncode != 0:
                pytest.fail(f"in a process with {VARIABLE}={devices!r}:\n{child.stdout}\n{child.stderr}",
                            pytrace=False)

        return run

    return decorate


# --- device programs ------------------------------------------------------------------------------

def _u32_vector(b, values):
    b.StartVector(4, len(values), 4)
    for v in reversed(values):
        b.PrependUint32(v)
    return b.EndVector()


def _offset_vector(b, offsets):
    b.StartVector(4, len(offsets), 4)
    for o in reversed(offsets):
        b.PrependUOffsetTRelative(o)
    return b.EndVector()


def _track(b, words):
    vec = _u32_vector(b, words)
    b.StartObject(1)
    b.PrependUOffsetTRelativeSlot(0, vec, 0)
    return b.EndObject()


def _record(b, tracks=None, fnp2_words=None):
    filters = None
    if fnp2_words is not None:
        vec = _u32_vector(b, fnp2_words)
        b.StartObject(2)
        b.Prep(1, 3)
        for byte in (2, 1, 1):  # NpIdent col 1, row 1, id 2, written backwards
            b.PrependUint8(byte)
        b.PrependStructSlot(0, b.Offset(), 0)
        b.PrependUOffsetTRelativeSlot(1, vec, 0)
        filters = b.EndObject()
    track_vec = _offset_vector(b, [_track(b, t) for t in tracks]) if tracks is not None else None
    b.StartObject(2)
    if track_vec is not None:
        b.PrependUOffsetTRelativeSlot(0, track_vec, 0)
    if filters is not None:
        b.PrependUOffsetTRelativeSlot(1, filters, 0)
    return b.EndObject()


def build_program(input_dims=(4, 4, 1), output_dims=(1, 1, 10), output_type=0, output_bits=0, output_flag=False,
                  fnp3=None, fnp2=None, tag=0, fnp=None, fnp3_tracks=None):
    """A device program whose information gives these shapes and output format; fnp3/fnp2 give it a
    learning layer whose weight memory holds those words (fnp3_tracks: the memory record's tracks, for
    a block after an empty track); fnp = (neurons, input words) gives its learning registers the
    layout of that memory."""
    if fnp3_tracks is not None:
        fnp3 = []
    data = flatbuffers.Builder(1024)
    record = _record(data, tracks=[[tag]])
    records = _offset_vector(data, [record])
    data.StartObject(1)
    data.PrependUOffsetTRelativeSlot(0, records, 0)
    passes = _offset_vector(data, [data.EndObject()])
    learning = None
    if fnp3 is not None or fnp2 is not None:
        first = _record(data, tracks=[learning_registers(*fnp) if fnp is not None else [7]])
        second = _record(data, tracks=[[7]])
        if fnp3_tracks is not None:
            third = _record(data, tracks=[list(t) for t in fnp3_tracks])
        elif fnp3 is not None:
            third = _record(data, tracks=[list(fnp3)])
        else:
            third = _record(data, fnp2_words=list(fnp2))
        data.StartObject(5)
        data.PrependUint32Slot(4, 3, 0)
        data.PrependUOffsetTRelativeSlot(3, third, 0)
        data.PrependUOffsetTRelativeSlot(2, second, 0)
        data.PrependUOffsetTRelativeSlot(1, first, 0)
        data.Prep(1, 3)
        for byte in (2, 1, 1):
            data.PrependUint8(byte)
        data.PrependStructSlot(0, data.Offset(), 0)
        learning = data.EndObject()
    data.StartObject(3)
    data.Prep(4, 8)
    data.PrependUint32(0)
    data.PrependUint32(0)
    data.PrependStructSlot(2, data.Offset(), 0)
    if learning is not None:
        data.PrependUOffsetTRelativeSlot(1, learning, 0)
    data.PrependUOffsetTRelativeSlot(0, passes, 0)
    data.FinishSizePrefixed(data.EndObject())

    info = flatbuffers.Builder(1024)
    version = info.CreateString("0.1.0")
    inputs = _u32_vector(info, list(input_dims))
    outputs = _u32_vector(info, list(output_dims))
    info.StartVector(4, 0, 4)
    shifts = info.EndVector()
    info.StartVector(4, 0, 4)
    scales = info.EndVector()
    info.StartObject(23)
    info.PrependUOffsetTRelativeSlot(0, version, 0)
    info.PrependUOffsetTRelativeSlot(2, inputs, 0)
    info.PrependUOffsetTRelativeSlot(3, outputs, 0)
    info.PrependUint8Slot(5, output_type, 0)
    info.PrependUint8Slot(6, output_bits, 0)
    info.PrependBoolSlot(7, output_flag, False)
    info.PrependUOffsetTRelativeSlot(10, shifts, 0)
    info.PrependUOffsetTRelativeSlot(11, scales, 0)
    info.PrependUint8Slot(12, 2, 0)
    info.FinishSizePrefixed(info.EndObject())
    return bytes(info.Output()) + bytes(data.Output())


def info_part(program):
    """The size-prefixed program-information part of a program."""
    return program[: 4 + struct.unpack_from("<I", program, 0)[0]]


# --- the emulated device's rules ------------------------------------------------------------------

_MASK = (1 << 64) - 1


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) & _MASK
    return h


def splitmix64(x):
    x = (x + 0x9E3779B97F4A7C15) & _MASK
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & _MASK
    return x ^ (x >> 31)


def expected_output(sample, shape, dtype):
    """The output an emulated device gives for one sample (a uint8 array)."""
    h = fnv1a64(np.ascontiguousarray(sample, dtype=np.uint8).tobytes())
    count = int(np.prod(shape))
    v = [splitmix64((h + k) & _MASK) for k in range(count)]
    if dtype == "int32":
        out = np.array([x & 0xFFFFFFFF for x in v], dtype=np.uint32).view(np.int32)
    elif dtype == "float32":
        out = np.array([((x & 0xFFFF) - 32768) / 256 for x in v], dtype=np.float32)
    elif dtype == "uint8":
        out = np.array([x & 0xFF for x in v], dtype=np.uint8)
    elif dtype == "int8":
        out = np.array([x & 0xFF for x in v], dtype=np.uint8).view(np.int8)
    elif dtype == "bit":
        out = np.array([x & 1 for x in v], dtype=np.uint8)
    else:
        raise ValueError(dtype)
    return out.reshape(shape)


def learning_registers(neurons, input_words):
    """The learning-registers track of a v1 FNP: a 2-word DMA header, then the 50-word register image
    whose word 14 holds the input words and word 15 the neurons."""
    image = [0] * 50
    image[14] = input_words
    image[15] = neurons
    return [0, 0] + image


def learning_memory(weights, classes, header=()):
    """A learning memory of neuron blocks: header words (threshold, step with the class plus 1 in bits
    20..29, learning words), then a bit per input; weights is (neurons, inputs) of 0 and 1."""
    words = list(header)
    groups = -(-weights.shape[1] // 32)
    for k, row in enumerate(weights):
        block = [0x80000, (classes[k] + 1) << 20 if classes is not None else 0, 5, 0] + [0] * groups
        for i in np.flatnonzero(row):
            block[4 + i // 32] |= 1 << (i % 32)
        words += block
    return words


def expected_learning(memory, samples, labels, fnp3, neurons, input_words):
    """The learning memory after fit with learning on (a list of uint32 words): the v1 rule of the
    software fit, on the inputs the emulated FNP sees."""
    memory = list(memory)
    header = 2 if fnp3 and len(memory) > 2 else 0
    block = input_words + 4
    for n, sample in enumerate(samples):
        values = np.asarray(sample).reshape(-1).astype(np.int64)
        if -(-values.size // 32) == input_words:
            x = values
        else:
            h = fnv1a64(np.ascontiguousarray(sample, dtype=np.uint8).tobytes())
            x = np.array([splitmix64((h + i) & _MASK) & 1 for i in range((input_words - 1) * 32 + 1)])
        label = -1 if len(labels) == 0 else int(labels[0 if len(labels) == 1 else n])
        if len(labels) and label < 0:
            continue
        blocks = [memory[header + k * block: header + (k + 1) * block] for k in range(neurons)]
        bits = [[(b[4 + i // 32] >> (i % 32)) & 1 for i in range(len(x))] for b in blocks]
        winner, best = None, None
        for k, b in enumerate(blocks):
            cls = (b[1] >> 20) & 0x3FF
            if label >= 0 and (cls - 1 if cls else 0) != label:
                continue
            p = int(np.dot(x, bits[k])) & 0xFFFFFFFF
            p = p - (1 << 32) if p >= 1 << 31 else p
            if winner is None or p > best:
                winner, best = k, p
        if winner is None:
            continue
        w = bits[winner]
        src = next((i for i in range(len(x)) if w[i] and x[i] == 0), None)
        dst = next((i for i in range(len(x)) if not w[i] and x[i] != 0), None)
        if src is None or dst is None:
            continue
        base = header + winner * block + 4
        memory[base + src // 32] &= ~(1 << (src % 32)) & 0xFFFFFFFF
        memory[base + dst // 32] |= 1 << (dst % 32)
    return memory


def words_of(data):
    return list(struct.unpack(f"<{len(data) // 4}I", data[: len(data) // 4 * 4]))


def bytes_of(words):
    return struct.pack(f"<{len(words)}I", *words)
