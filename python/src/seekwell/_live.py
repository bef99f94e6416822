"""The live search of libseekwell, its events and the package's errors.

The library runs a search on a thread of its own and keeps its events until the host dispatches
them; here they are dispatched on the caller's thread only, either from a poll of the search's
descriptor (Search, for a `for` loop) or from the event loop's reader (AsyncSearch). The package
starts no thread of its own and prints nothing.
"""

from __future__ import annotations

import collections
import ctypes
import enum
import errno
import functools
import os
import select
import weakref
from types import TracebackType
from typing import TYPE_CHECKING, Any, Callable, Deque, Iterator, NamedTuple, Optional, Type, TypeVar, Union

from . import _libraries

if TYPE_CHECKING:
    import asyncio

SEARCH_WINDOW_SECONDS = 10.0
"""How long every search listens for answers: no blocking search is shorter, and it is the live
search's default window."""

MIN_PERIOD_SECONDS = 0.2
"""The shortest time between the searches of one live search."""

# How long a `for` loop waits in one poll of the search's descriptor. The poll returns as soon as
# an event waits, and a signal (Ctrl-C) interrupts it; the slice only bounds how long any one
# call into the system lasts.
_POLL_SLICE_MS = 200
_UINT_MAX = 0xFFFFFFFF


class SeekwellError(Exception):
    """The base of every error the seekwell package raises."""


class LibraryNotFoundError(SeekwellError, _libraries.LibraryNotFoundError):
    """libseekwell is not installed, cannot be loaded, or lacks a function this package needs;
    the message says what to install. Also an OSError, as it always was."""


class NoSearchError(SeekwellError, RuntimeError):
    """No search took place, and nothing was sent."""


class SearchStartError(NoSearchError):
    """A live search could not start, or could not search at all (DONE with reason failed).

    `errno` is the errno value the library gave (ENETDOWN: the named interface is down or has no
    IPv4 address; ENOMEM, EMFILE, EAGAIN: memory, descriptors or a thread were lacking)."""

    def __init__(self, message: str, error_number: int) -> None:
        super().__init__(message)
        self.errno = error_number


class InterfaceNotFoundError(SearchStartError, ValueError):
    """No network interface has the name given to search(), search_async() or --interface."""

    def __init__(self, interface: str) -> None:
        super().__init__(f"no interface named '{interface}'", errno.ENODEV)
        self.interface = interface


class SkipReason(enum.IntEnum):
    """Why a responder was left out, as libseekwell tells it (seekwell_skip_reason). Where a reply
    came from is checked first (OTHER_INTERFACE, OFF_SUBNET, OWN_ADDRESS), then the rules below in
    their order."""

    NONE = 0
    NO_MARKER = 1
    """The reply lacks the robot marker."""
    OTHER_INTERFACE = 2
    """The reply arrived on an interface the search does not search on."""
    BAD_LOCATION = 3
    """No LOCATION of the form http://<IPv4 address>/."""
    LOCATION_NOT_UNICAST = 4
    """LOCATION names a loopback, unspecified, multicast or broadcast address."""
    LOCATION_ELSEWHERE = 5
    """LOCATION names another host than the sender."""
    CONNECT_TIMEOUT = 6
    """No connection to the description's HTTP port within 30 s."""
    CONNECT_REFUSED = 7
    """Nothing listens on the HTTP port."""
    FETCH_FAILED = 8
    """The fetch broke off (30 s of silence, 60 s in all, a reset)."""
    HTTP_STATUS = 9
    """No robot description, and the status was not 2xx (see Skipped.http_status)."""
    BODY_OVER_LIMIT = 10
    """No robot UDN within the bytes the library reads of a description."""
    NO_ROBOT_UDN = 11
    """The description's UDN lacks the robot marker."""
    OFF_SUBNET = 12
    """The sender is outside the subnet of the interface its reply arrived on: it may be forged."""
    OWN_ADDRESS = 13
    """The sender is one of this host's own addresses."""
    OVERLOAD = 14
    """Too many responders at once: replies from new senders go unexamined for a while (told once
    per round), or a fetch was given up while the slow ones filled their lane."""

    @property
    def code(self) -> str:
        """The reason as seekwell-discover --json writes it: "no-marker", "http-status", ..."""
        return self.name.lower().replace("_", "-")

    @classmethod
    def _missing_(cls, value: object) -> Optional[SkipReason]:
        # A newer library may know more reasons: they stay numbers rather than break the search.
        if not isinstance(value, int):
            return None
        unknown = int.__new__(cls, value)
        unknown._name_ = f"UNKNOWN_{value}"
        unknown._value_ = value
        return unknown


