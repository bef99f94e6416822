"""discover(), discover_async() and python3 -m seekwell against simulated robots on a private LAN,
through the library's finder helper and through its built-in search, with the real stack."""

from __future__ import annotations

import json
import re
import subprocess
from typing import Dict, List, Tuple

from conftest import ODD_NAME_ROBOT, PYTHON, ROBOTS, PrivateLan, SearchPath, tool

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
