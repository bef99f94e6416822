"""python3 -m seekwell: runs one search and prints what seekwell-discover prints.

The same table or JSON, the same escaping of what devices send, the same note at 16 robots and
the same exit statuses: 0 a search ran, 1 bad command line, 2 no search took place, 3 no route to
the multicast group (only where the blocking call would take its built-in search; no search is
made). With --live, --explain, --interface, --probe, --window, --period or --watch, the live
search, one line per event as it comes, byte for byte as seekwell-discover prints them; it needs no
multicast route. A command line the library would refuse is refused first, as the tool words it.
Text from the network is printed through seekwell.terminal_text() (the table and the live lines,
and under a locale of another character set than UTF-8 each character beyond ASCII as '?') or as
JSON escapes.
"""

from __future__ import annotations

import ctypes
import errno
import math
import os
import re
import signal
import socket
import sys
import threading
import time
from types import TracebackType
from typing import Callable, List, Optional, Sequence, Set, TextIO, Type

import seekwell
from seekwell import _live, _terminal

PROGRAM = "seekwell"
INVOCATION = "python3 -m seekwell"

EXIT_SUCCESS = 0
EXIT_USAGE = 1
EXIT_FAILURE = 2
EXIT_NO_NETWORK = 3

# Where a search sends its request; without a route there, no robot can hear it.
SEARCH_GROUP = ("239.255.255.250", 1900)
NO_ROUTE_ERRORS = (errno.ENETUNREACH, errno.EHOSTUNREACH, errno.ENETDOWN)

# Word for word seekwell-discover's, the continuation of its first line included.
USAGE = f"""Usage: {INVOCATION} [--json] [--live] [--explain] [--interface IF]
                         [--probe ADDRESS|RANGE]... [--window SECONDS]
                         [--watch] [--period SECONDS]
Searches the local network for robots (this takes at least 10 seconds) and
prints each one's index, name and address.

  --json              print the robots as JSON (one object per line when live)
  --live              print each robot the moment it answers
  --explain           live, and also say which responders were left out and
                      why, and which way the blocking call would search
  --interface IF      live, searching on the interface IF only
  --probe ADDRESS|RANGE
                      live, and also ask the robot at this IPv4 address, or
                      sweep this CIDR range (/20 to /32); repeatable, 4096
                      addresses in all
  --window SECONDS    live, for SECONDS instead of 10 (0.001 to 4294967)
  --watch             live with no end: robots coming and going until Ctrl-C
  --period SECONDS    live, searching every SECONDS, not 15 (0.2 to 4294967)
  --version           print the version
  --help              this text

Exit status: 0 when a search ran (even if it found no robot), 1 on a bad
command line, 2 when no search took place, 3 when the blocking call would
search by itself and there is no route to the multicast group
239.255.255.250 (no search is made).
"""

NO_ROUTE_WARNING = (
    "warning: no route to the multicast group 239.255.255.250, so the blocking call's built-in search "
    "cannot reach a robot; add a default route or one for multicast, e.g. "
    "'ip route add 224.0.0.0/4 dev IFACE', or search with --live, which needs none"
)
MOST_ROBOTS_NOTE = "16 robots reported, the most one search returns; there may be more on the network."

NULL_TEXT = "(none)"
REPLACEMENT_FOR_JSON = "\\ufffd"

COUNTDOWN_TICK_SECONDS = 1.0
STATUS_WIDTH = 40
# As seekwell-discover's table: the index column, the gap before the address, and the most a row
# pads its name to (a wider name goes on into the address's place on its own row alone).
INDEX_WIDTH = 4
COLUMN_GAP = "  "
NAME_COLUMN_MOST_WIDTH = 40

_libc = ctypes.CDLL(None)
_libc.wcwidth.argtypes = [ctypes.c_wchar]
_libc.wcwidth.restype = ctypes.c_int


def printable_text(raw: Optional[bytes]) -> str:
    """Safe on a terminal: control characters and bytes that are not UTF-8 become '?', and so
    does each character beyond ASCII under a locale of another character set, as in the tool."""
    if raw is None:
        return NULL_TEXT
    shown = seekwell.terminal_text(raw)
    return shown if _terminal.locale_takes_utf8() else _terminal.ascii_only(shown)


