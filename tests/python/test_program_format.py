"""Reads a device program with Python's flatbuffers package, independently of the C++ reader: the sample
program and the words its records held are written by the C++ test
ProgramFormat.WritesTheSampleForTheIndependentReader (the `sample` fixture)."""
import pytest

from helpers import roots, u32, words_at, written


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