class DoneReason(enum.IntEnum):
    """How a live search ended (seekwell_done_reason)."""

    NONE = 0
    WINDOW_OVER = 1
    """The window ended and the fetches it started are over."""
    CANCELLED = 2
    """Stopped by the host: cancel(), close(), a break out of the loop, a cancelled task."""
    FAILED = 3
    """It could not search at all; the iterator raised SearchStartError."""


class SearchPath(enum.IntEnum):
    """Which way discover() (the blocking call) searches (seekwell_search_path)."""

    FINDER = 1
    """Through the platform's UPnP finder, in the library's helper program."""
    BUILT_IN = 2
    """The library's own search."""
    NONE = 3
    """No search would take place."""


class _RobotFields(NamedTuple):
    name: str
    """Its friendly name, decoded as UTF-8 with U+FFFD for bytes that are not ("" if the library
    could not copy it)."""
    address: str
    """Its network address: a dotted IPv4 address, or on discover()'s finder path the host part
    of its presentation URL, which may carry a port or a path ("192.0.2.11:8080/app")."""


_ResponderT = TypeVar("_ResponderT", bound="_Responder")


class _Responder(_RobotFields):
    # Two fields, so that `name, address = robot` goes on working; what the live search tells
    # besides is held beside the tuple, read-only.
    def __new__(
        cls: Type[_ResponderT],
        name: str,
        address: str,
        location: str = "",
        interface: str = "",
        raw_name: Optional[bytes] = None,
    ) -> _ResponderT:
        self = super().__new__(cls, name, address)
        self.__dict__.update(_location=location, _interface=interface, _raw_name=raw_name)
        return self

    @property
    def location(self) -> str:
        """The LOCATION URL of its reply (live search only; "" from discover())."""
        return str(self.__dict__.get("_location", ""))

    @property
    def interface(self) -> str:
        """The interface it was searched on (live search only; "" from discover())."""
        return str(self.__dict__.get("_interface", ""))

    @property
    def raw_name(self) -> bytes:
        """Its friendly name as the bytes it sent (live search), or name encoded as UTF-8."""
        raw = self.__dict__.get("_raw_name")
        return raw if isinstance(raw, bytes) else self.name.encode()

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(name={self.name!r}, address={self.address!r}, "
            f"location={self.location!r}, interface={self.interface!r})"
        )


class Robot(_Responder):
    """One robot that answered a search: a (name, address) pair, with its location and
    interface besides when the live search found it."""


class Gone(_Responder):
    """A robot that stopped answering a search with window 0 (after it missed three of its
    searches in a row); the same fields as the Robot it was."""


class Skipped(NamedTuple):
    """A responder that the live search left out, and why."""

    address: str
    """Its dotted IPv4 address."""
    location: str
    """The LOCATION its reply named, as sent ("" if none)."""
    interface: str
    """The interface it was searched on."""
    reason: SkipReason
    """Which rule left it out."""
    detail: str
    """The reason in words, as the library tells it."""
    http_status: int
    """The status of its fetched description, else 0."""


Event = Union[Robot, Skipped, Gone]
"""What a live search yields: robots as they answer, responders left out, robots gone."""


class _CEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("name", ctypes.c_char_p),
        ("address", ctypes.c_char_p),
        ("location", ctypes.c_char_p),
        ("interface_name", ctypes.c_char_p),
        ("skip_reason", ctypes.c_int),
        ("reason", ctypes.c_char_p),
        ("http_status", ctypes.c_int),
        ("done_reason", ctypes.c_int),
        ("error", ctypes.c_int),
    ]


class _COptions(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("window_ms", ctypes.c_uint),
        ("interface_name", ctypes.c_char_p),
        ("period_ms", ctypes.c_uint),
    ]


