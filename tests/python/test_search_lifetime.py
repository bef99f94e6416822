"""When a live search stops: every way of leaving a loop over it, a `with` block, a second loop;
what a search is started with and what it hands over; stepped through with a stand-in for the
library's live-search functions (nothing is sent). The real library's thread and descriptors are
counted on a private LAN in test_live_lan.py."""

from __future__ import annotations

import asyncio
import ctypes
import errno
import os
from typing import Callable, Dict, Iterable, Iterator, List, Optional, Tuple

import pytest

import seekwell
import seekwell.__main__ as cli
from seekwell import _live

HANDLE = 0x5EE4
DETAIL = b"what happened on eth0 \x1b[2J"


def null_terminated(pointer: "ctypes._Pointer[ctypes.c_char_p]") -> Optional[List[bytes]]:
    if not pointer:
        return None
    texts: List[bytes] = []
    while pointer[len(texts)] is not None:
        texts.append(pointer[len(texts)])  # type: ignore[arg-type]
    return texts


class FakeLibrary:
    """Stands in for seekwell_search_start/fd/dispatch/cancel/free: a search that never ends by
    itself (unless told when), one robot per dispatch, and a pipe for its descriptor, closed when
    it is freed."""

    def __init__(self) -> None:
        self.read_end, self.write_end = os.pipe()
        os.write(self.write_end, b"x")  # always readable: every poll returns at once
        self.callback: Optional[Callable[..., None]] = None
        self.dispatched = 0
        self.freed = False
        self.first_type: Optional[int] = None  # an event type to hand over before each robot
        self.start_result = 0
        self.end_after: Optional[int] = None  # dispatches before DONE (window over)
        self.udn: Optional[bytes] = None  # one UDN for every robot (the same robot, moved); None: one each
        # What the start call read of the options: their size and the targets, NULL-terminated.
        self.size = 0
        self.targets: Optional[List[bytes]] = None
        self.window_ms = self.period_ms = -1

    def api(self) -> _live._Api:
        return _live._Api(self.start, self.fd, self.dispatch, self.cancel, self.free)

    def start(self, options: object, callback: Callable[..., None], user_data: object, handle: object) -> int:
        given: _live._COptions = options._obj  # type: ignore[attr-defined]  # ctypes.byref() keeps its object
        self.size = given.size
        self.targets = null_terminated(given.targets)
        self.window_ms, self.period_ms = given.window_ms, given.period_ms
        if self.start_result != 0:
            return self.start_result
        self.callback = callback
        handle._obj.value = HANDLE  # type: ignore[attr-defined]
        return 0

    def fd(self, handle: int) -> int:
        return self.read_end

    def dispatch(self, handle: int) -> int:
        assert not self.freed and self.callback is not None
        self.dispatched += 1
        address = f"192.0.2.{self.dispatched}".encode()
        if self.first_type is not None:
            first = _live._CEvent(self.first_type, b"", b"", b"", b"eth0", 0, DETAIL)
            self.callback(ctypes.pointer(first), None)
        event = _live._CEvent(_live.EVENT_ROBOT, b"robot", address, b"http://" + address + b"/", b"eth0")
        event.udn = self.udn or b"uuid:R0VA-" + address
        self.callback(ctypes.pointer(event), None)
        if self.dispatched == self.end_after:
            done = _live._CEvent(_live.EVENT_DONE, done_reason=seekwell.DoneReason.WINDOW_OVER)
            self.callback(ctypes.pointer(done), None)
            return 0
        return 1

    def cancel(self, handle: int) -> None:
        pass

    def free(self, handle: int) -> None:
        assert handle == HANDLE and not self.freed
        self.freed = True
        self.close_pipe()

    def close_pipe(self) -> None:
        os.close(self.read_end)
        os.close(self.write_end)


@pytest.fixture
def library(monkeypatch: pytest.MonkeyPatch) -> Iterator[FakeLibrary]:
    fake = FakeLibrary()
    monkeypatch.setattr(_live, "_api", fake.api)
    yield fake
    if fake.callback is None:  # never started: nothing to free
        fake.close_pipe()
        return
    # A search the test left running would be freed later through the real library.
    assert fake.freed


