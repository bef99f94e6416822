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
import fcntl
import functools
import numbers
import os
import select
import socket
import struct
import weakref
from types import TracebackType
from typing import (
    TYPE_CHECKING,
    Any,
    AsyncIterator,
    Callable,
    Deque,
    Dict,
    Iterable,
    Iterator,
    NamedTuple,
    Optional,
    Tuple,
    Type,
    TypeVar,
    Union,
)

from . import _libraries

if TYPE_CHECKING:
    import asyncio

SEARCH_WINDOW_SECONDS = 10.0
"""How long every search listens for answers: no blocking search is shorter, and it is the live
search's default window."""

MIN_PERIOD_SECONDS = 0.2
"""The shortest time between the searches of one live search."""

MAX_TARGET_ADDRESSES = 4096
"""The most addresses a live search's targets may hold in all (a /20 holds 4096)."""

# How long a `for` loop waits in one poll of the search's descriptor. The poll returns as soon as
# an event waits, and a signal (Ctrl-C) interrupts it; the slice only bounds how long any one
# call into the system lasts.
_POLL_SLICE_MS = 200
_UINT_MAX = 0xFFFFFFFF

# An interface's flags, as <linux/sockios.h> and <net/if.h> name them: the request, a struct
# ifreq (its name, then a union whose first member the flags are), and the loopback flag.
_SIOCGIFFLAGS = 0x8913
_IFNAMSIZ = 16
_IFREQ = struct.Struct(f"{_IFNAMSIZ}s24s")
_IFF_LOOPBACK = 0x8


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


def interface_refusal(shown_name: str, loopback: bool, interfaces: Tuple[str, ...]) -> str:
    """Why an interface cannot be searched, and which can, in seekwell-discover's words (private:
    python3 -m seekwell passes the name as a terminal shows it)."""
    if loopback:
        why = f"'{shown_name}' is the loopback interface, where no robot answers"
    else:
        why = f"no interface named '{shown_name}'"
    if not interfaces:
        return f"{why}; this host has none but loopback"
    return f"{why}; interfaces here: {', '.join(interfaces)}"


class InterfaceNotFoundError(SearchStartError, ValueError):
    """No network interface has the name given to search(), search_async() or --interface.
    `interfaces` names those that can be searched (loopback left out), as the message does."""

    def __init__(self, interface: str, interfaces: Tuple[str, ...] = ()) -> None:
        super().__init__(interface_refusal(interface, False, interfaces), errno.ENODEV)
        self.interface = interface
        self.interfaces = interfaces


class LoopbackInterfaceError(SearchStartError, ValueError):
    """The interface given to search(), search_async() or --interface is a loopback interface
    ("lo"): this host itself, where no robot answers. `interfaces` names those that can be
    searched. Nothing was started or sent."""

    def __init__(self, interface: str, interfaces: Tuple[str, ...] = ()) -> None:
        super().__init__(interface_refusal(interface, True, interfaces), errno.EINVAL)
        self.interface = interface
        self.interfaces = interfaces


class _NamedIntEnum(enum.IntEnum):
    # Printed by name ("SearchPath.FINDER"), where Python 3.11's IntEnum prints a bare number;
    # still an int everywhere else.
    def __str__(self) -> str:
        return f"{type(self).__name__}.{self.name}"

    def __format__(self, template: str) -> str:
        return format(str(self), template)


class _OpenIntEnum(_NamedIntEnum):
    # A newer library may know more reasons: they stay numbers (UNKNOWN_<n>) rather than break
    # the search, a refusal still a refusal.
    @classmethod
    def _missing_(cls, value: object) -> Optional[_OpenIntEnum]:
        if not isinstance(value, int):
            return None
        unknown = int.__new__(cls, value)
        unknown._name_ = f"UNKNOWN_{value}"
        unknown._value_ = value
        return unknown


class TargetReason(_OpenIntEnum):
    """Why the library refuses an entry of targets (seekwell_target_reason), in the order each
    entry is checked: its form, the addresses of the entries so far, then each address it names.
    `detail` gives it in seekwell-discover's words."""

    ACCEPTED = 0
    NOT_AN_ADDRESS = 1
    """Neither a dotted IPv4 address nor a CIDR range: "300.1.1.1", " 192.0.2.10", "/33"."""
    HOSTNAME = 2
    """A name such as "robot.local": none is looked up."""
    PREFIX_TOO_SHORT = 3
    """A range wider than /20."""
    TOO_MANY_ADDRESSES = 4
    """With the entries before it, more than MAX_TARGET_ADDRESSES addresses."""
    LOOPBACK = 5
    """In 127.0.0.0/8: this host itself."""
    NOT_UNICAST = 6
    """An address no device has: multicast, broadcast, 0.0.0.0/8 or 240.0.0.0/4."""

    @property
    def detail(self) -> str:
        """The reason in words, as seekwell-discover says it."""
        return _TARGET_DETAILS.get(int(self), f"refused by the library (reason {int(self)})")


