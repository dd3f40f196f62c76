"""The exception classes: which failure raises which, their texts and attributes, and that they
travel between processes."""

import errno
import pickle
import struct

import pytest

import quorvale_dat as qd


def test_hierarchy():
    for cls, bases in [
        (qd.NotFoundError, (qd.DatError, KeyError)),
        (qd.CorruptionError, (qd.DatError,)),
        (qd.DatIOError, (qd.DatError, OSError)),
        (qd.ParseError, (qd.DatError, ValueError)),
        (qd.ImageError, (qd.DatError, ValueError)),
        (qd.DatError, (Exception,)),
    ]:
        for base in bases:
            assert issubclass(cls, base), (cls, base)
    assert not issubclass(qd.CorruptionError, OSError)


@pytest.fixture
def good_archive(builder):
    return builder.build_archive([(0x0A000001, b"x" * 3000)], block_size=1024)


def patched(data, offset, value):
    out = bytearray(data)
    out[offset : offset + 4] = struct.pack("<I", value)
    return bytes(out)


def test_opening_failures(good_archive, tmp_path):
    (tmp_path / "good.dat").write_bytes(good_archive)
    with qd.Archive(tmp_path / "good.dat") as a:
        root = a.header.root_offset
    header = 320
    cases = [
        ("missing", None, qd.DatIOError,
         f"Failed to open file at {tmp_path}/missing.dat: No such file or directory (os error 2)"),
        ("a directory", "dir", qd.DatIOError,
         "Binary read error: While parsing field 'magic' in DatHeader: Is a directory "
         "(os error 21)"),
        ("cut inside the header", good_archive[:100], qd.CorruptionError,
         "Binary read error: While parsing field 'magic' in DatHeader: failed to fill whole "
         "buffer"),
        ("cut in the version string", good_archive[:380], qd.CorruptionError,
         "Binary read error: While parsing field 'version_string' in DatHeader: not enough bytes "
         "in reader"),
        ("a directory node its own child", patched(good_archive, root + 4, root),
         qd.CorruptionError,
         f"Corruption detected: directory node at offset 0x{root:08X} is its own ancestor "
         f"(reached from node at 0x{root:08X})"),
        ("a block size without payload", patched(good_archive, header + 4, 3), qd.CorruptionError,
         f"Corruption detected: block size 3 leaves no room for a payload (block at offset "
         f"0x{root:08X})"),
        ("the root beyond the file", patched(good_archive, header + 32, 0x7FFFFFF0),
         qd.CorruptionError, None),
    ]
    for name, content, cls, message in cases:
        path = tmp_path / (name.replace(" ", "_") + ".dat")
        if name == "missing":
            path = tmp_path / "missing.dat"
        elif content == "dir":
            path.mkdir()
        else:
            path.write_bytes(content)
        with pytest.raises(qd.DatError) as error:
            qd.Archive(path)
        assert type(error.value) is cls, name
        if message is not None:
            assert str(error.value) == message, name
        assert error.value.debug and error.value.debug != str(error.value), name


def test_summary_is_one_line_with_the_place(good_archive, tmp_path, builder):
    # The display text stays the error's message; the summary says where it was met.
    with qd.Archive(_write(tmp_path / "good.dat", good_archive)) as a:
        root = a.header.root_offset
        first = a.entry(0x0A000001).offset
    size = len(good_archive)
    chain_out = patched(good_archive, first, 0x7FFFFF00)
    cases = [
        ("cut inside the header", lambda: qd.Archive(_write(tmp_path / "cut.dat",
                                                            good_archive[:100])),
         qd.CorruptionError, "the file ends at byte 100, inside the header (field 'magic')"),
        ("a directory node its own child",
         lambda: qd.Archive(_write(tmp_path / "own.dat", patched(good_archive, root + 4, root))),
         qd.CorruptionError,
         f"directory node at offset 0x{root:08X} is its own ancestor (reached from node at "
         f"0x{root:08X})"),
        ("a chain out of the file",
         lambda: qd.Archive(_write(tmp_path / "chain.dat", chain_out))[0x0A000001],
         qd.CorruptionError,
         f"block 0x7FFFFF00 of the chain at 0x{first:08X} lies outside the file, which ends at "
         f"byte {size}"),
        ("the same, from records()",
         lambda: _raise_first_error(qd.Archive(tmp_path / "chain.dat").records()),
         qd.CorruptionError,
         f"block 0x7FFFFF00 of the chain at 0x{first:08X} lies outside the file, which ends at "
         f"byte {size}"),
        ("an absent record", lambda: qd.Archive(tmp_path / "good.dat")[0x0A000002],
         qd.NotFoundError, "record 0x0A000002 is not in the archive"),
        ("a missing file", lambda: qd.Archive(tmp_path / "missing.dat"), qd.DatIOError,
         f"cannot open {tmp_path}/missing.dat: No such file or directory (os error 2)"),
        ("a palette cut short", lambda: qd.Palette.unpack(b"\x01\x00"), qd.ParseError,
         "While parsing field 'id' in Palette: failed to fill whole buffer"),
        ("a texture cut short", lambda: qd.Texture.unpack(b"\x01\x00"), qd.ParseError,
         "While parsing field 'id' in Texture: failed to fill whole buffer"),
    ]
    for name, call, cls, summary in cases:
        with pytest.raises(qd.DatError) as error:
            call()
        e = error.value
        assert type(e) is cls, name
        assert e.summary == summary, name
        assert "\n" not in e.summary and "\x1b" not in e.summary, name
        if cls is qd.ParseError:
            assert str(e) == e.summary, name
        else:
            assert str(e) != e.summary and e.debug != e.summary, name
        back = pickle.loads(pickle.dumps(e))
        assert back.summary == e.summary, name
    # Errors made by users have their message as their summary, unless given one.
    assert qd.DatError("plain").summary == "plain"
    assert qd.NotFoundError("gone", id=5, summary="record 5 is gone").summary == "record 5 is gone"


