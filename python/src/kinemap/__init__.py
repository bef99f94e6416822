"""The body description of ROVA robots, from libkinemap.

    import kinemap
    body = kinemap.Body(kinemap.design_from_key((11, 1, 1)))
    print(body.joints, body.sensors, body.locator(8))
    print(kinemap.string(kinemap.StringId.MODEL_1, lang="ja"))

A Body holds one design's constant tables, read from libkinemap (libkinemap.so.2, Debian package
libkinemap2) when it is made; it never changes afterwards, so any thread may share it.
Design 1 (Design.KEYED) is the one design identified by a key; every other design number selects
the same, default data.
"""

from __future__ import annotations

import ctypes
import enum
import functools
from typing import Any, Callable, Optional, Sequence, Tuple, Union

from seekwell import _libraries
from seekwell._libraries import __version__

__all__ = [
    "JOINT_COUNT",
    "LOCATOR_SIZE",
    "PRIMITIVE_COUNT",
    "SENSOR_ID_COUNT",
    "Body",
    "Design",
    "KinemapError",
    "Language",
    "LibraryNotFoundError",
    "StringId",
    "StringNotFoundError",
    "__version__",
    "design_from_key",
    "string",
]

PRIMITIVE_COUNT = 43
"""Number of body slots: the valid locator indexes are 0 to 42."""
LOCATOR_SIZE = 128
"""Room that always suffices for one locator in the library, its NUL included."""
JOINT_COUNT = 19
"""Entries of Body.joints."""
SENSOR_ID_COUNT = 33
"""Entries of Body.sensors for the keyed design."""

_UINT_MAX = 0xFFFFFFFF
_USHORT_MAX = 0xFFFF
_NO_STRING = -1
# Room for any string of the table in one call; a longer one is fetched again with its own size.
_FIRST_STRING_ROOM = 64

# The class's members by their names in the Itanium C++ ABI (GCC and Clang).
_CONSTRUCTOR = "_ZN8CKinemapC1Ej"
_DESTRUCTOR = "_ZN8CKinemapD1Ev"
_GET_JOINT_ARRAY = "_ZN8CKinemap13GetJointArrayEPi"
_GET_SENSOR_IDS = "_ZN8CKinemap12GetSensorIDsEPi"
_GET_SENSOR_ARRAY = "_ZN8CKinemap14GetSensorArrayEPi"
_GET_PRIMITIVE_LOCATOR = "_ZN8CKinemap19GetPrimitiveLocatorEiPc"
_GET_ROBOT_DESIGN = "_ZN8CKinemap14GetRobotDesignEPti"
_GET_STRING = "KinemapGetString"


class KinemapError(Exception):
    """The base of the errors the kinemap package raises (a bad argument is a ValueError)."""


class LibraryNotFoundError(KinemapError, _libraries.LibraryNotFoundError):
    """libkinemap is not installed, or cannot be loaded; the message says what to install. Also an
    OSError, as it always was."""


class StringNotFoundError(KinemapError, LookupError):
    """The string table has no such string, or none in that language."""


class Design(enum.IntEnum):
    """The design numbers that design_from_key answers."""

    DEFAULT = 0
    """No key matched; also the design that has no key (the same data)."""
    KEYED = 1
    """The design of the key 11, 1, 1."""


class Language(enum.IntEnum):
    """Languages of the string table, by the library's language numbers."""

    FROM_LOCALE = 0
    """Chosen from LANGUAGE, LC_ALL, LC_MESSAGES and LANG, as gettext does."""
    ENGLISH = 1033
    JAPANESE = 1041


class StringId(enum.IntEnum):
    """Ids of the string table: eight colour names, then four model names."""

    COLOUR_1 = 1
    COLOUR_2 = 2
    COLOUR_3 = 3
    COLOUR_4 = 4
    COLOUR_5 = 5
    COLOUR_6 = 6
    COLOUR_7 = 7
    COLOUR_8 = 8
    MODEL_1 = 9
    MODEL_2 = 10
    MODEL_3 = 11
    MODEL_4 = 12


_LANGUAGE_CODES = {"en": Language.ENGLISH, "ja": Language.JAPANESE}

_IntPointer = ctypes.POINTER(ctypes.c_int)


def _library() -> ctypes.CDLL:
    return _libraries.load(_libraries.KINEMAP, LibraryNotFoundError)


@functools.lru_cache(maxsize=None)
def _function(name: str, result: Optional[type], *arguments: type) -> Callable[..., Any]:
    # A pointer of our own, so that no other user of the library sees our argtypes.
    function = _library()[name]
    function.restype = result
    function.argtypes = list(arguments)
    return function


class _CKinemap(ctypes.Structure):
    # The object's layout is part of the library's interface: a vtable pointer, then m_nDesign.
    _fields_ = [("vtable", ctypes.c_void_p), ("m_nDesign", ctypes.c_uint)]


def _member(name: str, result: Optional[type], *arguments: type) -> Callable[..., Any]:
    return _function(name, result, ctypes.POINTER(_CKinemap), *arguments)


def _int_array(native: _CKinemap, name: str) -> Tuple[int, ...]:
    # A NULL pointer asks for the count; the caller then gives exactly that much room.
    query = _member(name, ctypes.c_int, _IntPointer)
    values = (ctypes.c_int * query(ctypes.byref(native), None))()
    query(ctypes.byref(native), values)
    return tuple(values)


