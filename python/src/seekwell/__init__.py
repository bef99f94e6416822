"""Finds ROVA robots on the local network.

    import seekwell
    for robot in seekwell.discover():
        print(robot.name, robot.address)

discover() runs one search through libseekwell (libseekwell.so.2, Debian package libseekwell2) and
blocks like the C call: at least SEARCH_WINDOW_SECONDS, at most 11 s where the finder helper is
installed and up to 970 s on the library's own search. Calls may come from any thread; calls
that overlap run one after the other. In asyncio code, await discover_async() instead.

Names come from devices on the network: they are decoded as UTF-8, and each byte sequence that is
not UTF-8 reads as U+FFFD (the replacement character), as bytes.decode(errors="replace") gives.
"""

from __future__ import annotations

import ctypes
import functools
from typing import Any, Callable, List, NamedTuple, Optional, Tuple

import _rova_libraries
from _rova_libraries import LibraryNotFoundError, __version__

__all__ = [
    "MAX_RESULTS",
    "SEARCH_WINDOW_SECONDS",
    "LibraryNotFoundError",
    "NoSearchError",
    "RawRecord",
    "Robot",
    "__version__",
    "discover",
    "discover_async",
    "search_bytes",
]

MAX_RESULTS = 16
"""The most robots one search reports: with this many, there may be more on the network."""

SEARCH_WINDOW_SECONDS = 10.0
"""How long every search listens for answers: no search is shorter."""

_NO_SEARCH = -1

# A robot's name and address as the C library hands them over: bytes, or None for a string it
# could not copy.
RawRecord = Tuple[Optional[bytes], Optional[bytes]]


class Robot(NamedTuple):
    """One robot that answered a search."""

    name: str
    """Its friendly name ("" if the library could not copy it)."""
    address: str
    """Its network address: a dotted IPv4 address, or on the finder path the host part of its
    presentation URL, which may carry a port or a path ("192.0.2.11:8080/app")."""


class NoSearchError(RuntimeError):
    """No search took place: the library could not start one, and nothing was sent."""


class _DiscoveryResult(ctypes.Structure):
    # Plain addresses rather than c_char_p, so that the strings can be handed back to free().
    _fields_ = [("pszName", ctypes.c_void_p), ("pszAddress", ctypes.c_void_p)]


@functools.lru_cache(maxsize=None)
def _discovery_function() -> Callable[..., Any]:
    # A pointer of our own, so that no other user of the library sees our argtypes.
    function = _rova_libraries.load(_rova_libraries.SEEKWELL)["DiscoveryROVAByUPnP"]
    function.argtypes = [ctypes.POINTER(_DiscoveryResult)]
    function.restype = ctypes.c_int
    return function


def _take(pointer: Optional[int]) -> Optional[bytes]:
    return ctypes.string_at(pointer) if pointer else None


def search_bytes() -> List[RawRecord]:
    """discover() without decoding: each robot's name and address as the bytes the library
    reported, or None for a string it could not copy.

    Every string the library handed over is freed here, whatever happens while reading them.
    Raises NoSearchError when no search took place.
    """
    records = (_DiscoveryResult * MAX_RESULTS)()
    try:
        count = _discovery_function()(records)
        if count == _NO_SEARCH:
            raise NoSearchError(
                "no search took place: the library could not start one (its finder helper "
                "failed to start, or an overlapping search could not be waited for)"
            )
        return [(_take(record.pszName), _take(record.pszAddress)) for record in records[: max(0, count)]]
    finally:
        # Records the library did not write still hold the NULLs they were made with.
        for record in records:
            _rova_libraries.free(record.pszName)
            _rova_libraries.free(record.pszAddress)


def _text(raw: Optional[bytes]) -> str:
    return "" if raw is None else raw.decode("utf-8", errors="replace")


def discover() -> List[Robot]:
    """Runs one search and returns the robots that answered, at most MAX_RESULTS.

    Blocks for the whole search (see the module's description); the interpreter's other threads
    run meanwhile. Raises NoSearchError when no search took place, and LibraryNotFoundError
    when libseekwell is not installed.
    """
    return [Robot(_text(name), _text(address)) for name, address in search_bytes()]


async def discover_async() -> List[Robot]:
    """discover() in a worker thread, awaited without blocking the event loop.

    Cancelling the awaiting task does not stop the search: it runs to its end in its thread,
    which frees what the library handed over.
    """
    # asyncio costs a synchronous host more to import than the rest of the package together.
    import asyncio

    return await asyncio.to_thread(discover)
