"""Finds ROVA robots on the local network.

    import seekwell
    for robot in seekwell.discover():
        print(robot.name, robot.address)

    for event in seekwell.search():          # the live search: each robot as it answers
        if isinstance(event, seekwell.Robot):
            print(event.name, event.address)

discover() runs one search through libseekwell (libseekwell.so.2, Debian package libseekwell2) and
blocks like the C call: at least SEARCH_WINDOW_SECONDS, at most 11 s where the finder helper is
installed and up to 970 s on the library's own search. Calls may come from any thread; calls
that overlap run one after the other.

search() and, in asyncio code, search_async() are the live search: events (Robot, Skipped,
Gone, Quiet, Dropped) as they come, no limit of 16, one interface if asked, addresses and ranges
to ask where multicast does not reach (targets), and a search that stops when the loop is left or
its task cancelled. discover_async() awaits a live search's window and returns its
robots. Every error the package raises derives from SeekwellError.

Names come from devices on the network: they are decoded as UTF-8, and each byte sequence that is
not UTF-8 reads as U+FFFD (the replacement character), as bytes.decode(errors="replace") gives.
They may hold control characters: print them through terminal_text(), which shows each control
character and each byte that is not UTF-8 as '?'.

The package needs libseekwell MIN_LIBRARY_VERSION (2.1) or later, and refuses an older one with
LibraryNotFoundError on first use; library_version() tells the version that runs.
"""

from __future__ import annotations

import ctypes
import functools
from typing import Any, Callable, Iterable, List, Optional, Tuple

from . import _libraries, _live
from ._libraries import __version__
from ._live import (
    MIN_LIBRARY_VERSION,
    MAX_TARGET_ADDRESSES,
    MIN_PERIOD_SECONDS,
    SEARCH_WINDOW_SECONDS,
    AsyncSearch,
    DoneReason,
    Dropped,
    Event,
    Gone,
    InterfaceNotFoundError,
    LibraryNotFoundError,
    LibraryVersion,
    LoopbackInterfaceError,
    NoSearchError,
    Quiet,
    Robot,
    Search,
    SearchPath,
    SearchStartError,
    SeekwellError,
    Skipped,
    SkipReason,
    TargetError,
    TargetReason,
    blocking_search_path,
    library_version,
    search,
    search_async,
)
from ._terminal import terminal_text

__all__ = [
    "MAX_RESULTS",
    "MAX_TARGET_ADDRESSES",
    "MIN_LIBRARY_VERSION",
    "MIN_PERIOD_SECONDS",
    "SEARCH_WINDOW_SECONDS",
    "AsyncSearch",
    "DoneReason",
    "Dropped",
    "Event",
    "Gone",
    "InterfaceNotFoundError",
    "LibraryNotFoundError",
    "LibraryVersion",
    "LoopbackInterfaceError",
    "NoSearchError",
    "Quiet",
    "RawRecord",
    "Robot",
    "Search",
    "SearchPath",
    "SearchStartError",
    "SeekwellError",
    "SkipReason",
    "Skipped",
    "TargetError",
    "TargetReason",
    "__version__",
    "blocking_search_path",
    "discover",
    "discover_async",
    "library_version",
    "search",
    "search_async",
    "search_bytes",
    "terminal_text",
]

# Shown as the package's own: the module they are written in is private.
for _public in [globals().get(name) for name in __all__]:
    if isinstance(_public, type) and _public.__module__.startswith(__name__ + "."):
        _public.__module__ = __name__
del _public

MAX_RESULTS = 16
"""The most robots one search reports: with this many, there may be more on the network."""

_NO_SEARCH = -1

# A robot's name and address as the C library hands them over: bytes, or None for a string it
# could not copy.
RawRecord = Tuple[Optional[bytes], Optional[bytes]]


class _DiscoveryResult(ctypes.Structure):
    # Plain addresses rather than c_char_p, so that the strings can be handed back to free().
    _fields_ = [("pszName", ctypes.c_void_p), ("pszAddress", ctypes.c_void_p)]


@functools.lru_cache(maxsize=None)
def _discovery_function() -> Callable[..., Any]:
    # A pointer of our own, so that no other user of the library sees our argtypes.
    function = _live.seekwell_library()["DiscoveryROVAByUPnP"]
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
            _libraries.free(record.pszName)
            _libraries.free(record.pszAddress)


def _text(raw: Optional[bytes]) -> str:
    return "" if raw is None else raw.decode("utf-8", errors="replace")


def discover() -> List[Robot]:
    """Runs one search and returns the robots that answered, at most MAX_RESULTS.

    Blocks for the whole search (see the module's description); the interpreter's other threads
    run meanwhile. Raises NoSearchError when no search took place, and LibraryNotFoundError
    when libseekwell is not installed.
    """
    return [Robot(_text(name), _text(address)) for name, address in search_bytes()]


async def discover_async(
    window: float = SEARCH_WINDOW_SECONDS, interface: Optional[str] = None, *, targets: Optional[Iterable[str]] = None
) -> List[Robot]:
    """The robots a live search finds in its window, awaited without blocking the event loop.

    Built on search_async(), not on discover(): there is no cap of 16, and the robots are those
    the live search's rules admit (the library's built-in search, each description fetched from
    the address that replied), whichever way discover() would search. Each Robot carries its
    location and interface besides its name and address; targets as for search(). Cancelling
    the awaiting task stops the search at once and releases what it held. Raises NoSearchError
    (SearchStartError) when no search took place, InterfaceNotFoundError for an unknown
    interface, LoopbackInterfaceError for a loopback one, TargetError for targets the library
    refuses, and TypeError, naming the argument, for one of the wrong type.
    """
    if _live.seconds_argument(window, "window") <= 0:
        raise ValueError("discover_async() needs a window that ends: use search_async(0) to watch")
    robots: List[Robot] = []
    async with search_async(window, interface, targets=targets) as events:
        async for event in events:
            if isinstance(event, Robot):
                robots.append(event)
    return robots