def _locators(native: _CKinemap) -> Tuple[str, ...]:
    get_locator = _member(_GET_PRIMITIVE_LOCATOR, ctypes.c_int, ctypes.c_int, ctypes.c_char_p)
    buffer = ctypes.create_string_buffer(LOCATOR_SIZE)
    locators = []
    for index in range(PRIMITIVE_COUNT):
        get_locator(ctypes.byref(native), index, buffer)
        locators.append(buffer.value.decode("utf-8", errors="replace"))
    return tuple(locators)


class Body:
    """One robot design's body: its joints, sensor slots and the locator of every slot."""

    __slots__ = ("_design", "_joints", "_sensors", "_slot_joints", "_locators")

    def __init__(self, design: int = Design.DEFAULT) -> None:
        """Reads the tables of design number `design` (0 to 2**32 - 1) from libkinemap.

        Raises ValueError for a number outside that range and LibraryNotFoundError when
        libkinemap is not installed.
        """
        if not 0 <= design <= _UINT_MAX:
            raise ValueError(f"design {design} is not a design number (0 to {_UINT_MAX})")
        native = _CKinemap()
        _member(_CONSTRUCTOR, None, ctypes.c_uint)(ctypes.byref(native), design)
        try:
            self._design = int(native.m_nDesign)
            self._joints = _int_array(native, _GET_JOINT_ARRAY)
            self._sensors = _int_array(native, _GET_SENSOR_IDS)
            self._slot_joints = tuple(
                None if position < 0 else position for position in _int_array(native, _GET_SENSOR_ARRAY)
            )
            self._locators = _locators(native)
        finally:
            _member(_DESTRUCTOR, None)(ctypes.byref(native))

    @property
    def design(self) -> int:
        """The design number this body was made for."""
        return self._design

    @property
    def joints(self) -> Tuple[int, ...]:
        """The 19 joint identifiers; a joint's place here is its joint position."""
        return self._joints

    @property
    def sensors(self) -> Tuple[int, ...]:
        """The keyed design's 33 sensor slots (slot indexes) in order; empty for other designs."""
        return self._sensors

    @property
    def slot_joints(self) -> Tuple[Optional[int], ...]:
        """For each of the 43 slots, the joint position sitting there, or None."""
        return self._slot_joints

    @property
    def locators(self) -> Tuple[str, ...]:
        """The locator of each of the 43 slots ("" for a slot without one)."""
        return self._locators

    def locator(self, index: int) -> str:
        """The locator of slot `index`; IndexError outside 0 to 42 (negative indexes included)."""
        if not 0 <= index < PRIMITIVE_COUNT:
            raise IndexError(f"slot {index} is outside 0 to {PRIMITIVE_COUNT - 1}")
        return self._locators[index]

    def __repr__(self) -> str:
        return f"kinemap.Body({self._design})"


def design_from_key(key: Sequence[int]) -> Design:
    """The design of a key of 16-bit units: Design.KEYED for (11, 1, 1), else Design.DEFAULT.

    Raises ValueError for a unit outside 0 to 65535 rather than letting it wrap into another key.
    """
    units = list(key)
    for unit in units:
        if not 0 <= unit <= _USHORT_MAX:
            raise ValueError(f"key unit {unit} is outside 0 to {_USHORT_MAX}")
    get_design = _function(_GET_ROBOT_DESIGN, ctypes.c_uint, ctypes.POINTER(ctypes.c_ushort), ctypes.c_int)
    return Design(get_design((ctypes.c_ushort * len(units))(*units), len(units)))


def _language_number(lang: Union[str, int, None]) -> int:
    if lang is None:
        return Language.FROM_LOCALE
    if isinstance(lang, str):
        if lang not in _LANGUAGE_CODES:
            raise ValueError(f"unknown language {lang!r}: use one of {', '.join(_LANGUAGE_CODES)}")
        return _LANGUAGE_CODES[lang]
    if not 0 <= lang <= _USHORT_MAX:
        raise ValueError(f"language number {lang} is outside 0 to {_USHORT_MAX}")
    return lang


def string(string_id: int, lang: Union[str, int, None] = None) -> str:
    """String `string_id` of the table (a StringId) in a language.

    `lang` is "en", "ja", a Language or the library's language number; None (the default) picks
    English or Japanese from the environment, as gettext would. Raises StringNotFoundError (a
    LookupError) when the id or the language has no string.
    """
    language = _language_number(lang)
    if not 0 <= string_id <= _UINT_MAX:
        raise StringNotFoundError(f"no string {string_id}")
    get = _function(_GET_STRING, ctypes.c_int, ctypes.c_uint, ctypes.c_ushort, ctypes.c_char_p, ctypes.c_int)
    room = _FIRST_STRING_ROOM
    while True:
        buffer = ctypes.create_string_buffer(room)
        length = get(string_id, language, buffer, room)
        if length == _NO_STRING:
            raise StringNotFoundError(f"no string {string_id} in language {language}")
        if length < room:
            return buffer.value.decode("utf-8")
        # Cut: the whole string needs its length and the NUL.
        room = length + 1
