"""The exceptions and enumerations of quorvale_dat, which the compiled part raises and returns."""

from __future__ import annotations

import enum
from typing import Optional


class DatError(Exception):
    """An archive or a record could not be read.

    ``str(error)`` is the text for users (``"File ID 080003E4 not found in provider"``);
    ``error.debug`` is the structural text of the library's error value
    (``"NotFound(134218724)"``); ``error.summary`` is a short message on one line, in plain
    words, that says where the error was met when the reader knows it (``"the file ends at byte
    400, inside directory node 0x00039990"``), for programs that show short messages. Each
    defaults to ``message`` for an error made without it.
    """

    def __init__(
        self, message: str, debug: Optional[str] = None, *, summary: Optional[str] = None
    ) -> None:
        super().__init__(message)
        self.message = message
        self.debug = message if debug is None else debug
        self.summary = message if summary is None else summary

    def __str__(self) -> str:
        return self.message

    def __reduce__(self):
        # Pickled with its texts and attributes, for errors sent between processes.
        return (type(self), (self.message, self.debug), self.__dict__)


class NotFoundError(DatError, KeyError):
    """The archive holds no record with this id (also a ``KeyError``); ``error.id`` is the id."""

    def __init__(
        self,
        message: str,
        debug: Optional[str] = None,
        id: Optional[int] = None,
        *,
        summary: Optional[str] = None,
    ) -> None:
        DatError.__init__(self, message, debug, summary=summary)
        self.id = id

    __str__ = DatError.__str__


class CorruptionError(DatError):
    """The archive's own structure is damaged: a block chain that loops, leaves the file or ends
    before the record does, a directory node or header cut short, a record that does not
    decompress."""


class DatIOError(DatError, OSError):
    """Reading the archive's file failed (also an ``OSError``): ``error.errno`` is the system's
    error number, ``error.strerror`` its text and ``error.filename`` the archive's path where
    known."""

    def __init__(
        self,
        message: str,
        debug: Optional[str] = None,
        errno: Optional[int] = None,
        strerror: Optional[str] = None,
        filename: Optional[str] = None,
        *,
        summary: Optional[str] = None,
    ) -> None:
        if errno is None:
            OSError.__init__(self, message)
        else:
            OSError.__init__(self, errno, strerror or message, filename)
        self.message = message
        self.debug = message if debug is None else debug
        self.summary = message if summary is None else summary
        if errno is None:
            self.filename = filename

    __str__ = DatError.__str__

    def __reduce__(self):
        args = (self.message, self.debug, self.errno, self.strerror, self.filename)
        return (type(self), args, self.__dict__)


class ParseError(DatError, ValueError):
    """Record bytes do not decode (also a ``ValueError``). ``error.field`` names the field whose
    read failed and ``error.record`` the type it belongs to (``"colors"``, ``"Palette"``); both
    are ``None`` for a failure that belongs to no field, such as a negative pixel-data length.
    Its message is the one-line text of the decoder's error, which ``summary`` repeats."""

    def __init__(
        self,
        message: str,
        debug: Optional[str] = None,
        field: Optional[str] = None,
        record: Optional[str] = None,
        *,
        summary: Optional[str] = None,
    ) -> None:
        DatError.__init__(self, message, debug, summary=summary)
        self.field = field
        self.record = record

    __str__ = DatError.__str__


class ImageError(DatError, ValueError):
    """A texture cannot become an image (also a ``ValueError``): its format has no pixel
    conversion, its size is no image, its pixel data has the wrong length, or an indexed texture
    has no palette. ``error.reason`` is one of ``"NoConversion"``, ``"InvalidSize"``,
    ``"LengthMismatch"``, ``"MissingPalette"``."""

    def __init__(
        self,
        message: str,
        debug: Optional[str] = None,
        reason: Optional[str] = None,
        *,
        summary: Optional[str] = None,
    ) -> None:
        DatError.__init__(self, message, debug, summary=summary)
        self.reason = reason

    __str__ = DatError.__str__


class RecordType(enum.IntEnum):
    """The record types this library decodes: the top byte of a record's id."""

    Palette = 0x04
    SurfaceTexture = 0x05
    Texture = 0x06
    Surface = 0x08


class SurfacePixelFormat(enum.IntEnum):
    """A texture's pixel-format code. The named codes below 0x100 are the Direct3D 9 format
    numbers; the Dxt codes are the characters "DXT1".."DXT5" read as a little-endian u32. Any
    other 32-bit code gives a member named ``Other(code)``, as in the C++ library, which is not
    one of the listed members: ``fmt.is_other`` tells."""

    Unknown = 0
    R8G8B8 = 20
    A8R8G8B8 = 21
    R5G6B5 = 23
    A4R4G4B4 = 26
    A8 = 28
    P8 = 41
    Index16 = 101
    CustomLscapeR8G8B8 = 243
    CustomLscapeAlpha = 244
    CustomRawJpeg = 500
    Dxt1 = 0x31545844
    Dxt2 = 0x32545844
    Dxt3 = 0x33545844
    Dxt4 = 0x34545844
    Dxt5 = 0x35545844

    @classmethod
    def _missing_(cls, value):
        if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < 1 << 32:
            return None
        other = int.__new__(cls, value)
        other._name_ = f"Other({value})"
        other._value_ = value
        return other

    @property
    def is_other(self) -> bool:
        """True for a code without a name of its own."""
        return self._name_.startswith("Other(")

    @property
    def is_indexed(self) -> bool:
        """P8 and Index16: the pixels are indices into a palette."""
        return self in (SurfacePixelFormat.P8, SurfacePixelFormat.Index16)