_TARGET_DETAILS: Dict[int, str] = {
    TargetReason.ACCEPTED: "taken",
    TargetReason.NOT_AN_ADDRESS: "not an IPv4 address or CIDR range, such as 192.0.2.10 or 192.0.2.0/24",
    TargetReason.HOSTNAME: "a hostname: names are not looked up, give the robot's IPv4 address",
    TargetReason.PREFIX_TOO_SHORT: f"a range wider than /20, which holds {MAX_TARGET_ADDRESSES} addresses",
    TargetReason.TOO_MANY_ADDRESSES: f"more than {MAX_TARGET_ADDRESSES} addresses with the entries before it",
    TargetReason.LOOPBACK: "a loopback address: this host itself, never a robot",
    TargetReason.NOT_UNICAST: "not a unicast address: multicast, broadcast, 0.0.0.0/8 or 240.0.0.0/4",
}


class TargetError(SearchStartError, ValueError):
    """The library refuses targets given to search(), search_async() or --probe. `targets` holds
    each entry refused, in the order given, and `reasons` why, one TargetReason for each: a
    hostname, not an address, a loopback or other address that is not unicast, a prefix shorter
    than /20, or more than MAX_TARGET_ADDRESSES addresses with the entries before it. The message
    names them all. Nothing was started or sent."""

    def __init__(self, targets: Tuple[str, ...], reasons: Tuple[TargetReason, ...] = ()) -> None:
        named = "; ".join(f"'{target}': {reason.detail}" for target, reason in zip(targets, reasons))
        super().__init__(f"refused targets: {named or ', '.join(targets)}", errno.EINVAL)
        self.targets = targets
        self.reasons = reasons


class SkipReason(_OpenIntEnum):
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
    """The description is empty, not XML or without a UDN, or its UDN lacks the robot marker
    (detail says which)."""
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


class DoneReason(_NamedIntEnum):
    """How a live search ended (seekwell_done_reason)."""

    NONE = 0
    WINDOW_OVER = 1
    """The window ended and the fetches it started are over."""
    CANCELLED = 2
    """Stopped by the host: cancel(), close(), a break out of the loop, a cancelled task."""
    FAILED = 3
    """It could not search at all; the iterator raised SearchStartError."""


class SearchPath(_NamedIntEnum):
    """Which way discover() (the blocking call) searches (seekwell_search_path); printed by name,
    "SearchPath.FINDER", and still equal to the library's number."""

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
        udn: str = "",
    ) -> _ResponderT:
        self = super().__new__(cls, name, address)
        self.__dict__.update(_location=location, _interface=interface, _raw_name=raw_name, _udn=udn)
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
        """Its friendly name as the library handed it over (live search: valid UTF-8 without
        control characters, so name encoded), or name encoded as UTF-8."""
        raw = self.__dict__.get("_raw_name")
        return raw if isinstance(raw, bytes) else self.name.encode()

    @property
    def udn(self) -> str:
        """The UDN of its description, which names the robot whatever its address: a host keys
        its robots by it (live search only; "" from discover()). Decoded as name is."""
        return str(self.__dict__.get("_udn", ""))

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(name={self.name!r}, address={self.address!r}, "
            f"location={self.location!r}, interface={self.interface!r}, udn={self.udn!r})"
        )


class Robot(_Responder):
    """One robot that answered a search: a (name, address) pair, with its location, interface
    and udn besides when the live search found it. A robot whose address changed comes again
    with its new address and the same udn, and no Gone before it: it has moved."""


class Gone(_Responder):
    """A robot that stopped answering a search with window 0 (after it missed three of its
    searches in a row), said goodbye, whose interface went away, or whose address another robot
    took; the same fields as the Robot it was, its udn included."""


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


