"""Reads a device program with Python's flatbuffers package, independently of the C++ reader.

The sample program and the words its records held are written by the C++ test
ProgramFormat.WritesTheSampleForTheIndependentReader into $OVRIX_SAMPLE_DIR. When that variable is not
set, the test binary of the build ($OVRIX_BUILD_DIR, else the newest build/*/ovrix_tests) is run to
write them into a temporary folder; without either the tests are skipped. The reader is generated from the repository's schemas at test time (under a namespace of
its own, so that it cannot clash with the installed ovrix package; names never reach the bytes).
"""

import importlib
import json
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SCHEMA_DIR = REPO / "program"
SAMPLE_TEST = "ProgramFormat.WritesTheSampleForTheIndependentReader"
SCHEMAS = ("program_data.fbs", "program_info.fbs")
READER_NS = "program_format_reader"


def find_test_binary():
    candidates = []
    if os.environ.get("OVRIX_BUILD_DIR"):
        candidates.append(Path(os.environ["OVRIX_BUILD_DIR"]) / "ovrix_tests")
    candidates += sorted(REPO.glob("build/*/ovrix_tests"), key=lambda p: p.stat().st_mtime, reverse=True)
    return next((c for c in candidates if c.is_file() and os.access(c, os.X_OK)), None)


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    directory = os.environ.get("OVRIX_SAMPLE_DIR")
    if not directory:
        binary = find_test_binary()
        if binary is None:
            pytest.skip("OVRIX_SAMPLE_DIR is not set and no ovrix_tests binary was found")
        directory = tmp_path_factory.mktemp("sample")
        env = dict(os.environ, OVRIX_SAMPLE_DIR=str(directory))
        subprocess.run([str(binary), f"--gtest_filter={SAMPLE_TEST}"], env=env, check=True, capture_output=True)
    program = Path(directory) / "sample_program.bin"
    expected = Path(directory) / "sample_expected.json"
    if not program.is_file() or not expected.is_file():
        pytest.skip("no sample program in OVRIX_SAMPLE_DIR")
    return program.read_bytes(), json.loads(expected.read_text())


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    pytest.importorskip("flatbuffers")
    flatc = shutil.which("flatc")
    if flatc is None:
        pytest.skip("flatc is not installed")
    root = tmp_path_factory.mktemp("reader")
    for name in SCHEMAS:
        text = (SCHEMA_DIR / name).read_text()
        assert "namespace ovrix.fb;" in text
        (root / name).write_text(text.replace("namespace ovrix.fb;", f"namespace {READER_NS};"))
    out = root / "gen"
    subprocess.run([flatc, "--python", "-o", str(out), *(str(root / n) for n in SCHEMAS)], check=True)
    sys.path.insert(0, str(out))
    try:
        yield {
            name: getattr(importlib.import_module(f"{READER_NS}.{name}"), name)
            for name in ("ProgramInfo", "ProgramData", "NpIdent")
        }
    finally:
        sys.path.remove(str(out))


def u32(buf, offset):
    return struct.unpack_from("<I", buf, offset)[0]


def split(program):
    s1 = u32(program, 0)
    return program[: 4 + s1], program[4 + s1 :]


def roots(reader, program):
    info, data = split(program)
    # A size-prefixed buffer: the root offset follows the 4-byte size.
    return reader["ProgramInfo"].GetRootAs(info, 4), reader["ProgramData"].GetRootAs(data, 4), data


def words_at(data, offset, size):
    assert offset >= 4 and offset % 4 == 0
    assert offset + 4 * size <= len(data)
    assert u32(data, offset - 4) == size, "the vector length just before the span"
    return list(struct.unpack_from(f"<{size}I", data, offset))


def written(table, field):
    """Whether field number `field` of a table is present (its vtable slot is not empty)."""
    return table._tab.Offset(4 + 2 * field) != 0


def test_size_prefixes_count_the_bytes_after_them(sample):
    program, _ = sample
    s1 = u32(program, 0)
    assert s1 % 4 == 0 and s1 + 8 <= len(program)
    s2 = u32(program, 4 + s1)
    assert s2 % 4 == 0
    assert 8 + s1 + s2 == len(program)