EVENT_ROBOT, EVENT_SKIPPED, EVENT_GONE, EVENT_DONE = 1, 2, 3, 4
_EventFunction = ctypes.CFUNCTYPE(None, ctypes.POINTER(_CEvent), ctypes.c_void_p)


class RawEvent(NamedTuple):
    """One event as the library handed it over: texts as bytes, codes as numbers (private: what
    python3 -m seekwell prints byte for byte)."""

    type: int
    name: bytes
    address: bytes
    location: bytes
    interface: bytes
    skip_reason: int
    reason: bytes
    http_status: int


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", errors="replace")


def typed_event(raw: RawEvent) -> Event:
    """The public form of one event."""
    if raw.type == EVENT_SKIPPED:
        return Skipped(
            _text(raw.address),
            _text(raw.location),
            _text(raw.interface),
            SkipReason(raw.skip_reason),
            _text(raw.reason),
            raw.http_status,
        )
    fields = (_text(raw.name), _text(raw.address), _text(raw.location), _text(raw.interface), raw.name)
    return Gone(*fields) if raw.type == EVENT_GONE else Robot(*fields)


class _Api(NamedTuple):
    start: Callable[..., Any]
    fd: Callable[..., Any]
    dispatch: Callable[..., Any]
    cancel: Callable[..., Any]
    free: Callable[..., Any]


def _bind(name: str, result: Optional[type], *arguments: type) -> Callable[..., Any]:
    library = _libraries.load(_libraries.SEEKWELL, LibraryNotFoundError)
    try:
        # A pointer of our own, so that no other user of the library sees our argtypes.
        function = library[name]
    except AttributeError as missing:
        raise LibraryNotFoundError(
            f"{_libraries.SEEKWELL.soname} has no {name}: install libseekwell2 2.1 or later"
        ) from missing
    function.restype = result
    function.argtypes = list(arguments)
    return function


@functools.lru_cache(maxsize=None)
def _api() -> _Api:
    handle = ctypes.c_void_p
    return _Api(
        _bind(
            "seekwell_search_start",
            ctypes.c_int,
            ctypes.POINTER(_COptions),
            _EventFunction,
            ctypes.c_void_p,
            ctypes.POINTER(handle),
        ),
        _bind("seekwell_search_fd", ctypes.c_int, handle),
        _bind("seekwell_search_dispatch", ctypes.c_int, handle),
        _bind("seekwell_search_cancel", None, handle),
        _bind("seekwell_search_free", None, handle),
    )


@functools.lru_cache(maxsize=None)
def _path_function() -> Callable[..., Any]:
    return _bind("seekwell_blocking_search_path", ctypes.c_int)


def blocking_search_path() -> SearchPath:
    """Which way discover() would search if called now: through the finder helper, with the
    library's own search, or not at all. Never fails once the library is loaded; it may start
    the finder helper to ask it, so it can take up to about a second (the live search always
    takes the library's own way, whatever this says)."""
    return SearchPath(_path_function()())


class _Inbox:
    """What the library's callback leaves for the host: it holds no reference to the search."""

    __slots__ = ("events", "done_reason", "done_error", "done_text", "failure")

    def __init__(self) -> None:
        self.events: Deque[RawEvent] = collections.deque()
        self.done_reason: Optional[DoneReason] = None
        self.done_error = 0
        self.done_text = b""
        self.failure: Optional[BaseException] = None

    def receive(self, pointer: Any, user_data: Optional[int]) -> None:
        # Runs inside the library's dispatch: nothing may escape into C, so whatever goes wrong
        # here (a MemoryError, a Ctrl-C) is kept and raised to the host once the dispatch is over.
        try:
            event = pointer.contents
            if event.type == EVENT_DONE:
                self.done_reason = DoneReason(event.done_reason)
                self.done_error = event.error
                self.done_text = event.reason or b""
                return
            self.events.append(
                RawEvent(
                    event.type,
                    event.name or b"",
                    event.address or b"",
                    event.location or b"",
                    event.interface_name or b"",
                    event.skip_reason,
                    event.reason or b"",
                    event.http_status,
                )
            )
        except BaseException as failure:  # noqa: B036 - re-raised by the host's next call
            if self.failure is None:
                self.failure = failure


