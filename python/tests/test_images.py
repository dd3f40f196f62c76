"""Textures as NumPy arrays: through the archive and from decoded textures, the palette argument,
thumbnails, and the sample's whole gallery against the PNGs that quorvale-dat texture writes."""

import subprocess

import numpy as np
import pytest
from PIL import Image

import quorvale_dat as qd
from conftest import A4R4G4B4, A8, A8R8G8B8, DXT1, INDEX16, P8, R5G6B5, R8G8B8

PALETTE = [0x00000000, 0xFF102030, 0x80405060]


@pytest.fixture
def textures(builder, make_archive):
    records = [
        (0x04000001, builder.encode_palette(0x04000001, PALETTE)),
        (0x04000002, builder.encode_palette(0x04000002, [0xFFFFFFFF] * 3)),
        (0x04000003, b"\x03\x00\x00\x04"),  # does not decode
    ]
    textures = [  # id, width, height, format, pixel data, default palette
        (0x06000001, 2, 1, A8R8G8B8, [1, 2, 3, 4, 5, 6, 7, 8], None),
        (0x06000002, 1, 2, R8G8B8, [1, 2, 3, 4, 5, 6], None),
        (0x06000003, 2, 1, R5G6B5, [0xFF, 0xFF, 0x1F, 0x08], None),
        (0x06000004, 1, 1, A4R4G4B4, [0x21, 0x43], None),
        (0x06000005, 2, 1, A8, [0, 200], None),
        (0x06000006, 3, 1, P8, [2, 1, 7], 0x04000001),
        (0x06000007, 2, 1, INDEX16, [1, 0, 2, 0], 0x04000001),
        (0x06000008, 2, 2, DXT1, [0xFF] * 4 + [0] * 4, None),
        (0x06000009, 1, 1, P8, [0], 0x04000009),  # its palette is absent
        (0x0600000A, 1, 1, P8, [0], 0x04000003),  # its palette does not decode
    ]
    for id, w, h, fmt, data, palette in textures:
        records.append((id, builder.encode_texture(id, w, h, fmt, bytes(data), palette),
                        id == 0x06000002))
    with qd.Archive(make_archive(records)) as a:
        yield a


def test_every_format_through_the_archive(textures):
    cases = [
        (0x06000001, [[[3, 2, 1, 4], [7, 6, 5, 8]]]),
        (0x06000002, [[[3, 2, 1, 255]], [[6, 5, 4, 255]]]),
        (0x06000003, [[[255, 255, 255, 255], [8, 0, 255, 255]]]),
        (0x06000004, [[[0x33, 0x22, 0x11, 0x44]]]),
        (0x06000005, [[[0, 0, 0, 255], [200, 200, 200, 255]]]),
        (0x06000006, [[[0x40, 0x50, 0x60, 0x80], [0x10, 0x20, 0x30, 0xFF], [0, 0, 0, 0]]]),
        (0x06000007, [[[0x10, 0x20, 0x30, 0xFF], [0x40, 0x50, 0x60, 0x80]]]),
        (0x06000008, [[[255] * 4] * 2] * 2),
    ]
    for id, expected in cases:
        pixels = textures.texture_rgba(id)
        assert pixels.dtype == np.uint8 and pixels.flags.c_contiguous, hex(id)
        np.testing.assert_array_equal(pixels, np.array(expected, np.uint8), err_msg=hex(id))
        # The array is made over the pixels the conversion wrote, not a copy of them.
        assert not pixels.flags.owndata and type(pixels.base).__name__ == "PyCapsule"
        texture = qd.Texture.unpack(textures[id])
        palette = qd.Palette.unpack(textures[0x04000001])
        np.testing.assert_array_equal(texture.to_rgba(palette), pixels, err_msg=hex(id))