def leave_by_break(search: seekwell.Search) -> None:
    for _ in search:
        break


def leave_by_return(search: seekwell.Search) -> None:
    for event in search:
        if isinstance(event, seekwell.Robot):
            return


def leave_by_exception(search: seekwell.Search) -> None:
    try:
        for _ in search:
            raise LookupError
    except LookupError:
        pass


def leave_from_a_generator_expression(search: seekwell.Search) -> None:
    next(event for event in search if isinstance(event, seekwell.Robot))


def leave_a_with_block(search: seekwell.Search) -> None:
    with search:
        pass


@pytest.mark.parametrize(
    "leave",
    [leave_by_break, leave_by_return, leave_by_exception, leave_from_a_generator_expression, leave_a_with_block],
)
def test_leaving_stops_the_search_while_the_host_holds_it(
    library: FakeLibrary, leave: Callable[[seekwell.Search], None]
) -> None:
    held = seekwell.search()
    leave(held)
    assert library.freed and held.done_reason == seekwell.DoneReason.CANCELLED
    # Stopped for good: another loop over it ends at once.
    assert list(held) == []


def test_two_loops_share_one_search_and_leaving_either_stops_it(library: FakeLibrary) -> None:
    search = seekwell.search()
    outer_seen: List[str] = []
    for event in search:
        outer_seen.append(event.address)
        inner = iter(search)
        assert next(inner).address == "192.0.2.2"  # the events are taken in turn, not copied
        del inner  # the inner loop is left
        break
    assert library.freed and outer_seen == ["192.0.2.1"]


def test_event_types_a_newer_library_adds_are_not_handed_over(library: FakeLibrary) -> None:
    library.first_type = _live.EVENT_DROPPED + 1
    with seekwell.search() as search:
        events = iter(search)
        assert [next(events) for _ in range(2)] == [
            seekwell.Robot("robot", f"192.0.2.{number}", f"http://192.0.2.{number}/", "eth0") for number in (1, 2)
        ]


def test_events_left_unread_are_dropped_at_close(library: FakeLibrary) -> None:
    search = seekwell.search()
    search._inbox.events.append(_live.RawEvent(_live.EVENT_ROBOT, b"late", b"192.0.2.9", b"", b"", 0, b"", 0, b""))
    search.close()
    assert list(search) == [] and library.freed


def test_leaving_an_async_loop_stops_the_search_at_the_next_turn(library: FakeLibrary) -> None:
    async def host() -> Optional[seekwell.DoneReason]:
        held = seekwell.search_async()
        # The stand-in is always readable: the loop's reader hands over a robot each turn.
        async for _ in held:
            break
        for _ in range(3):
            await asyncio.sleep(0)
        assert library.freed
        assert [event async for event in held] == []
        return held.done_reason

    assert asyncio.run(host()) == seekwell.DoneReason.CANCELLED


TARGETS = ["198.19.5.11", "198.19.6.0/24"]


def start_sync(targets: Optional[Iterable[str]]) -> None:
    seekwell.search(targets=targets).close()


def start_async(targets: Optional[Iterable[str]]) -> None:
    async def host() -> None:
        seekwell.search_async(targets=targets).close()

    asyncio.run(host())


def start_discover_async(targets: Optional[Iterable[str]]) -> None:
    asyncio.run(seekwell.discover_async(1.0, targets=targets))


@pytest.mark.parametrize("start", [start_sync, start_async, start_discover_async])
@pytest.mark.parametrize(
    "targets, seen",
    [
        (lambda: None, None),
        (lambda: [], None),
        (lambda: TARGETS, [target.encode() for target in TARGETS]),
        (lambda: (target for target in TARGETS), [target.encode() for target in TARGETS]),  # read once
    ],
)
def test_targets_reach_the_library_as_a_null_terminated_list(
    library: FakeLibrary,
    start: Callable[[Optional[Iterable[str]]], None],
    targets: Callable[[], Optional[Iterable[str]]],
    seen: Optional[List[bytes]],
) -> None:
    library.end_after = 1
    start(targets())
    assert library.targets == seen
    # The size tells the library that the structure holds the targets.
    assert library.size == _live._COptions.targets.offset + ctypes.sizeof(ctypes.c_void_p)