def _milliseconds(seconds: float, what: str) -> int:
    if not 0 <= seconds <= _UINT_MAX / 1000:
        raise ValueError(f"{what} must be 0 to {_UINT_MAX // 1000} seconds, not {seconds}")
    return round(seconds * 1000)


def _free(handle: int, callback: object, loop: Optional[asyncio.AbstractEventLoop], fd: int) -> None:
    # The reader goes before the descriptor does: once freed, its number may be reused. The
    # callback is passed only so that it lives as long as the library may call it.
    if loop is not None and not loop.is_closed():
        loop.remove_reader(fd)
    _api().free(handle)


def _readable(search: weakref.ReferenceType[_Live]) -> None:
    # The loop's reader holds the search weakly, so that a search dropped unread is released.
    live = search()
    if live is not None:
        live._dispatch()
        live._wake()


class _Live:
    """One live search in the library, from its start to its release."""

    def __init__(
        self,
        window: float,
        interface: Optional[str],
        period: Optional[float],
        loop: Optional[asyncio.AbstractEventLoop] = None,
    ) -> None:
        window_ms = _milliseconds(window, "window")
        period_ms = 0 if period is None else _milliseconds(period, "period")
        if period is not None and period_ms < MIN_PERIOD_SECONDS * 1000:
            raise ValueError(f"period must be at least {MIN_PERIOD_SECONDS} s, not {period}")
        api = _api()
        self._inbox = _Inbox()
        self._waiter: Optional[asyncio.Future[None]] = None
        callback = _EventFunction(self._inbox.receive)
        options = _COptions(
            ctypes.sizeof(_COptions), window_ms, None if interface is None else os.fsencode(interface), period_ms
        )
        handle = ctypes.c_void_p()
        result: int = api.start(ctypes.byref(options), callback, None, ctypes.byref(handle))
        if result == -errno.ENODEV and interface is not None:
            raise InterfaceNotFoundError(interface)
        if result == -errno.EINVAL:
            raise ValueError(f"the library refused the search's options (window {window}, period {period})")
        if result < 0 or not handle.value:
            raise SearchStartError(f"no search took place: {os.strerror(-result)}", -result)
        self._handle: Optional[int] = handle.value
        self._fd: int = api.fd(handle.value)
        self._release = weakref.finalize(self, _free, handle.value, callback, loop, self._fd)
        if loop is not None:
            loop.add_reader(self._fd, _readable, weakref.ref(self))

    @property
    def done_reason(self) -> Optional[DoneReason]:
        """How the search ended; None while it runs."""
        return self._inbox.done_reason

    def cancel(self) -> None:
        """Stops the search: events not read yet are dropped, and the iteration ends."""
        if self._handle is not None:
            _api().cancel(self._handle)

    def close(self) -> None:
        """Stops the search if it runs and releases all it holds (thread, descriptors, sockets).
        Harmless twice; a search whose object is dropped is closed too."""
        if self._handle is not None and self._inbox.done_reason is None:
            self._inbox.done_reason = DoneReason.CANCELLED
        self._handle = None
        self._release()

    def _dispatch(self) -> None:
        """Hands the waiting events to the inbox; releases the search once it is over."""
        if self._handle is None:
            return
        if _api().dispatch(self._handle) == 0:
            self.close()

    def _wake(self) -> None:
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _next_raw(self) -> Optional[RawEvent]:
        """The next event if one waits; None while the search runs; StopIteration at its end."""
        inbox = self._inbox
        if inbox.failure is not None:
            failure, inbox.failure = inbox.failure, None
            self.close()
            raise failure
        if inbox.events:
            return inbox.events.popleft()
        if self._handle is not None:
            return None
        if inbox.done_reason == DoneReason.FAILED:
            raise SearchStartError(f"no search took place: {_text(inbox.done_text)}", inbox.done_error)
        raise StopIteration