class Quiet(NamedTuple):
    """An interface on which no device at all answered a round's searches: multicast filtered,
    a firewall, a Wi-Fi that keeps its clients apart, or simply nothing there. Told once, until a
    device answers there again; devices that answer but are no robots give Skipped instead."""

    interface: str
    """The interface's name."""
    detail: str
    """What happened, in words, with advice."""


class Dropped(NamedTuple):
    """An interface on which this host dropped replies for want of room (a LAN of many robots
    answering at once) and the search could not learn again who sent them all: some robots there
    may be missing this round. Told at most once a round; a larger net.core.rmem_max helps."""

    interface: str
    """The interface's name."""
    detail: str
    """What happened, in words, with the count and advice."""


Event = Union[Robot, Skipped, Gone, Quiet, Dropped]
"""What a live search yields: robots as they answer, responders left out, robots gone,
interfaces where nothing answered and interfaces where replies were dropped."""


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
        ("udn", ctypes.c_char_p),
    ]


class _COptions(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("window_ms", ctypes.c_uint),
        ("interface_name", ctypes.c_char_p),
        ("period_ms", ctypes.c_uint),
        ("targets", ctypes.POINTER(ctypes.c_char_p)),
    ]


EVENT_ROBOT, EVENT_SKIPPED, EVENT_GONE, EVENT_DONE, EVENT_QUIET, EVENT_DROPPED = 1, 2, 3, 4, 5, 6
# What the host is handed; newer libraries may tell more, which a host ignores.
_HANDED_OVER = (EVENT_ROBOT, EVENT_SKIPPED, EVENT_GONE, EVENT_QUIET, EVENT_DROPPED)
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
    udn: bytes


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", errors="replace")


_FormT = TypeVar("_FormT")


def _as_handed_over(raw: RawEvent) -> RawEvent:
    return raw


def typed_event(raw: RawEvent) -> Event:
    """The public form of one event."""
    if raw.type == EVENT_QUIET:
        return Quiet(_text(raw.interface), _text(raw.reason))
    if raw.type == EVENT_DROPPED:
        return Dropped(_text(raw.interface), _text(raw.reason))
    if raw.type == EVENT_SKIPPED:
        return Skipped(
            _text(raw.address),
            _text(raw.location),
            _text(raw.interface),
            SkipReason(raw.skip_reason),
            _text(raw.reason),
            raw.http_status,
        )
    fields = (_text(raw.name), _text(raw.address), _text(raw.location), _text(raw.interface), raw.name, _text(raw.udn))
    return Gone(*fields) if raw.type == EVENT_GONE else Robot(*fields)


class _Api(NamedTuple):
    start: Callable[..., Any]
    fd: Callable[..., Any]
    dispatch: Callable[..., Any]
    cancel: Callable[..., Any]
    free: Callable[..., Any]


class LibraryVersion(NamedTuple):
    """A version of libseekwell: compare it with a tuple, `seekwell.library_version() >= (2, 1)`;
    str() gives "2.1.0"."""

    major: int
    minor: int
    patch: int

    def __str__(self) -> str:
        return f"{self.major}.{self.minor}.{self.patch}"


MIN_LIBRARY_VERSION = LibraryVersion(2, 1, 0)
"""The oldest libseekwell this package runs with: the first with the live search."""


class _CVersion(ctypes.Structure):
    _fields_ = [
        ("major", ctypes.c_int),
        ("minor", ctypes.c_int),
        ("patch", ctypes.c_int),
        ("number", ctypes.c_uint),
        ("text", ctypes.c_char_p),
    ]


def _too_old(version: str) -> LibraryNotFoundError:
    return LibraryNotFoundError(
        f"{_libraries.SEEKWELL.soname} is version {version}, and this package needs {MIN_LIBRARY_VERSION} or "
        f"later: install {_libraries.SEEKWELL.package} {MIN_LIBRARY_VERSION.major}.{MIN_LIBRARY_VERSION.minor} "
        "or later, or put its folder first on LD_LIBRARY_PATH"
    )


def _function(library: ctypes.CDLL, name: str, result: Optional[type], *arguments: type) -> Callable[..., Any]:
    # A pointer of our own, so that no other user of the library sees our argtypes.
    function = library[name]
    function.restype = result
    function.argtypes = list(arguments)
    return function


