"""The record decoders: their fields, every truncation point naming the failing field, random
bytes, the inputs they accept, and decompress_lrs."""

import random

import numpy as np
import pytest

import quorvale_dat as qd
from conftest import A8R8G8B8, DXT1, INDEX16, P8


def test_decoded_fields(builder):
    s = qd.Surface.unpack(builder.encode_surface(6, (0x05000001, 0x04000002), None, 0.5, 0.25, 1.0))
    assert (s.surface_type, s.color_value, s.translucency, s.luminosity, s.diffuse) == (
        6, None, 0.5, 0.25, 1.0)
    assert (s.texture_refs.orig_texture_id, s.texture_refs.orig_palette_id) == (
        0x05000001, 0x04000002)
    flat = qd.Surface.unpack(builder.encode_surface(1, None, 0x80FF0000, 0, 0, 0.75))
    assert flat.texture_refs is None and flat.color_value == 0x80FF0000

    st = qd.SurfaceTexture.unpack(builder.encode_surface_texture(0x05000001, -3, 255, [1, 2, 3]))
    assert (st.id, st.unknown_int, st.unknown_byte, st.textures) == (0x05000001, -3, 255, [1, 2, 3])
    again = builder.encode_surface_texture(0x05000001, -3, 255, [1, 2, 3])
    assert st == qd.SurfaceTexture.unpack(again)

    t = qd.Texture.unpack(builder.encode_texture(0x06000001, 2, 1, P8, b"\x05\x06", 0x04000009))
    assert (t.id, t._unknown, t.width, t.height, t.format_raw, t.length, t.source_data) == (
        0x06000001, 0, 2, 1, P8, 2, b"\x05\x06")
    assert t.format is qd.SurfacePixelFormat.P8 and t.default_palette_id == 0x04000009
    plain = qd.Texture.unpack(builder.encode_texture(0x06000002, 1, 1, A8R8G8B8, bytes(4)))
    assert plain.default_palette_id is None and plain.format is qd.SurfacePixelFormat.A8R8G8B8
    assert repr(t) == ("Texture(id=0x06000001, format=<SurfacePixelFormat.P8: 41>, width=2, "
                       "height=1, length=2, default_palette_id=0x04000009)")

    p = qd.Palette.unpack(builder.encode_palette(0x04000001, [0x44332211, 0xFFFFFFFF]))
    assert (p.id, p.colors, len(p)) == (0x04000001, [0x44332211, 0xFFFFFFFF], 2)
    assert qd.Palette.unpack(b"\x01\x00\x00\x00\x01\x00\x00\x00\x11\x22\x33\x44").colors == [
        0x44332211]
    assert qd.Palette.unpack(builder.encode_palette(1, [])).colors == []


def test_pixel_formats():
    F = qd.SurfacePixelFormat
    assert F(41) is F.P8 and F(0x35545844) is F.Dxt5 and not F.Dxt5.is_other
    for code in (22, 7, 0x35545845, 0xFFFFFFFF):
        other = F(code)
        assert other == code and other.is_other and other.name == f"Other({code})"
        assert not other.is_indexed
    assert F.P8.is_indexed and F.Index16.is_indexed and not F.A8.is_indexed
    for bad in (-1, 1 << 32, "P8", 41.5):
        with pytest.raises(ValueError):
            F(bad)
    assert qd.RecordType(6) is qd.RecordType.Texture


# Each record, and where each of its fields starts: a record cut anywhere inside a field fails
# with that field (and the type it belongs to) named.
def truncation_cases(b):
    return [
        ("Surface", qd.Surface, b.encode_surface(2, (5, 6), None, 1, 2, 3),
         [(0, "surface_type", "Surface"), (4, "orig_texture_id", "TextureRefs"),
          (8, "orig_palette_id", "TextureRefs"), (12, "translucency", "Surface"),
          (16, "luminosity", "Surface"), (20, "diffuse", "Surface")]),
        ("flat Surface", qd.Surface, b.encode_surface(0, None, 7, 1, 2, 3),
         [(0, "surface_type", "Surface"), (4, "color_value", "Surface"),
          (8, "translucency", "Surface"), (12, "luminosity", "Surface"),
          (16, "diffuse", "Surface")]),
        ("SurfaceTexture", qd.SurfaceTexture, b.encode_surface_texture(5, 1, 2, [7, 8]),
         [(0, "id", "SurfaceTexture"), (4, "unknown_int", "SurfaceTexture"),
          (8, "unknown_byte", "SurfaceTexture"), (9, "textures", "SurfaceTexture")]),
        ("P8 Texture", qd.Texture, b.encode_texture(6, 2, 2, P8, b"\x01\x02\x03\x04", 4),
         [(0, "id", "Texture"), (4, "_unknown", "Texture"), (8, "width", "Texture"),
          (12, "height", "Texture"), (16, "format_raw", "Texture"), (20, "length", "Texture"),
          (24, "source_data", "Texture"), (28, "default_palette_id", "Texture")]),
        ("Palette", qd.Palette, b.encode_palette(4, [1, 2, 3]),
         [(0, "id", "Palette"), (4, "colors", "Palette")]),
    ]


