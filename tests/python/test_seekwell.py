"""The seekwell package's side of the library's contract, stepped through with a stand-in for the
C call (nothing is sent), and python3 -m seekwell's command line next to seekwell-discover's."""

from __future__ import annotations

import ctypes
import locale
import pathlib
import subprocess
from typing import Any, Callable, Iterator, List, Optional, Union

import pytest

from seekwell import _libraries, _live
import seekwell
import seekwell.__main__ as cli
from conftest import PYTHON, tool

_c = ctypes.CDLL(None)
_c.strdup.argtypes = [ctypes.c_char_p]
_c.strdup.restype = ctypes.c_void_p


class FakeSearch:
    """Stands in for DiscoveryROVAByUPnP: hands over strdup() copies, as the library does."""

    def __init__(self, records: List[tuple[Optional[bytes], Optional[bytes]]], result: Optional[int] = None) -> None:
        self.records = records
        self.result = len(records) if result is None else result
        self.handed_over: List[int] = []

    def __call__(self, array: Any) -> int:
        for slot, (name, address) in zip(array, self.records):
            slot.pszName = self._copy(name)
            slot.pszAddress = self._copy(address)
        return self.result

    def _copy(self, text: Optional[bytes]) -> Optional[int]:
        if text is None:
            return None
        pointer: int = _c.strdup(text)
        self.handed_over.append(pointer)
        return pointer


@pytest.fixture
def freed(monkeypatch: pytest.MonkeyPatch) -> Iterator[List[int]]:
    released: List[int] = []
    real_free = _libraries.free

    def free(pointer: Optional[int]) -> None:
        if pointer:
            released.append(pointer)
        real_free(pointer)

    monkeypatch.setattr(_libraries, "free", free)
    yield released


def use(monkeypatch: pytest.MonkeyPatch, fake: FakeSearch) -> FakeSearch:
    monkeypatch.setattr(seekwell, "_discovery_function", lambda: fake)
    return fake


def test_records_are_decoded_and_every_string_freed(monkeypatch: pytest.MonkeyPatch, freed: List[int]) -> None:
    fake = use(
        monkeypatch,
        FakeSearch([(b"Caf\xc3\xa9", b"192.0.2.10"), (b"bad \xff\xe2\x82 byte", b"192.0.2.11"), (None, b"192.0.2.12")]),
    )
    robots = seekwell.discover()
    assert robots == [
        seekwell.Robot("Café", "192.0.2.10"),
        seekwell.Robot("bad \ufffd\ufffd byte", "192.0.2.11"),
        seekwell.Robot("", "192.0.2.12"),
    ]
    assert sorted(freed) == sorted(fake.handed_over)
    with pytest.raises(AttributeError):
        robots[0].name = "changed"  # type: ignore[misc]


def test_strings_are_freed_when_reading_them_fails(monkeypatch: pytest.MonkeyPatch, freed: List[int]) -> None:
    fake = use(monkeypatch, FakeSearch([(b"one", b"192.0.2.10"), (b"two", b"192.0.2.11")]))
    real_string_at = ctypes.string_at
    reads = iter(range(100))

    def failing_string_at(pointer: int, size: int = -1) -> bytes:
        if next(reads) == 2:
            raise MemoryError
        return real_string_at(pointer, size)

    monkeypatch.setattr(ctypes, "string_at", failing_string_at)
    with pytest.raises(MemoryError):
        seekwell.discover()
    assert sorted(freed) == sorted(fake.handed_over)


def test_no_search_is_an_exception_that_says_so(monkeypatch: pytest.MonkeyPatch, freed: List[int]) -> None:
    use(monkeypatch, FakeSearch([], result=-1))
    with pytest.raises(seekwell.NoSearchError, match="^no search took place"):
        seekwell.discover()
    assert freed == []


def test_search_bytes_keeps_what_the_library_reported(monkeypatch: pytest.MonkeyPatch) -> None:
    use(monkeypatch, FakeSearch([(b"bad \xff", None)]))
    assert seekwell.search_bytes() == [(b"bad \xff", None)]