def test_targets_the_library_refuses_raise_a_value_error_naming_each_and_why(library: FakeLibrary) -> None:
    given = ["198.19.0.0/20", "robot.local", "127.0.0.1", "300.1.1.1", "10.0.0.0/8", "239.255.255.250", "198.18.0.1"]
    with pytest.raises(seekwell.TargetError) as refused:
        seekwell.search(targets=given)
    error = refused.value
    # The good entries are not named; the one past 4096 addresses is, in its place.
    assert error.targets == tuple(given[1:])
    reasons = "HOSTNAME LOOPBACK NOT_AN_ADDRESS PREFIX_TOO_SHORT NOT_UNICAST TOO_MANY_ADDRESSES"
    assert error.reasons == tuple(seekwell.TargetReason[name] for name in reasons.split())
    assert str(error) == "refused targets: " + "; ".join(
        f"'{target}': {reason.detail}" for target, reason in zip(error.targets, error.reasons)
    )
    assert error.errno == errno.EINVAL and isinstance(error, ValueError)
    assert isinstance(error, seekwell.SearchStartError)
    assert library.callback is None and library.size == 0  # refused before the start


@pytest.mark.parametrize("arguments", [{"window": "x"}, {"window": True}, {"period": "1"}, {"interface": 3}])
def test_arguments_of_the_wrong_type_raise_a_type_error_naming_them(
    library: FakeLibrary, arguments: Dict[str, object]
) -> None:
    (named,) = arguments
    with pytest.raises(TypeError, match=f"^{named} must be "):
        seekwell.search(**arguments)  # type: ignore[arg-type]
    if named != "period":  # discover_async() takes no period
        with pytest.raises(TypeError, match=f"^{named} must be "):
            asyncio.run(seekwell.discover_async(**arguments))  # type: ignore[arg-type]
    assert library.callback is None


@pytest.mark.parametrize(
    "name, refusal", [("lo", seekwell.LoopbackInterfaceError), ("nosuch0", seekwell.InterfaceNotFoundError)]
)
def test_an_interface_that_cannot_be_searched_names_those_that_can(
    library: FakeLibrary, name: str, refusal: type
) -> None:
    with pytest.raises(refusal) as refused:
        seekwell.search(interface=name)
    error = refused.value
    assert isinstance(error, seekwell.SearchStartError) and isinstance(error, ValueError)
    assert error.interface == name and "lo" not in error.interfaces
    listed = f"interfaces here: {', '.join(error.interfaces)}" if error.interfaces else "this host has none"
    assert str(error).endswith((listed, listed + " but loopback"))
    assert library.callback is None