def _write(path, data):
    path.write_bytes(data)
    return path


def _raise_first_error(records):
    for _, value in records:
        if isinstance(value, qd.DatError):
            raise value


def test_io_errors_carry_errno_and_filename(tmp_path):
    with pytest.raises(OSError) as error:
        qd.Archive(tmp_path / "missing.dat")
    e = error.value
    assert e.errno == errno.ENOENT and e.strerror == "No such file or directory"
    assert e.filename == str(tmp_path / "missing.dat")
    assert e.debug == (f'PathError {{ path: "{tmp_path}/missing.dat", source: Os {{ code: 2, '
                       f'kind: NotFound, message: "No such file or directory" }} }}')
    with pytest.raises(OSError) as error:
        qd.Archive(tmp_path)
    assert error.value.errno == errno.EISDIR and error.value.filename is None


def test_image_errors(builder, make_archive):
    a = qd.Archive(make_archive([
        (0x06000001, builder.encode_texture(0x06000001, 4, 4, 21, bytes(63))),
        (0x06000002, builder.encode_texture(0x06000002, 1, 1, 244, b"\x01")),
        (0x06000003, builder.encode_texture(0x06000003, 0, 1, 21, b"")),
    ]))
    cases = [
        (0x06000001, "LengthMismatch",
         "A8R8G8B8 at 4x4 needs 64 bytes of pixel data, the texture holds 63",
         "LengthMismatch { format: A8R8G8B8, width: 4, height: 4, expected: 64, actual: 63 }"),
        (0x06000002, "NoConversion", "format CustomLscapeAlpha has no pixel conversion",
         "NoConversion(CustomLscapeAlpha)"),
        (0x06000003, "InvalidSize", "size 0x1 is not an image",
         "InvalidSize { width: 0, height: 1 }"),
    ]
    for id, reason, message, debug in cases:
        with pytest.raises(qd.ImageError) as error:
            a.texture_rgba(id)
        assert (error.value.reason, str(error.value), error.value.debug) == (reason, message, debug)
    texture = qd.Texture.unpack(builder.encode_texture(6, 1, 1, 41, b"\x00", 4))
    with pytest.raises(qd.ImageError) as error:
        texture.to_rgba()
    assert error.value.reason == "MissingPalette"
    assert str(error.value) == "P8 needs a palette, and none was given"


def test_errors_pickle_with_their_attributes(tmp_path, builder):
    (tmp_path / "empty.dat").write_bytes(builder.build_archive([]))
    errors = []
    for call in (lambda: qd.Archive(tmp_path / "missing.dat"),
                 lambda: qd.Palette.unpack(b"\x01\x00"),
                 lambda: qd.Texture.unpack(builder.encode_texture(6, 1, 1, 41, b"\0", 4)).to_rgba(),
                 lambda: qd.Archive(tmp_path / "empty.dat")[5]):
        with pytest.raises(qd.DatError) as error:
            call()
        errors.append(error.value)
    for e in errors:
        back = pickle.loads(pickle.dumps(e))
        assert type(back) is type(e)
        assert (str(back), back.debug, back.__dict__) == (str(e), e.debug, e.__dict__)
        if isinstance(e, OSError):
            assert (back.errno, back.strerror, back.filename) == (e.errno, e.strerror, e.filename)


def test_errors_are_constructible_by_users():
    e = qd.NotFoundError("gone", id=5)
    assert str(e) == "gone" and e.debug == "gone" and e.id == 5
    assert str(qd.DatIOError("failed", errno=5, strerror="I/O error")) == "failed"
    assert str(qd.DatError("plain")) == "plain"
