"""python3 -m seekwell beside seekwell-discover: command lines refused before anything is sent, a
locale of another character set, and no multicast route (which stops only the built-in search)."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path
from typing import Dict, List, Optional

import pytest

import seekwell.__main__ as cli
from conftest import PYTHON, seekwell_library_file, tool


def run(command: List[str], env: Optional[Dict[str, str]] = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(command, capture_output=True, timeout=30, check=False, env=env)


def as_module(tool_output: bytes) -> bytes:
    return tool_output.replace(b"seekwell-discover:", b"seekwell:").replace(
        b"seekwell-discover", b"python3 -m seekwell"
    )


def both(arguments: List[str], env: Optional[Dict[str, str]] = None) -> List[subprocess.CompletedProcess[bytes]]:
    return [
        run([PYTHON, "-m", "seekwell", *arguments], env),
        run([tool("SEEKWELL_DISCOVER", "seekwell-discover"), *arguments], env),
    ]


def test_help_fits_80_columns() -> None:
    assert max(len(line) for line in cli.USAGE.splitlines()) <= 80


@pytest.mark.parametrize(
    "arguments, first_line",
    [
        (["--window"], "option '--window' needs seconds"),
        (["--window", "0"], f"option '--window' takes {cli.SECONDS_TAKEN['--window']}"),
        (["--window=1.0001"], f"option '--window' takes {cli.SECONDS_TAKEN['--window']}"),
        (["--period", "0.199"], f"option '--period' takes {cli.SECONDS_TAKEN['--period']}"),
        (["--window", "5", "--watch"], "options '--window' and '--watch' exclude each other: a watch has no end"),
        (["--probe", "robot.local", "--probe=127.0.0.1", "--probe", "198.19.5.11"], "--probe 'robot.local': "),
        (["--probe", "/33", "--probe", " 192.0.2.10", "--probe", "300.1.1.1", "--probe", "\x1b[2J"], "--probe '/33'"),
        (["--probe", "10.0.0.0/8"], "--probe '10.0.0.0/8': a range wider than /20"),
        (["--probe", "198.19.0.0/20", "--probe", "198.18.0.1"], "--probe '198.18.0.1': more than 4096"),
        (["--interface", "lo"], "'lo' is the loopback interface, where no robot answers; "),
        (["--interface", "nosuch0"], "no interface named 'nosuch0'; "),
    ],
)
def test_refused_command_lines_read_as_seekwell_discover_words_them(arguments: List[str], first_line: str) -> None:
    module, reference = both(arguments)
    assert module.returncode == reference.returncode == cli.EXIT_USAGE
    assert module.stdout == reference.stdout == b""
    assert module.stderr.startswith(f"seekwell: {first_line}".encode())
    assert module.stderr.endswith(b"\nTry 'python3 -m seekwell --help' for more information.\n")
    assert module.stderr == as_module(reference.stderr) and b"\x1b" not in module.stderr


@pytest.fixture(scope="module")
def latin1_locale(tmp_path_factory: pytest.TempPathFactory) -> Dict[str, str]:
    folder = tmp_path_factory.mktemp("locales")
    if run(["localedef", "-i", "en_US", "-f", "ISO-8859-1", str(folder / "en_US.ISO-8859-1")]).returncode != 0:
        pytest.skip("localedef cannot make an ISO-8859-1 locale here")
    return {**os.environ, "LOCPATH": str(folder), "LC_ALL": "en_US.ISO-8859-1"}


@pytest.mark.parametrize("locale, shown", [("ISO-8859-1", b"??0"), ("C", "\u30ed\u30dc0".encode())])
def test_text_beyond_ascii_shows_as_the_locale_can_show_it(
    latin1_locale: Dict[str, str], locale: str, shown: bytes
) -> None:
    # The C locale counts as UTF-8; one of another character set gets ASCII alone.
    env = latin1_locale if locale == "ISO-8859-1" else {**os.environ, "LC_ALL": "C"}
    module, reference = both(["--interface", "\u30ed\u30dc0"], env)
    assert module.stderr.startswith(b"seekwell: no interface named '" + shown + b"'; ")
    assert module.stderr == as_module(reference.stderr)


def library_copy(folder: Path, finder: bool) -> Dict[str, str]:
    """An environment loading a copy of the library, alone or beside a stand-in finder helper."""
    folder.mkdir()
    shutil.copy(seekwell_library_file(), folder / "libseekwell.so.2")
    if finder:
        helper = os.environ.get("FAKE_FINDER_HELPER")
        if not helper:
            pytest.skip("no stand-in finder helper (set FAKE_FINDER_HELPER)")
        (folder / "seekwell").mkdir()
        shutil.copy(helper, folder / "seekwell" / "seekwell-finder-gupnp")
        (folder / "seekwell" / "fake-helper-mode").write_text("good\n")
    path = os.pathsep.join(filter(None, [str(folder), os.environ.get("LD_LIBRARY_PATH")]))
    return {**os.environ, "LD_LIBRARY_PATH": path}


@pytest.mark.parametrize("options", [[], ["--json"]])
@pytest.mark.parametrize("path", ["built-in", "finder"])
def test_no_route_stops_only_the_built_in_search(options: List[str], path: str, tmp_path: Path) -> None:
    # A fresh network namespace has no route at all, so nothing can be sent from it.
    isolated = ["unshare", "--net", "--"]
    if run([*isolated, "true"]).returncode != 0:
        pytest.skip("no private network namespace: unshare --net needs root")
    env = library_copy(tmp_path / "lib", finder=path == "finder")
    module = run([*isolated, PYTHON, "-m", "seekwell", *options], env)
    reference = run([*isolated, tool("SEEKWELL_DISCOVER", "seekwell-discover"), *options], env)
    assert (module.stdout, module.stderr) == (reference.stdout, as_module(reference.stderr))
    if path == "built-in":
        assert module.returncode == reference.returncode == cli.EXIT_NO_NETWORK
        assert b"built-in search" in module.stderr
    else:
        # The finder helper sets its sockets' interfaces itself: its two robots, no warning.
        assert module.returncode == reference.returncode == cli.EXIT_SUCCESS
        assert b"192.0.2.11" in module.stdout and module.stderr == b""
