"""Archive: opening, the mapping interface, entries, the header, raw reads and records()."""

import gc
import os
import pathlib
import struct

import pytest

import quorvale_dat as qd
from conftest import A8R8G8B8, P8


def records_of_every_type(builder):
    """(id, data, compressed) records: a palette, a texture list, textures and a surface, some of
    them compressed, and records of a type without a decoder; several span many blocks."""
    palette = builder.encode_palette(0x04000001, [0xFF000000 | i * 0x010101 for i in range(256)])
    return [
        (0x04000001, palette, True),
        (0x05000001, builder.encode_surface_texture(0x05000001, 3, 1, [0x06000001, 0x06000002])),
        (0x06000001, builder.encode_texture(0x06000001, 16, 16, P8, bytes(range(256)), 0x04000001)),
        (0x06000002, builder.encode_texture(0x06000002, 4, 4, A8R8G8B8, bytes(64) * 1), True),
        (0x08000001, builder.encode_surface(2, (0x05000001, 0x04000001), diffuse=1.0)),
        (0x0A000001, b""),
        (0x0A000002, bytes(range(256)) * 40, True),
        (0x0A000003, b"x" * 5000),
    ]


@pytest.fixture(params=[(1024, False, 61), (64, True, 2)], ids=["sequential", "scattered"])
def archive(request, builder, make_archive):
    block_size, scattered, per_node = request.param
    records = records_of_every_type(builder)
    path = make_archive(records, block_size=block_size, scattered=scattered,
                        entries_per_node=per_node)
    with qd.Archive(path) as a:
        yield a, {r[0]: r[1] for r in records}, {r[0]: len(r) > 2 and r[2] for r in records}


def test_mapping(archive):
    a, data, _ = archive
    assert len(a) == len(data)
    assert list(a) == sorted(data)
    for id, content in data.items():
        assert id in a
        assert a[id] == content
        assert a.get(id) == content
        assert isinstance(a[id], bytes)
    for absent in (0x06000003, 0, 0xFFFFFFFF, -1, 1 << 32, "0x04000001", 1.0, None):
        assert absent not in a
    assert a.get(0x06000003) is None
    assert a.get(0x06000003, b"default") == b"default"
    assert a.get(-5, 7) == 7
    assert a.get("0x04000001") is None


def test_lookups_of_absent_and_wrong_ids(archive):
    a, _, _ = archive
    with pytest.raises(qd.NotFoundError) as error:
        a[0x06000003]
    assert error.value.id == 0x06000003
    assert str(error.value) == "File ID 06000003 not found in provider"
    assert error.value.debug == "NotFound(100663299)"
    for out_of_range in (-1, 1 << 32):
        with pytest.raises(KeyError):
            a[out_of_range]
    for wrong in ("0x04000001", 1.5, None, b"\x01"):
        with pytest.raises(TypeError):
            a[wrong]
    with pytest.raises(qd.NotFoundError):
        a.read_raw(0x06000003)
    with pytest.raises(qd.NotFoundError):
        a.entry(0x06000003)


def test_entries_and_types(archive):
    a, data, compressed = archive
    entries = a.entries()
    assert [e.id for e in entries] == sorted(data)
    for e in entries:
        assert a.entry(e.id) == e
        assert hash(a.entry(e.id)) == hash(e)
        assert e.type == e.id >> 24
        assert e.compressed == compressed[e.id]
        assert e.flags & 1 == compressed[e.id]
        assert e.offset > 0
        assert e.timestamp == 0 and e.version == 0
        raw = a.read_raw(e.id)
        assert len(raw) == e.size
        assert (qd.decompress_lrs(raw) if e.compressed else raw) == data[e.id]
        assert repr(e).startswith(f"Entry(id=0x{e.id:08X}, size={e.size}, ")
    assert [e.id for e in a.entries(qd.RecordType.Texture)] == [0x06000001, 0x06000002]
    assert [e.id for e in a.entries(0x0A)] == [0x0A000001, 0x0A000002, 0x0A000003]
    assert a.entries(0x77) == []
    with pytest.raises(ValueError):
        a.entries(256)
    with pytest.raises(TypeError):
        a.entries("texture")
    with pytest.raises(TypeError):
        qd.Entry()


def test_header(archive, builder):
    a, _, _ = archive
    h = a.header
    assert h.block_size in (64, 1024)
    assert h.root_offset > 0
    assert len(h.version_string) == 16 and isinstance(h.version_string, bytes)
    assert a.header == h
    assert a.file_size == os.path.getsize(a.path)
    assert repr(h).startswith("Header(magic=0x")