@functools.lru_cache(maxsize=None)
def library_version() -> LibraryVersion:
    """The version of the libseekwell that this process runs with, as the library itself tells
    it (seekwell_version()); the package's own is __version__.

    Raises LibraryNotFoundError when libseekwell cannot be loaded or is older than
    MIN_LIBRARY_VERSION (2.0 has no seekwell_version()): every call into the library checks this
    first.
    """
    library = _libraries.load(_libraries.SEEKWELL, LibraryNotFoundError)
    try:
        version_function = _function(library, "seekwell_version", ctypes.POINTER(_CVersion))
    except AttributeError as missing:
        raise _too_old("2.0") from missing
    info = version_function().contents
    version = LibraryVersion(info.major, info.minor, info.patch)
    if version < MIN_LIBRARY_VERSION:
        raise _too_old(str(version))
    return version


def seekwell_library() -> ctypes.CDLL:
    """libseekwell, loaded once and refused when older than MIN_LIBRARY_VERSION."""
    library_version()
    return _libraries.load(_libraries.SEEKWELL, LibraryNotFoundError)


def _bind(name: str, result: Optional[type], *arguments: type) -> Callable[..., Any]:
    try:
        return _function(seekwell_library(), name, result, *arguments)
    except AttributeError as missing:
        raise LibraryNotFoundError(
            f"{_libraries.SEEKWELL.soname} {library_version()} has no {name}: install "
            f"{_libraries.SEEKWELL.package} {MIN_LIBRARY_VERSION} or later"
        ) from missing


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


@functools.lru_cache(maxsize=None)
def _check_function() -> Callable[..., Any]:
    return _bind(
        "seekwell_check_targets",
        ctypes.c_int,
        ctypes.POINTER(ctypes.c_char_p),
        ctypes.POINTER(ctypes.c_size_t),
        ctypes.POINTER(ctypes.c_int),
    )


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
            if event.type not in _HANDED_OVER:
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
                    event.udn or b"",
                )
            )
        except BaseException as failure:  # noqa: B036 - re-raised by the host's next call
            if self.failure is None:
                self.failure = failure


def seconds_argument(seconds: object, what: str) -> float:
    """seconds, when it is a number: an int or a float (bool is neither here)."""
    if isinstance(seconds, bool) or not isinstance(seconds, numbers.Real):
        raise TypeError(f"{what} must be a number of seconds, such as 10 or 2.5, not {type(seconds).__name__}")
    return float(seconds)


def _milliseconds(seconds: object, what: str) -> int:
    value = seconds_argument(seconds, what)
    if not 0 <= value <= _UINT_MAX / 1000:
        raise ValueError(f"{what} must be 0 to {_UINT_MAX // 1000} seconds, not {seconds}")
    return round(value * 1000)


def _target_tuple(targets: Optional[Iterable[str]]) -> Tuple[str, ...]:
    if targets is None:
        return ()
    # A lone str is an iterable of str too: its characters would go as targets.
    if isinstance(targets, (str, bytes)):
        raise TypeError(f"targets must be an iterable of str, such as [{targets!r}], not a {type(targets).__name__}")
    given = tuple(targets)
    for target in given:
        if not isinstance(target, str):
            raise TypeError(f"each target must be a str, not {type(target).__name__} ({target!r})")
    return given


def _c_targets(targets: Tuple[str, ...]) -> Optional[ctypes.Array[ctypes.c_char_p]]:
    """The NULL-terminated list the library reads during seekwell_search_start; None for none."""
    if not targets:
        return None
    return (ctypes.c_char_p * (len(targets) + 1))(*(os.fsencode(target) for target in targets), None)


def _first_refused(targets: Tuple[str, ...]) -> Tuple[int, TargetReason]:
    """The library's answer for the list: the first entry it refuses and why, or the number of
    entries and ACCEPTED."""
    first = ctypes.c_size_t()
    reason = ctypes.c_int()
    _check_function()(_c_targets(targets), ctypes.byref(first), ctypes.byref(reason))
    return first.value, TargetReason(reason.value)


def refused_targets(targets: Tuple[str, ...]) -> Tuple[Tuple[int, TargetReason], ...]:
    """Each entry the library would refuse, by its index, as seekwell-discover tells them: every
    entry judged alone, then those taken counted together (private: for python3 -m seekwell)."""
    refused = []
    taken = []
    for index, target in enumerate(targets):
        # C would read the text up to a NUL only: a target other than the one given.
        reason = TargetReason.NOT_AN_ADDRESS if "\0" in target else _first_refused((target,))[1]
        if reason == TargetReason.ACCEPTED:
            taken.append(index)
        else:
            refused.append((index, reason))
    first, reason = _first_refused(tuple(targets[index] for index in taken))
    if reason != TargetReason.ACCEPTED and first < len(taken):
        refused.append((taken[first], reason))
    return tuple(sorted(refused))