class Search(_Live):
    """A live search, for a `for` loop: it yields each Robot the moment it answers, each
    responder left out (Skipped), and with window 0 each robot gone (Gone).

    The loop's body runs on the caller's thread, never on the library's. The search stops, and
    releases its thread, descriptors and sockets, when the loop ends, breaks or raises (Ctrl-C
    included), when close() is called or the `with` block ends, or when the object is dropped.
    """

    def __init__(
        self, window: float = SEARCH_WINDOW_SECONDS, interface: Optional[str] = None, *, period: Optional[float] = None
    ) -> None:
        super().__init__(window, interface, period)
        self._poll = select.poll()
        self._poll.register(self._fd, select.POLLIN)

    def __iter__(self) -> Search:
        return self

    def __next__(self) -> Event:
        return typed_event(self._next_raw_blocking())

    def raw_events(self) -> Iterator[RawEvent]:
        """The events as the library handed them over (private: for python3 -m seekwell)."""
        while True:
            try:
                yield self._next_raw_blocking()
            except StopIteration:
                return

    def _next_raw_blocking(self) -> RawEvent:
        try:
            while True:
                raw = self._next_raw()
                if raw is not None:
                    return raw
                # A signal ends the poll at once; its handler's exception (KeyboardInterrupt)
                # comes out of the loop and the search is closed on the way.
                self._poll.poll(_POLL_SLICE_MS)
                self._dispatch()
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> Search:
        return self

    def __exit__(
        self, kind: Optional[Type[BaseException]], error: Optional[BaseException], trace: Optional[TracebackType]
    ) -> None:
        self.close()


def search(
    window: float = SEARCH_WINDOW_SECONDS, interface: Optional[str] = None, *, period: Optional[float] = None
) -> Search:
    """Starts a live search and returns it, for a `for` loop (or `with ... as events`).

        for event in seekwell.search():
            if isinstance(event, seekwell.Robot):
                print(event.name, event.address)

    window: seconds to search (0: until the search is stopped; robots then come and go);
    interface: one network interface by name (None: every IPv4 interface that is up and can
    multicast); period: seconds between its searches (None: the library's 15 s, at least 0.2).

    It reports what discover()'s built-in path would, with no limit of 16, and fetches each
    description only from the address that replied. Raises InterfaceNotFoundError for an
    unknown interface and SearchStartError when it cannot start; the loop raises
    SearchStartError if the search could not search at all (a named interface down).
    """
    return Search(window, interface, period=period)


class AsyncSearch(_Live):
    """A live search for `async for`, driven by the running event loop's reader on its
    descriptor: no thread of its own, and the loop is never blocked.

    The search stops and releases its thread, descriptor and sockets when the loop ends, breaks
    or raises, when the task running it is cancelled (at once: the library's cancel takes a few
    milliseconds), when close() or aclose() is called or the `async with` block ends, or when the
    object is dropped. Use it from the loop it was made on only.
    """

    def __init__(
        self, window: float = SEARCH_WINDOW_SECONDS, interface: Optional[str] = None, *, period: Optional[float] = None
    ) -> None:
        import asyncio  # asyncio costs a synchronous host more than the rest of the package

        self._loop = asyncio.get_running_loop()
        super().__init__(window, interface, period, self._loop)

    def __aiter__(self) -> AsyncSearch:
        return self

    async def __anext__(self) -> Event:
        while True:
            try:
                raw = self._next_raw()
            except StopIteration:
                raise StopAsyncIteration from None
            if raw is not None:
                return typed_event(raw)
            self._waiter = self._loop.create_future()
            try:
                await self._waiter
            except BaseException:
                self.close()
                raise
            finally:
                self._waiter = None

    async def aclose(self) -> None:
        """close(), for contextlib.aclosing() and the like."""
        self.close()

    async def __aenter__(self) -> AsyncSearch:
        return self

    async def __aexit__(
        self, kind: Optional[Type[BaseException]], error: Optional[BaseException], trace: Optional[TracebackType]
    ) -> None:
        self.close()


def search_async(
    window: float = SEARCH_WINDOW_SECONDS, interface: Optional[str] = None, *, period: Optional[float] = None
) -> AsyncSearch:
    """search() for asyncio: call it inside a coroutine, on the loop that will read it.

        async for event in seekwell.search_async():
            if isinstance(event, seekwell.Robot):
                print(event.name, event.address)

    Cancelling the task that reads it stops the search at once and releases what it held.
    Raises as search() does, and RuntimeError outside a running event loop.
    """
    return AsyncSearch(window, interface, period=period)