def test_search_path_and_reasons_print_by_name(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(_live, "_path_function", lambda: lambda: 1)  # the library's number, unasked
    path = seekwell.blocking_search_path()
    assert path is seekwell.SearchPath.FINDER and path == 1
    assert str(path) == f"{path}" == "SearchPath.FINDER"
    assert str(seekwell.DoneReason.CANCELLED) == "DoneReason.CANCELLED"
    assert str(seekwell.SkipReason(99)) == "SkipReason.UNKNOWN_99"
    assert str(seekwell.TargetReason(1)) == "TargetReason.NOT_AN_ADDRESS"


@pytest.mark.parametrize(
    "targets, refusal",
    [
        ("198.19.5.11", TypeError),  # a lone str would go as its characters
        (b"198.19.5.11", TypeError),
        ([b"198.19.5.11"], TypeError),
        (["198.19.5.11", 7], TypeError),
        (["198.19.5.11\0junk"], seekwell.TargetError),  # C would read a shorter target
    ],
)
def test_targets_that_are_no_list_of_text_never_reach_the_library(
    library: FakeLibrary, targets: object, refusal: type
) -> None:
    with pytest.raises(refusal):
        seekwell.search(targets=targets)  # type: ignore[arg-type]
    assert library.callback is None and library.size == 0  # the library was never called


@pytest.mark.parametrize(
    "event_type, kind", [(_live.EVENT_QUIET, seekwell.Quiet), (_live.EVENT_DROPPED, seekwell.Dropped)]
)
def test_interface_events_come_with_their_interface_and_detail(
    library: FakeLibrary, event_type: int, kind: Callable[[str, str], seekwell.Event]
) -> None:
    library.first_type = event_type
    with seekwell.search() as search:
        events = iter(search)
        told, robot = next(events), next(events)
    assert type(told) is kind and told == kind("eth0", DETAIL.decode())
    assert isinstance(robot, seekwell.Robot) and not isinstance(told, seekwell.Robot)


def run_command_line(
    library: FakeLibrary, monkeypatch: pytest.MonkeyPatch, arguments: List[str], first_type: int = _live.EVENT_QUIET
) -> Tuple[int, str]:
    written: List[str] = []
    monkeypatch.setattr(cli, "write", written.append)
    monkeypatch.setattr(seekwell, "blocking_search_path", lambda: seekwell.SearchPath.BUILT_IN)
    library.first_type = first_type
    library.end_after = 1
    return cli.main(arguments), "".join(written)


@pytest.mark.parametrize("event_type, word", [(_live.EVENT_QUIET, "quiet"), (_live.EVENT_DROPPED, "dropped")])
@pytest.mark.parametrize(
    "arguments, out",
    [
        (["--live"], "robot    192.0.2.1        robot\n1 robot(s) found\n"),
        (
            ["--explain"],
            "blocking call: built-in search\n"
            "{word:9}eth0             what happened on eth0 ?[2J\n"
            "robot    192.0.2.1        robot\n"
            "1 robot(s) found\n",
        ),
        (
            ["--explain", "--json"],
            '{{"event": "path", "blocking_call": "built-in"}}\n'
            '{{"event": "{word}", "interface": "eth0", "detail": "what happened on eth0 \\u001b[2J"}}\n'
            '{{"event": "robot", "name": "robot", "address": "192.0.2.1", "location": "http://192.0.2.1/", '
            '"interface": "eth0", "udn": "uuid:R0VA-192.0.2.1"}}\n'
            '{{"event": "done", "reason": "window-over", "count": 1}}\n',
        ),
    ],
)
def test_only_explain_prints_interface_events(
    library: FakeLibrary, monkeypatch: pytest.MonkeyPatch, arguments: List[str], out: str, event_type: int, word: str
) -> None:
    assert run_command_line(library, monkeypatch, arguments, event_type) == (cli.EXIT_SUCCESS, out.format(word=word))


@pytest.mark.parametrize(
    "arguments, targets",
    [
        (["--probe", "198.19.5.11"], [b"198.19.5.11"]),  # implies --live
        (["--probe=198.19.5.11", "--json", "--probe", "198.19.6.0/24"], [b"198.19.5.11", b"198.19.6.0/24"]),
    ],
)
def test_probe_hands_its_targets_to_a_live_search(
    library: FakeLibrary, monkeypatch: pytest.MonkeyPatch, arguments: List[str], targets: List[bytes]
) -> None:
    status, out = run_command_line(library, monkeypatch, arguments)
    assert status == cli.EXIT_SUCCESS and "192.0.2.1" in out and library.targets == targets


def test_a_probe_the_library_refuses_is_a_bad_command_line(
    library: FakeLibrary, monkeypatch: pytest.MonkeyPatch, capsysbinary: pytest.CaptureFixture[bytes]
) -> None:
    arguments = ["--probe", "robot.local", "--probe", "198.19.5.11", "--probe=127.0.0.1"]
    assert run_command_line(library, monkeypatch, arguments) == (cli.EXIT_USAGE, "")
    assert capsysbinary.readouterr().err.decode() == (
        f"seekwell: --probe 'robot.local': {seekwell.TargetReason.HOSTNAME.detail}\n"
        f"seekwell: --probe '127.0.0.1': {seekwell.TargetReason.LOOPBACK.detail}\n"
        "Try 'python3 -m seekwell --help' for more information.\n"
    )
    assert library.callback is None


@pytest.mark.parametrize(
    "arguments, window_ms, period_ms",
    [
        (["--window", "2.5"], 2500, 0),
        (["--window=0.001", "--period", "0.2"], 1, 200),
        (["--watch", "--period=4294967"], 0, 4294967000),
    ],
)
def test_window_and_period_reach_the_library_to_the_millisecond(
    library: FakeLibrary, monkeypatch: pytest.MonkeyPatch, arguments: List[str], window_ms: int, period_ms: int
) -> None:
    status, out = run_command_line(library, monkeypatch, arguments)
    assert status == cli.EXIT_SUCCESS and "192.0.2.1" in out
    assert (library.window_ms, library.period_ms) == (window_ms, period_ms)


def handed_over(event_type: int, udn: Optional[bytes]) -> seekwell.Event:
    """What a loop gets of one event the library hands to the search's callback."""
    inbox = _live._Inbox()
    event = _live._CEvent(event_type, b"R\xc3\xb6ve", b"192.0.2.10", b"http://192.0.2.10/", b"eth0", udn=udn)
    inbox.receive(ctypes.pointer(event), None)
    assert inbox.failure is None
    return _live.typed_event(inbox.events[0])


@pytest.mark.parametrize("kind", [seekwell.Robot, seekwell.Gone])
@pytest.mark.parametrize(
    "udn, decoded",
    [
        (b"uuid:R0VA-5151-4000-8000-0000c000020a", "uuid:R0VA-5151-4000-8000-0000c000020a"),
        (b"uuid:R0VA-\xff", "uuid:R0VA-\ufffd"),  # decoded as names are
        (None, ""),
    ],
)
def test_robots_and_gone_carry_their_udn_beside_the_pair(kind: type, udn: Optional[bytes], decoded: str) -> None:
    event = handed_over(_live.EVENT_ROBOT if kind is seekwell.Robot else _live.EVENT_GONE, udn)
    assert type(event) is kind and isinstance(event, (seekwell.Robot, seekwell.Gone))
    name, address = event
    assert (name, address, event.location, event.interface, event.udn) == (
        "R\xf6ve",
        "192.0.2.10",
        "http://192.0.2.10/",
        "eth0",
        decoded,
    )
    assert repr(event).endswith(f"interface='eth0', udn={decoded!r})")
    # A robot is the same robot whatever its UDN says: tuples compare by name and address.
    assert event == kind("R\xf6ve", "192.0.2.10")


def test_robots_of_the_blocking_search_have_no_udn() -> None:
    assert seekwell.Robot("R1", "192.0.2.10").udn == seekwell.Gone("R1", "192.0.2.10").udn == ""


@pytest.mark.parametrize(
    "arguments, out",
    [
        (["--live"], "robot    192.0.2.1        robot\nrobot    192.0.2.2        robot\n1 robot(s) found\n"),
        (
            ["--live", "--json"],
            '{"event": "robot", "name": "robot", "address": "192.0.2.1", "location": "http://192.0.2.1/", '
            '"interface": "eth0", "udn": "uuid:R0VA-\\"one\\""}\n'
            '{"event": "robot", "name": "robot", "address": "192.0.2.2", "location": "http://192.0.2.2/", '
            '"interface": "eth0", "udn": "uuid:R0VA-\\"one\\""}\n'
            '{"event": "done", "reason": "window-over", "count": 1}\n',
        ),
    ],
)
def test_a_robot_that_moved_is_counted_once(
    library: FakeLibrary, monkeypatch: pytest.MonkeyPatch, arguments: List[str], out: str
) -> None:
    library.udn = b'uuid:R0VA-"one"'
    written: List[str] = []
    monkeypatch.setattr(cli, "write", written.append)
    library.end_after = 2
    assert (cli.main(arguments), "".join(written)) == (cli.EXIT_SUCCESS, out)