def test_every_span_locates_the_words_of_its_track(sample, reader):
    program, expected = sample
    info, data_root, data = roots(reader, program)
    assert info.PassesLength() == data_root.PassesLength() == len(expected["passes"])
    for p, records in enumerate(expected["passes"]):
        spans, pass_data = info.Passes(p), data_root.Passes(p)
        assert pass_data.RecordsLength() == len(records)
        if not records:
            assert not written(spans, 0)
            continue
        assert spans.RecordsLength() == len(records)
        for r, tracks in enumerate(records):
            record_spans, record = spans.Records(r), pass_data.Records(r)
            assert written(record, 0), "the data side always writes its tracks"
            assert record.TracksLength() == len(tracks)
            if not tracks:
                continue
            assert record_spans.TracksLength() == len(tracks)
            for t, words in enumerate(tracks):
                span = record_spans.Tracks(t)
                assert words_at(data, span.Offset(), span.Size()) == words
                track = record.Tracks(t)
                assert [track.Words(i) for i in range(track.WordsLength())] == words


def test_filters_only_record_is_located_by_its_filters_span(sample, reader):
    program, expected = sample
    info, data_root, data = roots(reader, program)
    col, row, ident, words = expected["filters"]
    spans = info.Passes(0).Records(2)
    assert not written(spans, 0)
    span = spans.Fnp2Filters()
    assert words_at(data, span.Offset(), span.Size()) == words
    np_ident = span.Np(reader["NpIdent"]())  # a struct inside a struct is read into a given object
    assert (np_ident.Col(), np_ident.Row(), np_ident.Id()) == (col, row, ident)
    filters = data_root.Passes(0).Records(2).Fnp2Filters()
    assert (filters.Np().Col(), filters.Np().Row(), filters.Np().Id()) == (col, row, ident)
    assert data_root.Passes(0).Records(2).TracksLength() == 0


def test_learning_program_is_located_in_both_parts(sample, reader):
    program, expected = sample
    info, data_root, data = roots(reader, program)
    assert written(data_root, 1) and written(info, 15)
    learning = info.Learning()
    third = learning.ThirdRecord()
    assert not written(third, 0)
    span = third.Fnp2Filters()
    assert words_at(data, span.Offset(), span.Size()) == expected["learning_third"]
    first = learning.FirstTrack()
    record = data_root.Learning().FirstRecord().Tracks(0)
    assert words_at(data, first.Offset(), first.Size()) == [record.Words(i) for i in range(record.WordsLength())]
    assert learning.Np().Col() == data_root.Learning().Np().Col()


def test_dummy_descriptor_span_points_at_its_two_words(sample, reader):
    program, expected = sample
    info, data_root, data = roots(reader, program)
    span = info.DummyDescriptor()
    assert span.Size() == 2
    assert [u32(data, span.Offset()), u32(data, span.Offset() + 4)] == expected["dummy"]
    header = data_root.DummyDescriptor()
    assert [header.Word0(), header.Word1()] == expected["dummy"]


@pytest.mark.parametrize(
    "field, present",
    [
        (0, True),  # version
        (4, False),  # input_type 0 is left out
        (5, True),  # output_type 2
        (8, False),  # input_conv_param_a 0
        (9, False),  # input_conv_param_b 0
        (10, True),  # output_shift, always written
        (11, True),  # output_scales, always written
        (13, True),  # epg_registers, three writes
        (18, False),  # input_signed false
        (19, True),  # input_channels_first true
        (20, True),  # input_scales, always written even empty
        (21, True),  # input_zero_points, always written even empty
        (22, False),  # lumo_post_processing false
    ],
)
def test_program_information_fields_written_or_left_out(sample, reader, field, present):
    info, _, _ = roots(reader, sample[0])
    assert written(info, field) == present


def test_device_version_leaves_zero_bytes_out(sample, reader):
    info, _, _ = roots(reader, sample[0])
    version = info.DeviceVersion()
    assert [written(version, f) for f in range(4)] == [True, False, True, False]
    assert (version.VendorId(), version.MajorRev()) == (0xBC, 2)