def _interface_kind(name: str) -> str:
    """What the kernel's flags for the name tell: "searchable", "loopback", "unknown", or
    "unchecked" where the lookup itself failed (the library then decides)."""
    raw = os.fsencode(name)
    if not raw or len(raw) >= _IFNAMSIZ or b"\0" in raw:
        return "unknown"
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            answer = fcntl.ioctl(probe.fileno(), _SIOCGIFFLAGS, _IFREQ.pack(raw, b""))
    except OSError as failure:
        return "unknown" if failure.errno == errno.ENODEV else "unchecked"
    flags: int = struct.unpack_from("H", answer, _IFNAMSIZ)[0]
    return "loopback" if flags & _IFF_LOOPBACK else "searchable"


def searchable_interfaces() -> Tuple[str, ...]:
    """The interfaces a search can name, loopback left out, in the kernel's order (private)."""
    try:
        every = socket.if_nameindex()
    except OSError:
        return ()
    return tuple(name for _, name in every if _interface_kind(name) == "searchable")


def _check_interface(interface: object) -> Optional[str]:
    if interface is None:
        return None
    if not isinstance(interface, str):
        raise TypeError(f"interface must be a str such as 'eth0', or None, not {type(interface).__name__}")
    kind = _interface_kind(interface)
    if kind == "loopback":
        raise LoopbackInterfaceError(interface, searchable_interfaces())
    if kind == "unknown":
        raise InterfaceNotFoundError(interface, searchable_interfaces())
    return interface


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
        targets: Optional[Iterable[str]],
        loop: Optional[asyncio.AbstractEventLoop] = None,
    ) -> None:
        window_ms = _milliseconds(window, "window")
        period_ms = 0 if period is None else _milliseconds(period, "period")
        if period is not None and period_ms < MIN_PERIOD_SECONDS * 1000:
            raise ValueError(f"period must be at least {MIN_PERIOD_SECONDS} s, not {period}")
        given_targets = _target_tuple(targets)
        refused = refused_targets(given_targets)
        if refused:
            raise TargetError(
                tuple(given_targets[index] for index, _ in refused), tuple(reason for _, reason in refused)
            )
        interface = _check_interface(interface)
        # Referenced until the start call returns: the library copies what it keeps.
        c_targets = _c_targets(given_targets)
        api = _api()
        self._inbox = _Inbox()
        self._waiter: Optional[asyncio.Future[None]] = None
        callback = _EventFunction(self._inbox.receive)
        options = _COptions(
            ctypes.sizeof(_COptions),
            window_ms,
            None if interface is None else os.fsencode(interface),
            period_ms,
            c_targets,
        )
        handle = ctypes.c_void_p()
        result: int = api.start(ctypes.byref(options), callback, None, ctypes.byref(handle))
        if result == -errno.ENODEV and interface is not None:
            raise InterfaceNotFoundError(interface, searchable_interfaces())
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
        Events not read yet are dropped: every loop over it ends. Harmless twice; a search whose
        object is dropped is closed too."""
        self._inbox.events.clear()
        self._release_search()

    def _release_search(self) -> None:
        if self._handle is not None and self._inbox.done_reason is None:
            self._inbox.done_reason = DoneReason.CANCELLED
        self._handle = None
        self._release()

    def _dispatch(self) -> None:
        """Hands the waiting events to the inbox; releases the search once it is over, keeping
        its last events for the host."""
        if self._handle is None:
            return
        if _api().dispatch(self._handle) == 0:
            self._release_search()

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
    responder left out (Skipped), each interface where nothing answered (Quiet) or where replies
    were dropped for want of room (Dropped), and with window 0 each robot gone (Gone).

    The loop's body runs on the caller's thread, never on the library's. The search stops, and
    releases its thread, descriptors and sockets, when a loop over it ends or is left (a break, a
    return, an exception, Ctrl-C included), when close() is called or the `with` block ends, or
    when the object is dropped. A stopped search yields nothing more: a second loop over it
    ends at once. Each `for` loop takes the events in turn from the one search (read it from one
    thread), and leaving any of them stops it for all.
    """

    def __init__(
        self,
        window: float = SEARCH_WINDOW_SECONDS,
        interface: Optional[str] = None,
        *,
        period: Optional[float] = None,
        targets: Optional[Iterable[str]] = None,
    ) -> None:
        super().__init__(window, interface, period, targets)
        self._poll = select.poll()
        self._poll.register(self._fd, select.POLLIN)

    def __iter__(self) -> Iterator[Event]:
        return self._events(typed_event)

    def raw_events(self) -> Iterator[RawEvent]:
        """The events as the library handed them over (private: for python3 -m seekwell)."""
        return self._events(_as_handed_over)

    def _events(self, form: Callable[[RawEvent], _FormT]) -> Iterator[_FormT]:
        # A generator, so that the loop that leaves it closes it: at once where nothing else
        # holds it (the loop drops it), and the search with it.
        try:
            while True:
                try:
                    raw = self._next_raw_blocking()
                except StopIteration:
                    return
                yield form(raw)
        finally:
            self.close()

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
    window: float = SEARCH_WINDOW_SECONDS,
    interface: Optional[str] = None,
    *,
    period: Optional[float] = None,
    targets: Optional[Iterable[str]] = None,
) -> Search:
    """Starts a live search and returns it, for a `for` loop (or `with ... as events`).

        for event in seekwell.search():
            if isinstance(event, seekwell.Robot):
                print(event.name, event.address)

    window: seconds to search (0: until the search is stopped; robots then come and go);
    interface: one network interface by name (None: every IPv4 interface that is up and can
    multicast); period: seconds between its searches (None: the library's 15 s, at least 0.2);
    targets: for robots that multicast does not reach (behind a router, on a Wi-Fi that filters
    it), IPv4 addresses to ask directly ("198.19.5.11") and CIDR ranges to sweep with unicast
    searches ("198.19.5.0/24", /20 to /32), MAX_TARGET_ADDRESSES addresses at most in all; the
    multicast search goes on beside them.

    It reports what discover()'s built-in path would, with no limit of 16, and fetches each
    description only from the address that replied (or the target asked). Before anything is
    sent it raises InterfaceNotFoundError for an unknown interface and LoopbackInterfaceError for
    a loopback one (both name the interfaces there are), TargetError naming each target the
    library refuses and why, and TypeError, naming the argument, for one of the wrong type (a
    lone str as targets included); SearchStartError when it cannot start. The loop raises
    SearchStartError if the search could not search at all (a named interface down).
    """
    return Search(window, interface, period=period, targets=targets)