def test_palette_argument(textures):
    white = np.full((1, 3, 4), 255, np.uint8)
    white[0, 2] = 0  # index 7 lies beyond the palette: transparent black
    for palette in (0x04000002, qd.Palette.unpack(textures[0x04000002]), [0xFFFFFFFF] * 3,
                    (0xFFFFFFFF,) * 3):
        np.testing.assert_array_equal(textures.texture_rgba(0x06000006, palette), white)
        np.testing.assert_array_equal(textures.texture_rgba(0x06000006, palette=palette), white)
    np.testing.assert_array_equal(textures.texture_rgba(0x06000006, []), np.zeros((1, 3, 4)))
    # A palette given for a texture that uses none is not looked at.
    np.testing.assert_array_equal(textures.texture_rgba(0x06000001, 0x04000999),
                                  textures.texture_rgba(0x06000001))
    for wrong, cls in (("palette", TypeError), (b"\x01\x02", TypeError), (["x"], TypeError),
                       ([1 << 32], ValueError), ([-1], ValueError), (1.5, TypeError)):
        with pytest.raises(cls):
            textures.texture_rgba(0x06000006, wrong)


def test_failures_name_what_failed(textures):
    with pytest.raises(qd.NotFoundError) as error:
        textures.texture_rgba(0x06000009)  # its default palette is absent
    assert error.value.id == 0x04000009
    with pytest.raises(qd.NotFoundError) as error:
        textures.texture_rgba(0x06000006, 0x04000777)
    assert error.value.id == 0x04000777
    with pytest.raises(qd.ParseError) as error:
        textures.texture_rgba(0x0600000A)
    assert (error.value.record, error.value.field) == ("Palette", "colors")
    with pytest.raises(qd.ParseError) as error:
        textures.texture_rgba(0x04000001)  # a palette is no texture
    assert error.value.record == "Texture"
    with pytest.raises(qd.NotFoundError):
        textures.texture_rgba(0x06000FFF)
    with pytest.raises(KeyError):
        textures.texture_rgba(-1)


def test_thumbnail():
    rng = np.random.default_rng(3)
    picture = rng.integers(0, 256, (40, 100, 4), dtype=np.uint8)
    small = qd.thumbnail(picture, 10)
    assert small.shape == (4, 10, 4) and small.dtype == np.uint8
    assert qd.thumbnail(picture, 1000).shape == picture.shape  # never enlarged
    np.testing.assert_array_equal(qd.thumbnail(picture, 1000), picture)
    flat = np.full((64, 32, 4), [10, 20, 30, 255], np.uint8)
    np.testing.assert_array_equal(qd.thumbnail(flat, 16), np.full((16, 8, 4), [10, 20, 30, 255]))
    np.testing.assert_array_equal(qd.thumbnail(picture[:, ::-1], 10).shape, (4, 10, 4))
    for bad in (np.zeros((4, 4, 3), np.uint8), np.zeros((4, 4), np.uint8),
                np.zeros((0, 4, 4), np.uint8)):
        with pytest.raises(ValueError):
            qd.thumbnail(bad, 2)
    with pytest.raises(TypeError):
        qd.thumbnail(np.zeros((4, 4, 4), np.float64), 2)


# The sample archive's format gallery (0x06000D00 on: A8R8G8B8, R8G8B8, R5G6B5, A4R4G4B4, A8,
# Index16, Dxt1 .. Dxt5) and its P8 texture: texture_rgba gives exactly the pixels of the PNG
# that quorvale-dat texture writes, as Pillow reads them back.
GALLERY = [0x06000C30] + list(range(0x06000D00, 0x06000D0B))


def test_gallery_equals_the_exported_pngs(sample_archive, cli, tmp_path):
    formats = set()
    with qd.Archive(sample_archive) as a:
        for id in GALLERY:
            png = tmp_path / f"{id:08X}.png"
            subprocess.run([cli, "texture", str(sample_archive), f"0x{id:08X}", "-o", str(png)],
                           check=True, timeout=30)
            with Image.open(png) as image:
                exported = np.asarray(image.convert("RGBA"))
            pixels = a.texture_rgba(id)
            assert pixels.shape == exported.shape, hex(id)
            np.testing.assert_array_equal(pixels, exported, err_msg=hex(id))
            formats.add(qd.Texture.unpack(a[id]).format)
        assert formats == {f for f in qd.SurfacePixelFormat if f not in (
            qd.SurfacePixelFormat.Unknown, qd.SurfacePixelFormat.CustomLscapeR8G8B8,
            qd.SurfacePixelFormat.CustomLscapeAlpha, qd.SurfacePixelFormat.CustomRawJpeg)}
        with pytest.raises(qd.ImageError) as error:
            a.texture_rgba(0x06000D0B)  # CustomRawJpeg holds a JPEG file
        assert error.value.reason == "NoConversion"