def test_records_give_every_record_in_file_order(archive):
    a, data, _ = archive
    pairs = list(a.records())
    assert [e.id for e, _ in pairs] == [e.id for e in sorted(a.entries(), key=lambda e: e.offset)]
    for entry, content in pairs:
        assert isinstance(entry, qd.Entry)
        assert content == data[entry.id]
    assert [e.id for e, _ in a.records(qd.RecordType.Texture)] == [
        e.id for e in sorted(a.entries(qd.RecordType.Texture), key=lambda e: e.offset)
    ]
    assert list(a.records(0x77)) == []
    it = a.records()
    assert iter(it) is it
    with pytest.raises(TypeError):
        qd.RecordIterator()


def test_records_of_a_large_archive_span_many_batches(builder, make_archive):
    # More records and bytes than one hand-over batch holds (1024 records, 1 MiB).
    records = [(0x0A000000 + i, bytes([i % 251]) * (i % 3000), i % 7 == 0) for i in range(3000)]
    with qd.Archive(make_archive(records, block_size=256)) as a:
        got = {e.id: content for e, content in a.records()}
    assert got == {id: content for id, content, _ in records}


def test_records_stop_when_dropped_and_outlive_close(builder, make_archive):
    records = [(0x0A000000 + i, bytes(2000)) for i in range(3000)]
    a = qd.Archive(make_archive(records))
    it = a.records()
    next(it)
    del it  # the walk stops and its thread ends
    gc.collect()
    it = a.records()
    first = next(it)
    a.close()  # the iterator keeps the file open until it ends
    assert a.closed
    assert 1 + sum(1 for _ in it) == len(records)
    assert first[1] == bytes(2000)
    with pytest.raises(StopIteration):
        next(it)
    never_started = qd.Archive(make_archive(records)).records()
    del never_started


def test_records_hand_over_errors_as_values(builder, make_archive, tmp_path):
    # The first block of 0x0A000002 is made to point past the end of the file: reading it fails,
    # the records around it do not.
    records = [(0x0A000001, b"a" * 300), (0x0A000002, b"b" * 300), (0x0A000003, b"c" * 300)]
    path = make_archive(records, block_size=64)
    with qd.Archive(path) as a:
        broken = a.entry(0x0A000002)
    dat = bytearray(path.read_bytes())
    dat[broken.offset : broken.offset + 4] = struct.pack("<I", 0x00100000)
    path.write_bytes(dat)
    with qd.Archive(path) as a:
        got = dict((e.id, value) for e, value in a.records())
        assert got[0x0A000001] == b"a" * 300 and got[0x0A000003] == b"c" * 300
        error = got[0x0A000002]
        assert isinstance(error, qd.CorruptionError)
        with pytest.raises(qd.CorruptionError) as raised:
            a[0x0A000002]
        assert str(raised.value) == str(error) == "IO error: failed to fill whole buffer"
        assert error.debug == raised.value.debug


def test_closed_archive_refuses_calls(builder, make_archive):
    path = make_archive([(0x0A000001, b"x")])
    with qd.Archive(path) as a:
        assert not a.closed
        assert repr(a) == f"<quorvale_dat.Archive {str(path)!r} (1 records)>"
    assert a.closed
    assert repr(a) == f"<quorvale_dat.Archive {str(path)!r} (closed)>"
    for call in (
        lambda: len(a),
        lambda: a[0x0A000001],
        lambda: 0x0A000001 in a,
        lambda: a.entries(),
        lambda: a.records(),
        lambda: a.header,
        lambda: a.texture_rgba(0x0A000001),
        lambda: list(a),
    ):
        with pytest.raises(ValueError, match="closed archive"):
            call()
    a.close()  # closing twice is fine


def test_paths(builder, make_archive):
    path = make_archive([(0x0A000001, b"x")])
    for form in (str(path), pathlib.Path(path), os.fsencode(path)):
        with qd.Archive(form) as a:
            assert a[0x0A000001] == b"x"
            assert a.path == str(path)
    with pytest.raises(TypeError):
        qd.Archive(5)


def test_empty_archive(make_archive):
    with qd.Archive(make_archive([])) as a:
        assert len(a) == 0
        assert list(a) == [] and a.entries() == [] and list(a.records()) == []
        assert a.header.root_offset == 0
