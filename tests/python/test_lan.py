"""discover(), discover_async() and python3 -m seekwell against simulated robots on a private LAN,
through the library's finder helper and through its built-in search, with the real stack."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
from pathlib import Path
from typing import Dict, Iterator, List, Tuple

import pytest

from conftest import ODD_NAME_ROBOT, PYTHON, ROBOTS, PrivateLan, SearchPath, seekwell_library_file, tool

# The simulator's odd friendly name, as its bytes go out on the network.
ODD_NAME = b'Odd \xff\xe2\x82 \x1b[31m\x7f "q" \\ \xe3\x83\xad\xe3\x83\x9c ' + str(ODD_NAME_ROBOT).encode()

# Awaits a search while a ticker proves the event loop is free; prints the robots and the ticks.
ASYNC_HOST = """
import asyncio, json, seekwell

async def main():
    ticks = 0
    search = asyncio.ensure_future(seekwell.discover_async())
    while not search.done():
        await asyncio.sleep(0.1)
        ticks += 1
    robots = [[robot.name, robot.address] for robot in search.result()]
    print(json.dumps({"robots": robots, "ticks": ticks}))

asyncio.run(main())
"""

ROVA_HOST = str(Path(__file__).resolve().parents[2] / "examples" / "python" / "rova_host.py")
# What a terminal must never get from the network: C0 controls but the line ends, DEL, C1.
TERMINAL_CONTROL = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f]")
MULTICAST_ROUTE = ["224.0.0.0/4"]

JSON_ROBOT = re.compile(r'\{"index": \d+, (.*?)\}(?=, \{"index"|\]\}$)')


def start(lan: PrivateLan, command: List[str], env: Dict[str, str]) -> subprocess.Popen[bytes]:
    return subprocess.Popen(
        ["ip", "netns", "exec", lan.client_ns, *command], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env
    )


def finish(process: subprocess.Popen[bytes]) -> Tuple[int, bytes]:
    out, err = process.communicate(timeout=60)
    assert process.returncode == 0, err.decode(errors="replace")
    return process.returncode, out


def json_robots(document: bytes) -> List[str]:
    """Each robot object of seekwell-discover's JSON without its index, in a stable order."""
    text = document.decode("utf-8").rstrip("\n")
    return sorted(JSON_ROBOT.findall(text))


def table_rows(table: bytes) -> List[bytes]:
    """The table's rows without their index column, in a stable order; the heading first."""
    heading, *rows = table.splitlines()
    return [heading] + sorted(row[4:] for row in rows)


def test_python_host_and_tools_see_the_same_robots(robot_lan: PrivateLan, search_path: SearchPath) -> None:
    # All searches at once: overlapping searches from separate processes each get every answer.
    discover = tool("SEEKWELL_DISCOVER", "seekwell-discover")
    runs = {
        "tool-json": start(robot_lan, [discover, "--json"], search_path.env),
        "tool-table": start(robot_lan, [discover], search_path.env),
        "module-json": start(robot_lan, [PYTHON, "-m", "seekwell", "--json"], search_path.env),
        "module-table": start(robot_lan, [PYTHON, "-m", "seekwell"], search_path.env),
        "async-host": start(robot_lan, [PYTHON, "-c", ASYNC_HOST], search_path.env),
    }
    out = {name: finish(process)[1] for name, process in runs.items()}

    assert json_robots(out["module-json"]) == json_robots(out["tool-json"])
    assert json.loads(out["module-json"])["count"] == json.loads(out["tool-json"])["count"]
    assert table_rows(out["module-table"]) == table_rows(out["tool-table"])

    host = json.loads(out["async-host"])
    # The loop kept running its ticker during the search (a blocked loop would tick once at most).
    assert host["ticks"] >= 10
    found = {name: address for name, address in host["robots"]}
    for number in range(1, ROBOTS + 1):
        if number != ODD_NAME_ROBOT:
            assert found[f"ROVA robot {number}"].startswith(robot_lan.device_address(number))
    tool_addresses = sorted(robot["address"] for robot in json.loads(out["tool-json"])["robots"])
    assert sorted(found.values()) == tool_addresses


