"""python3 -m seekwell: runs one search and prints what seekwell-discover prints.

The same table or JSON, the same escaping of what devices send, the same note at 16 robots and
the same exit statuses: 0 a search ran, 1 bad command line, 2 no search took place, 3 no route to
the multicast group (no search is made).
"""

from __future__ import annotations

import errno
import math
import signal
import socket
import sys
import threading
import time
from types import TracebackType
from typing import List, Optional, Sequence, TextIO, Type

import seekwell

PROGRAM = "seekwell"
INVOCATION = "python3 -m seekwell"

EXIT_SUCCESS = 0
EXIT_USAGE = 1
EXIT_FAILURE = 2
EXIT_NO_NETWORK = 3

# Where a search sends its request; without a route there, no robot can hear it.
SEARCH_GROUP = ("239.255.255.250", 1900)
NO_ROUTE_ERRORS = (errno.ENETUNREACH, errno.EHOSTUNREACH, errno.ENETDOWN)

USAGE = f"""Usage: {INVOCATION} [--json]
Searches the local network for robots (this takes at least 10 seconds) and prints
each one's index, name and address.

  --json      print the robots as JSON
  --version   print the version
  --help      this text

Exit status: 0 when a search ran (even if it found no robot), 1 on a bad command
line, 2 when no search took place, 3 when there is no route to the multicast
group 239.255.255.250 (no search is made).
"""

NO_ROUTE_WARNING = (
    "warning: no route to the multicast group 239.255.255.250, so no robot can hear a search; "
    "add a default route or one for multicast, e.g. 'ip route add 224.0.0.0/4 dev IFACE'"
)
MOST_ROBOTS_NOTE = "16 robots reported, the most one search returns; there may be more on the network."

NULL_TEXT = "(none)"
REPLACEMENT_FOR_TERMINAL = "?"
REPLACEMENT_FOR_JSON = "\\ufffd"
# Bytes that are not UTF-8 decode one by one to these lone surrogates (errors="surrogateescape").
UNDECODABLE = range(0xDC80, 0xDD00)

COUNTDOWN_TICK_SECONDS = 1.0
STATUS_WIDTH = 40


def is_control(character: str) -> bool:
    code = ord(character)
    return code < 0x20 or 0x7F <= code <= 0x9F


def characters(raw: bytes) -> str:
    return raw.decode("utf-8", errors="surrogateescape")


def printable_text(raw: Optional[bytes]) -> str:
    """Safe on a terminal: control characters and bytes that are not UTF-8 become '?'."""
    if raw is None:
        return NULL_TEXT
    return "".join(REPLACEMENT_FOR_TERMINAL if ord(c) in UNDECODABLE or is_control(c) else c for c in characters(raw))


def json_character(character: str) -> str:
    if ord(character) in UNDECODABLE:
        return REPLACEMENT_FOR_JSON
    if character in '"\\':
        return "\\" + character
    if is_control(character):
        return f"\\u{ord(character):04x}"
    return character


def json_value(raw: Optional[bytes]) -> str:
    """A JSON string literal, always valid UTF-8; None gives null."""
    if raw is None:
        return "null"
    return '"' + "".join(json_character(c) for c in characters(raw)) + '"'


def table(records: Sequence[seekwell.RawRecord]) -> str:
    if not records:
        return "No robot found.\n"
    rows = [
        (str(index), printable_text(name), printable_text(address)) for index, (name, address) in enumerate(records)
    ]
    name_width = max(len("Name"), *(len(name) for _, name, _ in rows)) + 2
    lines = ["#".ljust(4) + "Name".ljust(name_width) + "Address"]
    lines += [index.ljust(4) + name.ljust(name_width) + address for index, name, address in rows]
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
    print(f"{PROGRAM}: {message}", file=sys.stderr)


def usage_error(message: str) -> int:
    error(message)
    print(f"Try '{INVOCATION} --help' for more information.", file=sys.stderr)
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


class Options:
    """The command line, read whole before anything is done, like seekwell-discover does."""

    def __init__(self, arguments: Sequence[str]) -> None:
        self.json = self.help = self.version = False
        self.error = ""
        for argument in arguments:
            if argument == "--json":
                self.json = True
            elif argument in ("--help", "-h"):
                self.help = True
            elif argument == "--version":
                self.version = True
            else:
                self.error = f"unknown option '{argument}'"
                return


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
    json = options.json
    if multicast_route_missing():
        error(NO_ROUTE_WARNING)
        print_records([], json)
        return EXIT_NO_NETWORK
    try:
        records = search()
    except (seekwell.NoSearchError, seekwell.LibraryNotFoundError) as failure:
        error(str(failure))
        return EXIT_FAILURE
    print_records(records, json)
    return EXIT_SUCCESS


if __name__ == "__main__":
    # Like any command-line tool: Ctrl-C ends it at once, a closed pipe ends it quietly.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(main(sys.argv[1:]))