def test_missing_library_says_what_to_install(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(_libraries, "SEEKWELL", _libraries.Library("libseekwell-absent.so.2", "libseekwell2"))
    monkeypatch.setattr(seekwell, "_discovery_function", seekwell._discovery_function.__wrapped__)
    with pytest.raises(seekwell.LibraryNotFoundError, match="apt install libseekwell2") as missing:
        seekwell.discover()
    assert isinstance(missing.value, seekwell.SeekwellError) and isinstance(missing.value, OSError)


@pytest.mark.parametrize(
    "installed_by, says, not_says",
    [
        ("cmake", "cmake --install BUILD --prefix PREFIX", "apt install"),
        ("debian", "apt install libseekwell2", "cmake"),
        ("pip", "apt install libseekwell2", "BUILD --prefix"),
    ],
)
def test_missing_library_advice_fits_how_the_package_was_installed(
    tmp_path: pathlib.Path, installed_by: str, says: str, not_says: str
) -> None:
    package = tmp_path / "lib/python3.11/site-packages/seekwell"
    package_dir = _libraries.DEBIAN_DIST_PACKAGES + "/seekwell" if installed_by == "debian" else str(package)
    if installed_by == "cmake":
        package.mkdir(parents=True)
        (package / "_libdir").write_text("../../../../lib\n")
        assert _libraries.prefix_libdir(package_dir) == str(tmp_path / "lib")
    advice = _libraries.advice(_libraries.SEEKWELL, package_dir)
    assert says in advice and not_says not in advice


@pytest.mark.parametrize(
    "raw, printable, json",
    [
        (b"plain", "plain", '"plain"'),
        (None, "(none)", "null"),
        (b"\xe2\x82A", "??A", '"\\ufffd\\ufffdA"'),  # a cut sequence: one mark per byte
        (b"\xed\xa0\x80", "???", '"\\ufffd\\ufffd\\ufffd"'),  # an encoded surrogate
        (b"\xc0\xaf", "??", '"\\ufffd\\ufffd"'),  # an overlong form
        (b"\x1b[0m\xc2\x85\x7f", "?[0m??", '"\\u001b[0m\\u0085\\u007f"'),
        (b'"\\', '"\\', '"\\"\\\\"'),
        ("ロボ🤖".encode(), "ロボ🤖", '"ロボ🤖"'),
    ],
)
def test_names_are_escaped_like_seekwell_discover(raw: Optional[bytes], printable: str, json: str) -> None:
    assert cli.printable_text(raw) == printable
    assert cli.json_value(raw) == json


@pytest.mark.parametrize(
    "kind, name, shown",
    [
        (_live.EVENT_ROBOT, b"R\x1b", "robot    192.0.2.10       R?"),
        (_live.EVENT_GONE, b"", "gone     192.0.2.10       (none)"),
    ],
)
def test_live_lines_show_names_like_seekwell_discover(kind: int, name: bytes, shown: str) -> None:
    event = _live.RawEvent(kind, name, b"192.0.2.10", b"", b"eth0", 0, b"", 0, b"uuid:R0VA-1")
    assert cli.event_line(event, json=False) == shown + "\n"


@pytest.fixture
def utf8_ctype() -> Iterator[None]:
    before = locale.setlocale(locale.LC_CTYPE)
    locale.setlocale(locale.LC_CTYPE, "C.UTF-8")
    yield
    locale.setlocale(locale.LC_CTYPE, before)


ROBO = "ロボ"  # two columns a character


@pytest.mark.parametrize(
    "names, shown",
    [
        ([b"ROVA robot 1", f"{ROBO} 2".encode()], ["0   ROVA robot 1  ", f"1   {ROBO} 2        "]),
        ([b"", b"R"], ["0   (none)  ", "1   R       "]),
        ([b"W" * 41, b"n" * 2047, b"R"], ["0   " + "W" * 41 + "  ", "1   " + "n" * 2047 + "  ", "2   R" + " " * 41]),
    ],
)
def test_table_lines_up_like_seekwell_discovers(utf8_ctype: None, names: List[bytes], shown: List[str]) -> None:
    heading, *rows = cli.table([(name, b"192.0.2.10") for name in names]).splitlines()
    assert rows == [row + "192.0.2.10" for row in shown]


@pytest.mark.parametrize(
    "text, shown",
    [
        (b"\x1b[31mred\x1b]0;title\x07", "?[31mred?]0;title?"),  # ESC, BEL
        (b"del\x7f tab\t nl\n", "del? tab? nl?"),
        ("c1 \u0085\u009b".encode(), "c1 ??"),  # NEL, CSI
        (b"cut \xe2\x82 lone \xff \xed\xa0\x80", "cut ?? lone ? ???"),  # one '?' a byte
        ("ロボ 🤖 Café \ufffd".encode(), "ロボ 🤖 Café \ufffd"),  # valid UTF-8 stays itself
        ("Odd \ufffd\ufffd \x1b[31m\x7f ロボ", "Odd ?? ?[31m? ロボ"),  # a name as Robot.name holds it
        ("c1 \x9b surrogate \udcff", "c1 ? surrogate ?"),
    ],
)
def test_terminal_text_shows_what_a_terminal_acts_on_as_question_marks(text: Union[str, bytes], shown: str) -> None:
    assert seekwell.terminal_text(text) == shown


def fake_library(version: Optional[tuple[int, int, int]]) -> Any:
    """A loaded libseekwell that tells `version`, or has no seekwell_version (None: 2.0)."""

    class Library:
        def __getitem__(self, name: str) -> Any:
            if name != "seekwell_version" or version is None:
                raise AttributeError(name)
            info = _live._CVersion(*version, (version[0] << 16) | (version[1] << 8) | version[2], b"text")

            def seekwell_version() -> Any:
                return ctypes.pointer(info)

            return seekwell_version

    return Library()


@pytest.fixture
def uncached_version() -> Iterator[None]:
    _live.library_version.cache_clear()
    yield
    _live.library_version.cache_clear()


@pytest.mark.parametrize(
    "version, refused",
    [
        (None, "is version 2.0, and this package needs 2.1.0 or later"),
        ((2, 0, 1080), "is version 2.0.1080, and this package needs 2.1.0 or later"),
        ((1, 9, 0), "is version 1.9.0"),
        ((2, 1, 0), None),
        ((2, 4, 7), None),
    ],
)
def test_a_library_older_than_2_1_is_refused(
    monkeypatch: pytest.MonkeyPatch,
    uncached_version: None,
    version: Optional[tuple[int, int, int]],
    refused: Optional[str],
) -> None:
    monkeypatch.setattr(_libraries, "load", lambda library, error: fake_library(version))
    if refused is None:
        assert seekwell.library_version() == version and str(seekwell.library_version()) == "%d.%d.%d" % version
        assert _live.seekwell_library() is not None
        return
    for use in (seekwell.library_version, _live.seekwell_library):
        with pytest.raises(seekwell.LibraryNotFoundError, match="install libseekwell2 2.1 or later") as old:
            use()
        assert refused in str(old.value)


def test_the_library_that_runs_tells_its_version(uncached_version: None) -> None:
    version = seekwell.library_version()
    assert version >= seekwell.MIN_LIBRARY_VERSION >= (2, 1)
    # One version for the whole project: the package and the library it was built with.
    assert str(version) == seekwell.__version__


def test_sixteen_robots_get_the_note(
    monkeypatch: pytest.MonkeyPatch, capsysbinary: pytest.CaptureFixture[bytes]
) -> None:
    monkeypatch.setattr(cli, "multicast_route_missing", lambda: False)
    monkeypatch.setattr(seekwell, "search_bytes", lambda: [(b"robot", b"192.0.2.10")] * seekwell.MAX_RESULTS)
    assert cli.main(["--json"]) == cli.EXIT_SUCCESS
    out, err = capsysbinary.readouterr()
    assert out.startswith(b'{"count": 16, ') and err == f"seekwell: {cli.MOST_ROBOTS_NOTE}\n".encode()
    assert cli.main([]) == cli.EXIT_SUCCESS
    assert capsysbinary.readouterr().out.endswith(f"{cli.MOST_ROBOTS_NOTE}\n".encode())


def run(command: List[str]) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, capture_output=True, text=True, timeout=30, check=False)


