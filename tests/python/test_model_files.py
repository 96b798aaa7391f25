import os
import random

import pytest

import snappy_raw
from helpers import every_kind_models, fill_variables, v1_model, v2_model
from ovrix import core


@pytest.fixture(params=["v1", "v2"] + [f"kinds_{i}" for i in range(len(every_kind_models()))])
def model(request):
    if request.param == "v1":
        m = v1_model()
    elif request.param == "v2":
        m = v2_model()
    else:
        m = every_kind_models()[int(request.param.split("_")[1])]
    for i, layer in enumerate(m.layers):
        fill_variables(layer, seed=i)
    return m


def test_every_layer_kind_is_covered():
    kinds = {l.parameters.layer_type for m in every_kind_models() for l in m.layers}
    assert kinds == {t for t in core.LayerType.__members__.values() if t != core.Unknown}


def test_save_load_round_trip(model, tmp_path):
    path = tmp_path / "model.fbz"
    model.save(str(path))
    loaded = core.Model(str(path))
    assert loaded.to_buffer() == model.to_buffer()
    assert [l.name for l in loaded.layers] == [l.name for l in model.layers]
    # The file is exactly the raw snappy block of the serialized model.
    assert snappy_raw.decompress(path.read_bytes()) == model.to_buffer()


def test_bytes_and_bytearray_paths(tmp_path):
    m = v2_model()
    path = os.fsencode(tmp_path / "m.fbz")
    m.save(path)
    assert core.Model(bytearray(path)).to_buffer() == m.to_buffer()


def test_a_file_from_another_snappy_encoder_loads(tmp_path):
    m = v2_model()
    path = tmp_path / "literal.fbz"
    path.write_bytes(snappy_raw.compress_literal(m.to_buffer()))
    assert core.Model(str(path)).to_buffer() == m.to_buffer()


def test_extra_bytes_after_the_block_still_load(tmp_path):
    m = v2_model()
    path = tmp_path / "m.fbz"
    m.save(str(path))
    with open(path, "ab") as f:
        f.write(b"\x00trailing garbage\xff" * 3)
    assert core.Model(str(path)).to_buffer() == m.to_buffer()


def test_a_highly_compressible_model_loads(tmp_path):
    # Zero weights compress close to snappy's densest ratio; the loader's length bound must allow it.
    m = core.Model()
    m.add(core.Layer(core.LayerParams(core.InputData, {"input_width": 1, "input_height": 1,
                                                       "input_channels": 2048, "input_bits": 8}), "input"))
    m.add(core.Layer(core.LayerParams(core.Dense1D, {"units": 1024, "weights_bits": 8}), "dense"))
    path = tmp_path / "zeros.fbz"
    m.save(str(path))
    assert path.stat().st_size * 15 < len(m.to_buffer())
    assert core.Model(str(path)).to_buffer() == m.to_buffer()


def test_to_buffer_is_bytes_and_stable():
    m = v2_model()
    assert isinstance(m.to_buffer(), bytes)
    assert m.to_buffer() == m.to_buffer()