class AsyncSearch(_Live):
    """A live search for `async for`, driven by the running event loop's reader on its
    descriptor: no thread of its own, and the loop is never blocked.

    The search stops and releases its thread, descriptor and sockets when the task running it
    is cancelled (at once: the library's cancel takes a few milliseconds), when close() or
    aclose() is called or the `async with` block ends, when the loop over it ends, at the event
    loop's next turn when the loop is left otherwise (a break, a return, an exception), or when
    the object is dropped. A stopped search yields nothing more. Use it from the loop it was made on
    only.
    """

    def __init__(
        self,
        window: float = SEARCH_WINDOW_SECONDS,
        interface: Optional[str] = None,
        *,
        period: Optional[float] = None,
        targets: Optional[Iterable[str]] = None,
    ) -> None:
        import asyncio  # asyncio costs a synchronous host more than the rest of the package

        self._loop = asyncio.get_running_loop()
        super().__init__(window, interface, period, targets, self._loop)

    def __aiter__(self) -> AsyncIterator[Event]:
        return self._events()

    async def _events(self) -> AsyncIterator[Event]:
        # An async generator: one that a loop leaves is closed by the event loop at its next
        # turn, and the search with it.
        try:
            while True:
                try:
                    raw = self._next_raw()
                except StopIteration:
                    return
                if raw is not None:
                    yield typed_event(raw)
                    continue
                self._waiter = self._loop.create_future()
                try:
                    await self._waiter
                finally:
                    self._waiter = None
        finally:
            self.close()

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
    window: float = SEARCH_WINDOW_SECONDS,
    interface: Optional[str] = None,
    *,
    period: Optional[float] = None,
    targets: Optional[Iterable[str]] = None,
) -> AsyncSearch:
    """search() for asyncio: call it inside a coroutine, on the loop that will read it.

        async for event in seekwell.search_async():
            if isinstance(event, seekwell.Robot):
                print(event.name, event.address)

    Cancelling the task that reads it stops the search at once and releases what it held.
    Raises as search() does, and RuntimeError outside a running event loop.
    """
    return AsyncSearch(window, interface, period=period, targets=targets)