def test_importing_loads_neither_library_nor_asyncio() -> None:
    # A host pays for a library, and for asyncio, only when it first uses them.
    probe = (
        "import sys, seekwell, kinemap; maps = open('/proc/self/maps').read(); "
        "print('libseekwell' in maps, 'libkinemap' in maps, 'asyncio' in sys.modules)"
    )
    assert run([PYTHON, "-c", probe]).stdout == "False False False\n"


def test_command_line_mirrors_seekwell_discover() -> None:
    discover = tool("SEEKWELL_DISCOVER", "seekwell-discover")
    module = [PYTHON, "-m", "seekwell"]
    help_text = run([*module, "--help"])
    assert help_text.returncode == 0
    assert help_text.stdout == run([discover, "--help"]).stdout.replace("seekwell-discover", "python3 -m seekwell")
    assert run([*module, "--version"]).stdout == f"seekwell {seekwell.__version__}\n"
    for arguments, complaint in [
        (["--help", "--bogus"], "unknown option '--bogus'"),
        (["--live", "--interface"], "option '--interface' needs an interface name"),
        (["--interface="], "option '--interface' needs an interface name"),
        (["--probe"], "option '--probe' needs an address or a range"),
        (["--probe=", "--live"], "option '--probe' needs an address or a range"),
    ]:
        bad = run([*module, *arguments])
        assert (bad.returncode, bad.stdout) == (cli.EXIT_USAGE, "")
        assert bad.stderr == f"seekwell: {complaint}\nTry 'python3 -m seekwell --help' for more information.\n"