class TestRefusedFiles:
    def test_missing_file(self, tmp_path):
        with pytest.raises(RuntimeError, match=r"^File not found\.$"):
            core.Model(str(tmp_path / "absent.fbz"))

    def test_empty_file(self, tmp_path):
        path = tmp_path / "empty.fbz"
        path.write_bytes(b"")
        with pytest.raises(RuntimeError, match=r"^File is empty\.$"):
            core.Model(str(path))

    @pytest.mark.parametrize("content", [b"\xff" * 10, b"\x80", b"\xff\xff\xff\xff\xff\xff"])
    def test_no_valid_length(self, tmp_path, content):
        path = tmp_path / "bad.fbz"
        path.write_bytes(content)
        with pytest.raises(ValueError, match="^Cannot uncompress corrupted serialization buffer$"):
            core.Model(str(path))

    def test_announced_length_beyond_what_the_block_can_hold(self, tmp_path):
        # 4 GiB - 1 announced by a 12-byte file: refused before anything that size is allocated.
        path = tmp_path / "huge.fbz"
        path.write_bytes(b"\xff\xff\xff\xff\x0f" + b"\x00" * 7)
        with pytest.raises(ValueError, match="^Cannot uncompress corrupted serialization buffer$"):
            core.Model(str(path))

    def test_file_longer_than_the_loader_reads(self, tmp_path):
        path = tmp_path / "sparse.fbz"
        with open(path, "wb") as f:
            f.truncate(2**31)
        with pytest.raises(RuntimeError, match="too large"):
            core.Model(str(path))

    def test_directory(self, tmp_path):
        with pytest.raises(RuntimeError, match=r"^File not found\.$"):
            core.Model(str(tmp_path))

    def test_truncated_files(self, tmp_path):
        m = v2_model()
        fill_variables(m.get_layer("conv_1"))
        path = tmp_path / "m.fbz"
        m.save(str(path))
        data = path.read_bytes()
        cut = tmp_path / "cut.fbz"
        for length in sorted({1, 2, 3, len(data) // 4, len(data) // 2, len(data) - 2, len(data) - 1}):
            cut.write_bytes(data[:length])
            with pytest.raises((RuntimeError, ValueError)):
                core.Model(str(cut))

    def test_truncated_or_corrupted_serialized_models_in_valid_blocks(self, tmp_path):
        buffer = v2_model().to_buffer()
        path = tmp_path / "m.fbz"
        rng = random.Random(7)
        cases = [buffer[:n] for n in (0, 1, 4, 8, len(buffer) // 2, len(buffer) - 1)]
        for _ in range(40):
            flipped = bytearray(buffer)
            bit = rng.randrange(len(flipped) * 8)
            flipped[bit // 8] ^= 1 << (bit % 8)
            cases.append(bytes(flipped))
        for content in cases:
            path.write_bytes(snappy_raw.compress_literal(content))
            with pytest.raises((RuntimeError, ValueError)):
                core.Model(str(path))

    def test_bit_flipped_files(self, tmp_path):
        m = v1_model()
        path = tmp_path / "m.fbz"
        m.save(str(path))
        data = path.read_bytes()
        expected = m.to_buffer()
        rng = random.Random(11)
        flipped_path = tmp_path / "flipped.fbz"
        for _ in range(60):
            flipped = bytearray(data)
            bit = rng.randrange(len(flipped) * 8)
            flipped[bit // 8] ^= 1 << (bit % 8)
            flipped_path.write_bytes(bytes(flipped))
            try:
                loaded = core.Model(str(flipped_path))
            except (RuntimeError, ValueError):
                continue
            # A flip the decompressor does not see (past the block's end) must not change the model.
            assert loaded.to_buffer() == expected

    def test_random_files(self, tmp_path):
        rng = random.Random(3)
        path = tmp_path / "random.fbz"
        for n in (1, 7, 64, 1000, 5000):
            for _ in range(5):
                path.write_bytes(bytes(rng.randrange(256) for _ in range(n)))
                with pytest.raises((RuntimeError, ValueError)):
                    core.Model(str(path))


class TestSaving:
    def test_missing_directory(self, tmp_path):
        path = str(tmp_path / "no" / "such" / "dir" / "m.fbz")
        with pytest.raises(ValueError) as e:
            v2_model().save(path)
        assert str(e.value) == "Unable to open file for saving model: " + path

    @pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
    def test_write_errors_raise(self):
        with pytest.raises(RuntimeError, match="Unable to write model file"):
            v2_model().save("/dev/full")

    def test_save_replaces_an_existing_file(self, tmp_path):
        path = tmp_path / "m.fbz"
        path.write_bytes(b"x" * 100000)
        m = v2_model()
        m.save(str(path))
        assert snappy_raw.decompress(path.read_bytes()) == m.to_buffer()

    @pytest.mark.parametrize("bad", [None, 3, ["m.fbz"]])
    def test_path_must_be_a_string(self, bad):
        with pytest.raises(TypeError):
            v2_model().save(bad)


def test_from_buffer_fuzz_never_crashes(tmp_path):
    """Random and mutated serialized models, each handed to the loader in a valid block."""
    rng = random.Random(1234)
    seeds = [v1_model().to_buffer(), v2_model().to_buffer()] + [m.to_buffer() for m in every_kind_models()]
    path = tmp_path / "fuzz.fbz"
    for i in range(300):
        base = bytearray(rng.choice(seeds))
        op = i % 4
        if op == 0:
            for _ in range(rng.randrange(1, 8)):
                base[rng.randrange(len(base))] = rng.randrange(256)
        elif op == 1:
            del base[rng.randrange(len(base)):]
        elif op == 2:
            pos = rng.randrange(len(base))
            base[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 32)))
        else:
            base = bytearray(rng.randrange(256) for _ in range(rng.randrange(0, 200)))
        path.write_bytes(snappy_raw.compress_literal(bytes(base)))
        try:
            core.Model(str(path))
        except (RuntimeError, ValueError):
            pass
