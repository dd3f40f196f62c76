"""Read the DAT archives of a game client: records by id, every record in one pass, the record
types Surface, SurfaceTexture, Texture and Palette, and textures as NumPy RGBA arrays.

    import quorvale_dat

    with quorvale_dat.Archive("client_portal.dat") as archive:
        surface = quorvale_dat.Surface.unpack(archive[0x080003E4])
        for entry, data in archive.records(quorvale_dat.RecordType.Texture):
            if not isinstance(data, quorvale_dat.DatError):
                texture = quorvale_dat.Texture.unpack(data)
        pixels = archive.texture_rgba(0x06000C30)  # numpy uint8, (height, width, 4)

Errors are exceptions derived from DatError: NotFoundError (also a KeyError), CorruptionError,
DatIOError (also an OSError), ParseError (also a ValueError) and ImageError (also a
ValueError). Reading and decoding release the GIL; one Archive may be shared by threads.
"""

from ._types import (
    CorruptionError,
    DatError,
    DatIOError,
    ImageError,
    NotFoundError,
    ParseError,
    RecordType,
    SurfacePixelFormat,
)
from ._native import (
    Archive,
    Entry,
    Header,
    Palette,
    RecordIterator,
    Surface,
    SurfaceTexture,
    Texture,
    TextureRefs,
    __version__,
    decompress_lrs,
    thumbnail,
)

__all__ = [
    "Archive",
    "CorruptionError",
    "DatError",
    "DatIOError",
    "Entry",
    "Header",
    "ImageError",
    "NotFoundError",
    "Palette",
    "ParseError",
    "RecordIterator",
    "RecordType",
    "Surface",
    "SurfacePixelFormat",
    "SurfaceTexture",
    "Texture",
    "TextureRefs",
    "__version__",
    "decompress_lrs",
    "thumbnail",
]

# The classes say they come from the package, as users name them.
for _name in __all__:
    _obj = globals()[_name]
    if isinstance(_obj, type):
        try:
            _obj.__module__ = __name__
        except (AttributeError, TypeError):
            pass
del _name, _obj