def argument_text(argument: str) -> str:
    """A command-line value as the tool shows it: its bytes, made printable."""
    return printable_text(os.fsencode(argument))


def display_width(text: str) -> int:
    """Screen columns, as the C library's wcwidth() measures each character under the locale
    Python runs in (which makes a C locale C.UTF-8), as seekwell-discover measures them; one it
    cannot measure counts as one column."""
    return sum(width if width >= 0 else 1 for width in map(_wcwidth, text))


def _wcwidth(character: str) -> int:
    width: int = _libc.wcwidth(character)
    return width


def pad(text: str, width: int) -> str:
    return text + " " * max(width - display_width(text), 0)


def json_character(character: str) -> str:
    if ord(character) in _terminal.UNDECODABLE:
        return REPLACEMENT_FOR_JSON
    if character in '"\\':
        return "\\" + character
    if _terminal.is_control(character):
        return f"\\u{ord(character):04x}"
    return character


def json_value(raw: Optional[bytes]) -> str:
    """A JSON string literal, always valid UTF-8; None gives null."""
    if raw is None:
        return "null"
    return '"' + "".join(json_character(c) for c in _terminal.characters(raw)) + '"'


def table(records: Sequence[seekwell.RawRecord]) -> str:
    if not records:
        return "No robot found.\n"
    # An empty name shows as a missing one does.
    rows = [
        (str(index), printable_text(name if name != b"" else None), printable_text(address))
        for index, (name, address) in enumerate(records)
    ]
    name_width = min(max(len("Name"), *(display_width(name) for _, name, _ in rows)), NAME_COLUMN_MOST_WIDTH)
    lines = [pad("#", INDEX_WIDTH) + pad("Name", name_width) + COLUMN_GAP + "Address"]
    lines += [pad(index, INDEX_WIDTH) + pad(name, name_width) + COLUMN_GAP + address for index, name, address in rows]
    if len(records) == seekwell.MAX_RESULTS:
        lines.append(MOST_ROBOTS_NOTE)
    return "\n".join(lines) + "\n"


def json_document(records: Sequence[seekwell.RawRecord]) -> str:
    robots = ", ".join(
        f'{{"index": {index}, "name": {json_value(name)}, "address": {json_value(address)}}}'
        for index, (name, address) in enumerate(records)
    )
    return f'{{"count": {len(records)}, "robots": [{robots}]}}\n'