@pytest.mark.parametrize("index", range(5))
def test_every_truncation_names_the_failing_field(builder, index):
    name, decoder, record, fields = truncation_cases(builder)[index]
    decoder.unpack(record)
    for cut in range(len(record)):
        field, owner = [(f, r) for start, f, r in fields if start <= cut][-1]
        with pytest.raises(qd.ParseError) as error:
            decoder.unpack(record[:cut])
        assert (error.value.field, error.value.record) == (field, owner), (name, cut)
        assert f"While parsing field '{field}' in {owner}" in str(error.value)
        assert "\n" not in str(error.value) and "\x1b" not in str(error.value)
        assert isinstance(error.value, ValueError)


def test_errors_without_a_field(builder):
    with pytest.raises(qd.ParseError) as error:
        qd.Texture.unpack(builder.encode_texture(6, 1, 1, A8R8G8B8, b"", length=-1))
    assert str(error.value) == "count -1 out of range of usize at 0x18"
    assert error.value.field is None and error.value.record is None
    with pytest.raises(qd.ParseError) as error:
        qd.Texture.unpack(builder.encode_texture(6, 10, 10, A8R8G8B8, bytes(99), length=100))
    assert str(error.value) == ("While parsing field 'source_data' in Texture: not enough bytes "
                                "in reader")
    # A negative count and a count far beyond the input end in errors, not huge allocations.
    for count in (-1, 0x7FFFFFFF):
        with pytest.raises(qd.ParseError) as error:
            qd.Palette.unpack(b"\x01\x00\x00\x00" + count.to_bytes(4, "little", signed=True))
        assert error.value.field == "colors"


def test_random_bytes_never_crash_a_decoder(builder):
    rng = random.Random(1)
    seeds = [builder.encode_texture(6, 3, 3, INDEX16, bytes(18), 4),
             builder.encode_texture(6, 4, 4, DXT1, bytes(8)),
             builder.encode_palette(4, list(range(5))), builder.encode_surface(2, (1, 2))]
    for _ in range(3000):
        data = bytearray(rng.choice(seeds)) if rng.random() < 0.5 else bytearray(
            rng.randbytes(rng.randrange(40)))
        for _ in range(rng.randrange(4)):
            if data:
                data[rng.randrange(len(data))] = rng.randrange(256)
        for decoder in (qd.Surface, qd.SurfaceTexture, qd.Texture, qd.Palette):
            try:
                decoder.unpack(bytes(data))
            except qd.ParseError:
                pass
        try:
            qd.Texture.unpack(bytes(data)).to_rgba([0xFF00FF00] * 3)
        except (qd.ParseError, qd.ImageError):
            pass


def test_accepted_inputs(builder):
    record = builder.encode_palette(4, [9])
    for data in (record, bytearray(record), memoryview(record), np.frombuffer(record, np.uint8)):
        assert qd.Palette.unpack(data).colors == [9]
    with pytest.raises(BufferError):
        qd.Palette.unpack(memoryview(record * 2)[::2])
    for wrong in ("text", 5, None, [1, 2]):
        with pytest.raises(TypeError):
            qd.Palette.unpack(wrong)


def test_decompress_lrs(builder):
    rng = random.Random(2)
    for size in (0, 1, 7, 100, 4096, 70000):
        data = bytes(rng.choice(b"abc") for _ in range(size))
        assert qd.decompress_lrs(builder.compress_lrs(data)) == data
    assert qd.decompress_lrs(b"") == b""
    assert qd.decompress_lrs(b"ab") == b"ab"  # under 4 bytes: unchanged
    stream = builder.compress_lrs(b"hello world" * 10)
    cut = qd.decompress_lrs(stream[:-3])  # the bytes made up to where the stream stops
    assert 0 < len(cut) < 110 and cut == (b"hello world" * 10)[: len(cut)]
    for _ in range(500):
        qd.decompress_lrs(rng.randbytes(rng.randrange(64)))
    assert qd.decompress_lrs(bytearray(stream)) == b"hello world" * 10