def test_odd_name_reaches_python_decoded_with_replacement(robot_lan: PrivateLan, search_path: SearchPath) -> None:
    done = robot_lan.run(
        [PYTHON, "-c", "import json, seekwell; print(json.dumps(seekwell.discover()))"], search_path.env
    )
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    odd_address = robot_lan.device_address(ODD_NAME_ROBOT)
    names = [name for name, address in json.loads(done.stdout) if address.startswith(odd_address)]
    if search_path.name == "built-in":
        # The built-in search reports the document's text verbatim.
        assert names == [ODD_NAME.decode("utf-8", errors="replace")]
    else:
        # The finder's XML parser has its own view of bytes that are not UTF-8.
        assert len(names) == 1 and names[0].startswith("Odd ")


def terminal_env(env: Dict[str, str]) -> Dict[str, str]:
    utf8 = {name: value for name, value in env.items() if name not in ("LC_ALL", "LC_CTYPE", "PYTHONIOENCODING")}
    return {**utf8, "LANG": "C.UTF-8"}


def assert_terminal_safe(name: str, out: bytes) -> None:
    text = out.decode("utf-8")  # strict: a byte that is not UTF-8 fails here
    assert TERMINAL_CONTROL.search(text) is None, f"{name}: {out!r}"
    assert "ロボ" in text, f"{name}: {out!r}"


def test_odd_names_reach_the_terminal_as_safe_text(robot_lan: PrivateLan, search_path: SearchPath) -> None:
    commands = {
        "module table": [PYTHON, "-m", "seekwell"],
        "module json": [PYTHON, "-m", "seekwell", "--json"],
        "module live": [PYTHON, "-m", "seekwell", "--live"],
        "module live json": [PYTHON, "-m", "seekwell", "--live", "--json"],
        "example live": [PYTHON, ROVA_HOST, "live"],
        "example discover": [PYTHON, ROVA_HOST, "discover"],
    }
    env = terminal_env(search_path.env)
    runs = {name: start(robot_lan, command, env) for name, command in commands.items()}
    for name, process in runs.items():
        assert_terminal_safe(name, finish(process)[1])


@pytest.fixture
def no_multicast_route(robot_lan: PrivateLan) -> Iterator[PrivateLan]:
    """The client host without its route to the multicast group, for one test."""
    route = ["ip", "-n", robot_lan.client_ns, "route"]
    layout = robot_lan.layout()
    subprocess.run([*route, "del", *MULTICAST_ROUTE], check=True)
    try:
        yield robot_lan
    finally:
        subprocess.run([*route, "add", *MULTICAST_ROUTE, "dev", layout["client_interface"]], check=True)


def test_live_search_needs_no_multicast_route(no_multicast_route: PrivateLan, tmp_path: Path) -> None:
    env = terminal_env(dict(os.environ))
    # The library copied alone takes the built-in search; as built or installed, its finder
    # helper, where there is one beside it.
    shutil.copy(seekwell_library_file(), tmp_path / "libseekwell.so.2")
    alone = {**env, "LD_LIBRARY_PATH": os.pathsep.join(filter(None, [str(tmp_path), env.get("LD_LIBRARY_PATH")]))}
    finder = (Path(seekwell_library_file()).parent / "seekwell" / "seekwell-finder-gupnp").exists()
    runs = {
        "module live": start(no_multicast_route, [PYTHON, "-m", "seekwell", "--live"], env),
        "example live": start(no_multicast_route, [PYTHON, ROVA_HOST, "live"], env),
        "module blocking": start(no_multicast_route, [PYTHON, "-m", "seekwell"], alone),
    }
    if finder:
        runs["module finder"] = start(no_multicast_route, [PYTHON, "-m", "seekwell"], env)
    outputs = {name: process.communicate(timeout=60) + (process.returncode,) for name, process in runs.items()}
    out, err, status = outputs["module live"]
    assert (status, err) == (0, b"") and out.endswith(f"{ROBOTS} robot(s) found\n".encode())
    out, err, status = outputs["example live"]
    assert (status, err) == (0, b"") and out.count(b"robot    ") == ROBOTS
    # The blocking call's built-in search sends by the routing table: it warns and makes no search.
    out, err, status = outputs["module blocking"]
    assert (status, out) == (3, b"No robot found.\n") and b"no route to the multicast group" in err
    # The finder helper sets its sockets' interfaces itself: no warning, and every robot.
    if finder:
        out, err, status = outputs["module finder"]
        assert (status, err) == (0, b"") and len(re.findall(rb"(?m)^[0-9]+ ", out)) == ROBOTS