def multicast_route_missing() -> bool:
    """Whether the system has no route to the search's group; connecting sends nothing."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.connect(SEARCH_GROUP)
        except OSError as error:
            return error.errno in NO_ROUTE_ERRORS
    return False


class Countdown:
    """Shows the seconds left of the search window on a status line while the search blocks."""

    def __init__(self, out: TextIO) -> None:
        self._out = out
        self._stop = threading.Event()
        self._end = time.monotonic() + seekwell.SEARCH_WINDOW_SECONDS
        self._thread = threading.Thread(target=self._run, name="seekwell countdown", daemon=True)

    def __enter__(self) -> Countdown:
        self._thread.start()
        return self

    def __exit__(
        self, kind: Optional[Type[BaseException]], error: Optional[BaseException], trace: Optional[TracebackType]
    ) -> None:
        self._stop.set()
        self._thread.join()
        self._show("\r" + " " * STATUS_WIDTH + "\r")

    def _run(self) -> None:
        while True:
            left = math.ceil(self._end - time.monotonic())
            if left > 0:
                self._show(f"\rSearching for robots: {left:2d} s left ")
            else:
                self._show("\rReading robot descriptions...     ")
            if self._stop.wait(COUNTDOWN_TICK_SECONDS):
                return

    def _show(self, text: str) -> None:
        self._out.write(text)
        self._out.flush()


def error(message: str) -> None:
    # Bytes, as the tool writes them, whatever the encoding Python gives stderr.
    sys.stderr.flush()
    sys.stderr.buffer.write(f"{PROGRAM}: {message}\n".encode("utf-8", errors="surrogateescape"))
    sys.stderr.buffer.flush()


def usage_error(message: str) -> int:
    error(message)
    sys.stderr.buffer.write(f"Try '{INVOCATION} --help' for more information.\n".encode())
    sys.stderr.buffer.flush()
    return EXIT_USAGE


def write(text: str) -> None:
    # Bytes as they are, whatever the locale: the text is valid UTF-8 by construction.
    sys.stdout.buffer.write(text.encode("utf-8"))
    sys.stdout.flush()


def print_records(records: List[seekwell.RawRecord], json: bool) -> None:
    if not json:
        write(table(records))
        return
    write(json_document(records))
    if len(records) == seekwell.MAX_RESULTS:
        error(MOST_ROBOTS_NOTE)


def search() -> List[seekwell.RawRecord]:
    if not sys.stderr.isatty():
        return seekwell.search_bytes()
    with Countdown(sys.stderr):
        return seekwell.search_bytes()


# The live modes' lines: a word, the address in a column of its own, then the text.
WORD_WIDTH = 9
ADDRESS_WIDTH = 17
PATH_TEXT = {
    seekwell.SearchPath.FINDER: "finder helper",
    seekwell.SearchPath.BUILT_IN: "built-in search",
    seekwell.SearchPath.NONE: "no search",
}
PATH_JSON = {
    seekwell.SearchPath.FINDER: "finder",
    seekwell.SearchPath.BUILT_IN: "built-in",
    seekwell.SearchPath.NONE: "none",
}
DONE_JSON = {
    seekwell.DoneReason.NONE: "none",
    seekwell.DoneReason.WINDOW_OVER: "window-over",
    seekwell.DoneReason.CANCELLED: "cancelled",
    seekwell.DoneReason.FAILED: "failed",
}
UNKNOWN_CODE = "unknown"
# The events told of an interface, by the word that prints them.
INTERFACE_WORDS = {_live.EVENT_QUIET: "quiet", _live.EVENT_DROPPED: "dropped"}
# The events only --explain prints: no robot comes or goes with them.
EXPLAINED = (_live.EVENT_SKIPPED, _live.EVENT_QUIET, _live.EVENT_DROPPED)
INTERFACE_OPTION = "--interface"
PROBE_OPTION = "--probe"
WINDOW_OPTION = "--window"
PERIOD_OPTION = "--period"
# What each option that takes a value says when it lacks one.
VALUE_NEEDED = {
    INTERFACE_OPTION: "an interface name",
    PROBE_OPTION: "an address or a range",
    WINDOW_OPTION: "seconds",
    PERIOD_OPTION: "seconds",
}
# Seconds to the millisecond, as the tool reads them: the library counts milliseconds in an
# unsigned int, and a window of 0 would have no end (--watch).
SECONDS = re.compile(r"[0-9]{1,7}(?:\.[0-9]{1,3})?")
MOST_SECONDS = 0xFFFFFFFF // 1000
SHORTEST_WINDOW_MS = 1
SHORTEST_PERIOD_MS = round(seekwell.MIN_PERIOD_SECONDS * 1000)
SECONDS_TAKEN = {
    WINDOW_OPTION: f"seconds from 0.001 to {MOST_SECONDS}, such as 30 or 2.5 (no end: --watch)",
    PERIOD_OPTION: f"seconds from 0.2 to {MOST_SECONDS}, such as 15 or 0.5",
}


def read_seconds(text: str, minimum_ms: int) -> Optional[int]:
    """The milliseconds of "30", "2.5" or "0.25"; None for other text or a value out of bounds."""
    if not SECONDS.fullmatch(text):
        return None
    whole, _, decimals = text.partition(".")
    milliseconds = int(whole) * 1000 + int(decimals.ljust(3, "0"))
    return milliseconds if minimum_ms <= milliseconds <= MOST_SECONDS * 1000 else None


class Options:
    """The command line, read whole before anything is done, like seekwell-discover does."""

    def __init__(self, arguments: Sequence[str]) -> None:
        self.json = self.help = self.version = self.live = self.explain = self.watch = False
        self.interface: Optional[str] = None
        self.targets: List[str] = []
        self.window_ms: Optional[int] = None
        self.period_ms: Optional[int] = None
        self.error = ""
        remaining = iter(arguments)
        for argument in remaining:
            option, joined, value = argument.partition("=")
            if option in VALUE_NEEDED:
                given = value if joined else next(remaining, "")
                if not given:
                    self.error = f"option '{option}' needs {VALUE_NEEDED[option]}"
                    return
                if option == INTERFACE_OPTION:
                    self.interface = given
                elif option == PROBE_OPTION:
                    self.targets.append(given)
                elif not self._read_seconds(option, given):
                    return
                continue
            if argument == "--json":
                self.json = True
            elif argument in ("--help", "-h"):
                self.help = True
            elif argument == "--version":
                self.version = True
            elif argument == "--live":
                self.live = True
            elif argument == "--explain":
                self.explain = True
            elif argument == "--watch":
                self.watch = True
            else:
                self.error = f"unknown option '{argument}'"
                return
        if self.window_ms is not None and self.watch:
            self.error = "options '--window' and '--watch' exclude each other: a watch has no end"
        self.live = (
            self.live
            or self.explain
            or self.watch
            or self.interface is not None
            or bool(self.targets)
            or self.window_ms is not None
            or self.period_ms is not None
        )

    def _read_seconds(self, option: str, text: str) -> bool:
        shortest = SHORTEST_WINDOW_MS if option == WINDOW_OPTION else SHORTEST_PERIOD_MS
        milliseconds = read_seconds(text, shortest)
        if milliseconds is None:
            self.error = f"option '{option}' takes {SECONDS_TAKEN[option]}"
            return False
        if option == WINDOW_OPTION:
            self.window_ms = milliseconds
        else:
            self.period_ms = milliseconds
        return True


def live_line(word: str, where: bytes, text: Optional[bytes]) -> str:
    """A word, where (an address, or an interface's name) in a column, then the text."""
    return word.ljust(WORD_WIDTH) + printable_text(where).ljust(ADDRESS_WIDTH) + printable_text(text) + "\n"


def json_line(*fields: str) -> str:
    return "{" + ", ".join(fields) + "}\n"


def event_line(event: _live.RawEvent, json: bool) -> str:
    """One ROBOT, GONE, SKIPPED, QUIET or DROPPED event as the live modes print it."""
    if event.type in INTERFACE_WORDS:
        word = INTERFACE_WORDS[event.type]
        if not json:
            return live_line(word, event.interface, event.reason)
        return json_line(
            f'"event": "{word}"', f'"interface": {json_value(event.interface)}', f'"detail": {json_value(event.reason)}'
        )
    if event.type == _live.EVENT_SKIPPED:
        if not json:
            return live_line("skipped", event.address, event.reason)
        return json_line(
            '"event": "skipped"',
            f'"address": {json_value(event.address)}',
            f'"location": {json_value(event.location)}',
            f'"interface": {json_value(event.interface)}',
            f'"reason": "{skip_code(event.skip_reason)}"',
            f'"detail": {json_value(event.reason)}',
            f'"http_status": {event.http_status}',
        )
    word = "gone" if event.type == _live.EVENT_GONE else "robot"
    if not json:
        # An empty name shows as a missing one does, as in the table.
        return live_line(word, event.address, event.name if event.name != b"" else None)
    return json_line(
        f'"event": "{word}"',
        f'"name": {json_value(event.name)}',
        f'"address": {json_value(event.address)}',
        f'"location": {json_value(event.location)}',
        f'"interface": {json_value(event.interface)}',
        f'"udn": {json_value(event.udn)}',
    )


def skip_code(reason: int) -> str:
    known = reason in {member.value for member in seekwell.SkipReason}
    return seekwell.SkipReason(reason).code if known else UNKNOWN_CODE


def path_line(path: seekwell.SearchPath, json: bool) -> str:
    if json:
        return json_line('"event": "path"', f'"blocking_call": "{PATH_JSON[path]}"')
    return f"blocking call: {PATH_TEXT[path]}\n"


def done_line(reason: Optional[seekwell.DoneReason], count: int, json: bool) -> str:
    """The end line; in text, none for a search that could not run (stderr says why)."""
    reason = reason or seekwell.DoneReason.FAILED
    if json:
        return json_line('"event": "done"', f'"reason": "{DONE_JSON.get(reason, UNKNOWN_CODE)}"', f'"count": {count}')
    return "" if reason == seekwell.DoneReason.FAILED else f"{count} robot(s) found\n"


class StopOnSignals:
    """In the live modes, SIGINT and SIGTERM cancel the search, which then ends as any does."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self, stop: Callable[[], None]) -> None:
        self._stop = stop
        self._previous: List[object] = []

    def __enter__(self) -> StopOnSignals:
        self._previous = [signal.signal(number, self._handle) for number in self.SIGNALS]
        return self

    def __exit__(
        self, kind: Optional[Type[BaseException]], error: Optional[BaseException], trace: Optional[TracebackType]
    ) -> None:
        for number, previous in zip(self.SIGNALS, self._previous):
            signal.signal(number, previous)  # type: ignore[arg-type]

    def _handle(self, number: int, frame: object) -> None:
        self._stop()


def refused_targets(failure: seekwell.TargetError) -> int:
    """One line for each --probe entry the library refuses, as seekwell-discover prints them."""
    lines = [
        f"{PROBE_OPTION} '{argument_text(target)}': {reason.detail}"
        for target, reason in zip(failure.targets, failure.reasons)
    ]
    for line in lines[:-1]:
        error(line)
    return usage_error(lines[-1])


def refused_interface(name: str, loopback: bool, interfaces: Sequence[str]) -> int:
    shown = tuple(argument_text(each) for each in interfaces)
    return usage_error(_live.interface_refusal(argument_text(name), loopback, shown))


def live(options: Options) -> int:
    """The live modes: each event printed as it comes, then the end line."""
    if options.watch:
        window = 0.0
    elif options.window_ms is not None:
        window = options.window_ms / 1000
    else:
        window = seekwell.SEARCH_WINDOW_SECONDS
    period = None if options.period_ms is None else options.period_ms / 1000
    try:
        search = seekwell.Search(window, options.interface, period=period, targets=options.targets)
    except seekwell.TargetError as failure:
        return refused_targets(failure)
    except seekwell.InterfaceNotFoundError as failure:
        return refused_interface(failure.interface, False, failure.interfaces)
    except seekwell.LoopbackInterfaceError as failure:
        return refused_interface(failure.interface, True, failure.interfaces)
    except seekwell.SeekwellError as failure:
        error(str(failure))
        return EXIT_FAILURE
    # Robots by UDN: one that moved to another address comes again without a Gone.
    robots: Set[bytes] = set()
    with search, StopOnSignals(search.cancel):
        try:
            # Asked while the search runs, so that the helper's start costs the search no time.
            if options.explain:
                write(path_line(seekwell.blocking_search_path(), options.json))
            for event in search.raw_events():
                if event.type in EXPLAINED and not options.explain:
                    continue
                if event.type == _live.EVENT_ROBOT:
                    robots.add(event.udn)
                elif event.type == _live.EVENT_GONE:
                    robots.discard(event.udn)
                write(event_line(event, options.json))
        except seekwell.SearchStartError as failure:
            write(done_line(search.done_reason, len(robots), options.json))
            error(str(failure))
            return EXIT_FAILURE
        write(done_line(search.done_reason, len(robots), options.json))
    return EXIT_SUCCESS


def main(arguments: Sequence[str]) -> int:
    options = Options(arguments)
    if options.error:
        return usage_error(options.error)
    if options.help:
        write(USAGE)
        return EXIT_SUCCESS
    if options.version:
        write(f"{PROGRAM} {seekwell.__version__}\n")
        return EXIT_SUCCESS
    # The live search and the finder helper set the interface of each of their sockets and need no
    # route; only the blocking call's built-in search sends by the routing table.
    if options.live:
        return live(options)
    if multicast_route_missing() and seekwell.blocking_search_path() == seekwell.SearchPath.BUILT_IN:
        error(NO_ROUTE_WARNING)
        print_records([], options.json)
        return EXIT_NO_NETWORK
    try:
        records = search()
    except (seekwell.NoSearchError, seekwell.LibraryNotFoundError) as failure:
        error(str(failure))
        return EXIT_FAILURE
    print_records(records, options.json)
    return EXIT_SUCCESS


if __name__ == "__main__":
    # Like any command-line tool: Ctrl-C ends it at once, a closed pipe ends it quietly.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(main(sys.argv[1:]))
