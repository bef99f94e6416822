"""The live search from Python on a private LAN: events as they come, a search that stops and
releases what it held when its loop breaks or its task is cancelled, targets that find robots
where multicast finds none, a link where nothing answers, robots that leave a watch, and
python3 -m seekwell's live modes next to seekwell-discover's. Each host runs in the LAN's client
namespace."""

from __future__ import annotations

import json
import os
import shutil
import ipaddress
import signal
import subprocess
import threading
import time
from pathlib import Path
from typing import Callable, Dict, Iterator, List, Tuple

import pytest

import seekwell
import seekwell.__main__ as cli
from conftest import PYTHON, PrivateLan, SearchPath, tool, why_no_lan

# Robots 1 and 2 answer at once, 3 lacks the marker (left out), 4 answers 3 s late.
ROBOTS = 4
SKIPPED_ROBOT = 3
LATE_ROBOT = 4
FAULTS = [f"{SKIPPED_ROBOT}:no-marker", f"{LATE_ROBOT}:late-reply"]
WINDOW_S = 5.0
WATCH_END_TIMEOUT_S = 5.0
# Long enough for a link where nothing answers to be told (2 s into the first round).
QUIET_WINDOW_S = 3.0
# A second link of the client host, to a namespace where nothing answers a search.
QUIET_INTERFACE = "sw-quiet"
QUIET_PEER = "sw-quiet-p"
QUIET_ADDRESSES = ("198.18.77.1/24", "198.18.77.2/24")
# Spare addresses for robots switched on during a test: one that is killed, one that says goodbye.
KILLED_ROBOT = ROBOTS + 1
LEAVING_ROBOT = ROBOTS + 2
WATCH_PERIOD_S = 0.3
MISSED_ROUNDS = 3
# Killed in the middle of a round, a robot is gone when the third round it missed is over.
GONE_AFTER_KILL_S = (2 * WATCH_PERIOD_S, (MISSED_ROUNDS + 2) * WATCH_PERIOD_S)
# A goodbye takes a robot away at once: sooner than two missed rounds.
GONE_AFTER_GOODBYE_S = 0.5
# How long a host may wait for a robot that is there from the start, and its whole life.
ROBOT_SEEN_TIMEOUT_S = 5.0
HOST_LIFETIME_S = 30
ROVA_HOST = str(Path(__file__).resolve().parents[2] / "examples" / "python" / "rova_host.py")

# What a host holds of a search: its descriptors (sockets among them) and the library's threads.
HELD = """
import os
def link(fd):
    try:
        return os.readlink(f"/proc/self/fd/{fd}")
    except FileNotFoundError:  # the listing's own descriptor, closed by now
        return None
def held():
    links = [text for text in map(link, os.listdir("/proc/self/fd")) if text]
    return {"fds": len(links), "sockets": sum(link.startswith("socket:") for link in links),
            "threads": len(os.listdir("/proc/self/task"))}
"""

# A `for` loop over a search: what it saw, in order, and whether the search still ran when its
# body got the first robot; then a break at the late robot, an unknown interface, and a close().
LOOP_HOST = (
    HELD
    + """
import json, sys, seekwell
late, window = sys.argv[1], float(sys.argv[2])
before = held()
seen, running_at_first_robot = [], None
for event in seekwell.search(window):
    seen.append([type(event).__name__, event.address, getattr(event, "reason", None) and event.reason.code])
    if isinstance(event, seekwell.Robot) and running_at_first_robot is None:
        running_at_first_robot = held()["threads"] > before["threads"]
    if event.address == late:
        break
after_break = held()
try:
    seekwell.search(interface="no-such-if0")
    unknown = "started"
except seekwell.InterfaceNotFoundError as error:
    unknown = [str(error), isinstance(error, seekwell.SeekwellError), isinstance(error, ValueError)]
with seekwell.search(0, period=seekwell.MIN_PERIOD_SECONDS) as watch:
    first = next(event for event in watch if not isinstance(event, seekwell.Skipped))
after_with = held()
watch_done = watch.done_reason.name
print(json.dumps({"seen": seen, "running_at_first_robot": running_at_first_robot, "before": before,
                  "after_break": after_break, "unknown": unknown, "first_of_watch": type(first).__name__,
                  "watch_done": watch_done, "after_with": after_with}))
"""
)

# Each way of leaving a loop over a search that the host still holds: what the host holds after
# each, and what a second loop over the left search yields.
LEAVE_HOST = (
    HELD
    + """
import json, seekwell

def leave_by_return(search):
    for event in search:
        return

def leave_by_exception(search):
    try:
        for event in search:
            raise LookupError
    except LookupError:
        pass

def leave_by_break(search):
    for event in search:
        break

def leave_a_with_block(search):
    with search as events:
        next(iter(events))

before = held()
result = {"before": before}
for leave in (leave_by_break, leave_by_return, leave_by_exception, leave_a_with_block):
    search = seekwell.search(0)
    leave(search)
    result[leave.__name__] = [held(), search.done_reason.name, list(search)]
print(json.dumps(result))
"""
)

# Tasks cancelled while they read a watch and while they await discover_async(): each ends at
# its cancel, having released what its search held.
ASYNC_HOST = (
    HELD
    + """
import asyncio, json, seekwell

async def read(search, first):
    async for event in search:
        if isinstance(event, seekwell.Robot):
            first.set()

async def main():
    before = held()
    first = asyncio.Event()
    task = asyncio.create_task(read(seekwell.search_async(0), first))
    await first.wait()
    running = held()
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)
    after_watch = held()
    found = asyncio.create_task(seekwell.discover_async())
    await asyncio.sleep(1.0)
    found.cancel()
    await asyncio.gather(found, return_exceptions=True)
    after_discover = held()
    robots = await seekwell.discover_async(4.0)
    print(json.dumps({"before": before, "running": running, "after_watch": after_watch,
                      "watch_cancelled": task.cancelled(), "discover_cancelled": found.cancelled(),
                      "after_discover": after_discover, "after_all": held(),
                      "robots": sorted([r.name, r.address, r.interface] for r in robots)}))

asyncio.run(main())
"""
)


@pytest.fixture(scope="module")
def live_lan() -> Iterator[PrivateLan]:
    reason = why_no_lan()
    if reason:
        pytest.skip(f"no private LAN: {reason}")
    lan = PrivateLan(
        f"swlv{os.getpid()}", tool("SEEKWELL_ROBOT_SIM", "seekwell-robot-sim"), ROBOTS, FAULTS, spare_devices=2
    )
    try:
        lan.start()
        yield lan
    finally:
        lan.close()


def host_result(lan: PrivateLan, script: str, *arguments: str) -> Dict[str, object]:
    done = lan.run([PYTHON, "-c", script, *arguments])
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    assert done.stderr == b""
    result: Dict[str, object] = json.loads(done.stdout)
    return result


def test_for_loop_gets_events_as_they_come_and_stops_the_search(live_lan: PrivateLan) -> None:
    late = live_lan.device_address(LATE_ROBOT)
    result = host_result(live_lan, LOOP_HOST, late, str(WINDOW_S))
    seen = result["seen"]
    assert isinstance(seen, list)
    robots = [address for kind, address, _ in seen if kind == "Robot"]
    # The late robot comes last, after the others were handed over while the search ran.
    assert robots[-1] == late and sorted(robots[:-1]) == [live_lan.device_address(n) for n in (1, 2)]
    assert result["running_at_first_robot"] is True
    assert ["Skipped", live_lan.device_address(SKIPPED_ROBOT), "no-marker"] in seen
    # A break, and the end of a `with` block, release the library's thread, descriptors and sockets.
    assert result["after_break"] == result["before"] == result["after_with"]
    unknown = result["unknown"]
    assert isinstance(unknown, list) and unknown[1:] == [True, True]
    assert unknown[0].startswith("no interface named 'no-such-if0'; interfaces here: ")
    assert (result["first_of_watch"], result["watch_done"]) == ("Robot", "CANCELLED")


def test_leaving_a_held_search_releases_its_thread_and_descriptors(live_lan: PrivateLan) -> None:
    result = host_result(live_lan, LEAVE_HOST)
    before = result.pop("before")
    for leave, outcome in result.items():
        # What the host held before the search, how it ended, what a second loop over it got.
        assert outcome == [before, "CANCELLED", []], leave


def test_cancelled_tasks_release_their_search(live_lan: PrivateLan) -> None:
    result = host_result(live_lan, ASYNC_HOST)
    before, running = result["before"], result["running"]
    assert isinstance(before, dict) and isinstance(running, dict)
    assert running["sockets"] > before["sockets"] and running["threads"] > before["threads"]
    assert result["watch_cancelled"] is True and result["discover_cancelled"] is True
    assert result["after_watch"] == result["after_discover"] == result["after_all"] == before
    addresses = [live_lan.device_address(n) for n in (1, 2, LATE_ROBOT)]
    robots = result["robots"]
    assert isinstance(robots, list) and [address for _, address, _ in robots] == sorted(addresses)


def tool_supports(program: str, option: str) -> bool:
    return option in subprocess.run([program, "--help"], capture_output=True, text=True, check=False).stdout


def run_all(
    lan: PrivateLan, commands: Dict[str, List[str]], env: Dict[str, str]
) -> Dict[str, Tuple[int, bytes, bytes]]:
    """Each command in the client namespace, all at once (each search gets every answer)."""
    runs = {
        name: subprocess.Popen(
            ["ip", "netns", "exec", lan.client_ns, *command], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env
        )
        for name, command in commands.items()
    }
    outputs = {name: run.communicate(timeout=60) for name, run in runs.items()}
    return {name: (runs[name].returncode, out, err) for name, (out, err) in outputs.items()}


def both_tools(options: List[str]) -> Dict[str, List[str]]:
    """python3 -m seekwell and, once it has the option, seekwell-discover, with the same options."""
    discover = os.environ.get("SEEKWELL_DISCOVER") or shutil.which("seekwell-discover")
    commands = {"module": [PYTHON, "-m", "seekwell", *options]}
    if discover and tool_supports(discover, options[0].split("=")[0]):
        commands["tool"] = [discover, *options]
    return commands


def sorted_lines(out: bytes) -> List[bytes]:
    # Robots answer in any order; the first line (the path) and the last (the end) stay put.
    lines = out.splitlines()
    return lines[:1] + sorted(lines[1:-1]) + lines[-1:]


def test_explain_prints_every_event_like_seekwell_discover(live_lan: PrivateLan, search_path: SearchPath) -> None:
    commands = {
        f"{name} {mode}": command
        for mode in ("text", "json")
        for name, command in both_tools(["--explain"] + (["--json"] if mode == "json" else [])).items()
    }
    runs = run_all(live_lan, commands, search_path.env)
    for name, (status, out, err) in runs.items():
        assert (status, err) == (0, b""), name
    skipped = live_lan.device_address(SKIPPED_ROBOT)
    text = sorted_lines(runs["module text"][1])
    assert (
        text[0]
        == {"finder": b"blocking call: finder helper", "built-in": b"blocking call: built-in search"}[search_path.name]
    )
    assert text[1] == b"robot    " + live_lan.device_address(1).encode().ljust(17) + b"ROVA robot 1"
    assert text[-2] == b"skipped  " + skipped.encode().ljust(17) + b"no robot marker in the reply"
    assert text[-1] == b"3 robot(s) found"
    lines = [json.loads(line) for line in sorted_lines(runs["module json"][1])]
    assert lines[0] == {"event": "path", "blocking_call": search_path.name}
    assert {"event": "skipped", "address": skipped, "reason": "no-marker", "http_status": 0}.items() <= lines[
        -2
    ].items()
    assert lines[-1] == {"event": "done", "reason": "window-over", "count": 3}
    for mode in ("text", "json"):
        if f"tool {mode}" in runs:
            assert sorted_lines(runs[f"tool {mode}"][1]) == sorted_lines(runs[f"module {mode}"][1])


def test_watch_ends_on_sigint_and_interface_errors_match(live_lan: PrivateLan) -> None:
    command = ["ip", "netns", "exec", live_lan.client_ns, PYTHON, "-m", "seekwell", "--watch"]
    watch = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert watch.stdout is not None
    robots = [watch.stdout.readline() for _ in range(3)]
    watch.send_signal(signal.SIGINT)
    out, err = watch.communicate(timeout=WATCH_END_TIMEOUT_S)
    assert (watch.returncode, err, out) == (0, b"", b"3 robot(s) found\n")
    assert all(line.startswith(b"robot    ") for line in robots)

    runs = run_all(live_lan, both_tools(["--interface=no-such-if0"]), dict(os.environ))
    # The client host's interfaces are listed: its link to the robots, loopback left out.
    status, out, err = runs["module"]
    assert (status, out) == (1, b"")
    assert err.startswith(b"seekwell: no interface named 'no-such-if0'; interfaces here: ")
    assert err.endswith(b"\nTry 'python3 -m seekwell --help' for more information.\n")
    if "tool" in runs:
        named = err.replace(b"seekwell:", b"seekwell-discover:").replace(b"python3 -m seekwell", b"seekwell-discover")
        assert runs["tool"] == (1, b"", named)


# One search with the options given as JSON: its events, or the error that refused them.
OPTIONS_HOST = """
import json, sys, seekwell
options = json.loads(sys.argv[1])
try:
    events = [[type(event).__name__, *event] for event in seekwell.search(**options)]
    print(json.dumps({"events": events}))
except seekwell.TargetError as refused:
    print(json.dumps({"refused": list(refused.targets), "value_error": isinstance(refused, ValueError)}))
"""


@pytest.fixture
def quiet_link(live_lan: PrivateLan) -> Iterator[str]:
    """A second link on the client host whose other end, in a namespace of its own, answers
    nothing: a network where multicast reaches no device."""
    quiet_ns = f"{live_lan.name}-q"
    subprocess.run(["ip", "netns", "add", quiet_ns], check=True)
    try:
        subprocess.run(
            ["ip", "-n", live_lan.client_ns, "link", "add", QUIET_INTERFACE]
            + ["type", "veth", "peer", "name", QUIET_PEER, "netns", quiet_ns],
            check=True,
        )
        for namespace, interface, address in zip(
            (live_lan.client_ns, quiet_ns), (QUIET_INTERFACE, QUIET_PEER), QUIET_ADDRESSES
        ):
            subprocess.run(["ip", "-n", namespace, "addr", "add", address, "dev", interface], check=True)
            subprocess.run(["ip", "-n", namespace, "link", "set", interface, "up"], check=True)
        yield QUIET_INTERFACE
    finally:
        # Deleting the namespace deletes the pair.
        subprocess.run(["ip", "netns", "del", quiet_ns], check=False)


def robots_and_quiet(events: List[List[object]]) -> Tuple[List[object], List[object]]:
    robots = sorted(str(event[2]) for event in events if event[0] == "Robot")
    return robots, [event[1] for event in events if event[0] == "Quiet"]


def test_targets_find_robots_where_multicast_finds_none(live_lan: PrivateLan, quiet_link: str) -> None:
    robot = [live_lan.device_address(number) for number in range(1, ROBOTS + 1)]
    # Every robot's address lies in this /29.
    sweep = live_lan.device_address(1).rsplit(".", 1)[0] + ".8/29"
    searches = {
        "quiet link": {"interface": quiet_link},
        "address": {"interface": quiet_link, "targets": [robot[0]]},
        "range": {"interface": quiet_link, "targets": [sweep], "window": WINDOW_S},
        "every link": {},
        "refused": {"targets": [robot[0], "robot.local"]},  # the good entry is not named
        "too wide": {"targets": [sweep.replace("/29", "/16")]},
    }
    runs = run_all(
        live_lan,
        {
            name: [PYTHON, "-c", OPTIONS_HOST, json.dumps({"window": QUIET_WINDOW_S, **options})]
            for name, options in searches.items()
        },
        dict(os.environ),
    )
    results = {}
    for name, (status, out, err) in runs.items():
        assert (status, err) == (0, b""), name
        results[name] = json.loads(out)
    quiet = [quiet_link]
    # Multicast on the quiet link finds nothing and is told so, once.
    assert robots_and_quiet(results["quiet link"]["events"]) == ([], quiet)
    assert len(results["quiet link"]["events"]) == 1 and results["quiet link"]["events"][0][2]
    # An address is asked directly, a range swept: robots beyond the link searched on.
    assert robots_and_quiet(results["address"]["events"]) == ([robot[0]], quiet)
    swept = results["range"]["events"]
    assert robots_and_quiet(swept) == ([robot[0], robot[1], robot[LATE_ROBOT - 1]], quiet)
    assert ["Skipped", robot[SKIPPED_ROBOT - 1]] == [event[:2] for event in swept if event[0] == "Skipped"][0]
    # Where robots answer, the link is no quiet one.
    robots, quiet_links = robots_and_quiet(results["every link"]["events"])
    assert quiet_links == quiet and {robot[0], robot[1]} <= set(robots)
    assert results["refused"] == {"refused": ["robot.local"], "value_error": True}
    assert results["too wide"] == {"refused": searches["too wide"]["targets"], "value_error": True}


def test_probe_and_quiet_lines_like_seekwell_discover(live_lan: PrivateLan, quiet_link: str) -> None:
    robot = live_lan.device_address(1)
    probe = ["--probe", robot, "--interface", quiet_link]
    commands = {
        **{f"{name} explain": command for name, command in both_tools(["--explain"]).items()},
        **{f"{name} explain json": command for name, command in both_tools(["--explain", "--json"]).items()},
        **{f"{name} probe": command for name, command in both_tools(probe).items()},
        **{f"{name} bad probe": command for name, command in both_tools(["--probe", "robot.local"]).items()},
        "example probe": [PYTHON, ROVA_HOST, "probe", robot],
    }
    runs = run_all(live_lan, commands, dict(os.environ))
    status, out, err = runs["module explain"]
    assert (status, err) == (0, b"")
    quiet_lines = [line for line in out.splitlines() if line.startswith(b"quiet ")]
    assert len(quiet_lines) == 1 and quiet_lines[0].startswith(b"quiet    " + quiet_link.encode().ljust(17))
    status, out, err = runs["module explain json"]
    quiet_objects = [event for event in map(json.loads, out.splitlines()) if event["event"] == "quiet"]
    assert [(event["interface"], bool(event["detail"])) for event in quiet_objects] == [(quiet_link, True)]
    # --probe implies --live: the robot asked directly, nothing from the link searched on.
    status, out, err = runs["module probe"]
    assert (status, err, out) == (0, b"", b"robot    " + robot.encode().ljust(17) + b"ROVA robot 1\n1 robot(s) found\n")
    status, out, err = runs["module bad probe"]
    refusal = f"seekwell: --probe 'robot.local': {seekwell.TargetReason.HOSTNAME.detail}\n"
    assert (status, out) == (1, b"") and err.startswith(refusal.encode())
    status, out, err = runs["example probe"]
    assert (status, err) == (0, b"") and b"robot    " + robot.encode() in out
    assert b"quiet    " + quiet_link.encode() in out
    for mode in ("explain", "explain json", "probe"):
        if f"tool {mode}" in runs:
            assert sorted_lines(runs[f"tool {mode}"][1]) == sorted_lines(runs[f"module {mode}"][1]), mode
    if "tool bad probe" in runs:
        status, out, err = runs["tool bad probe"]
        tool_err = err.replace(b"seekwell-discover", b"python3 -m seekwell").replace(
            b"python3 -m seekwell:", b"seekwell:"
        )
        assert (status, out, tool_err) == runs["module bad probe"]


# A watch that prints each Robot and Gone of the addresses given as a JSON line, the moment it
# comes, and ends when all of them are gone; the alarm ends it if they never are.
WATCH_HOST = """
import json, signal, sys, seekwell
signal.alarm(int(sys.argv[1]))
period, addresses = float(sys.argv[2]), set(sys.argv[3:])
present = set()
for event in seekwell.search(0, period=period):
    if isinstance(event, (seekwell.Robot, seekwell.Gone)) and event.address in addresses:
        name, address = event
        print(json.dumps([type(event).__name__, name, address, event.udn]), flush=True)
        if isinstance(event, seekwell.Robot):
            present.add(address)
        else:
            present.discard(address)
            if not present:
                break
"""


class Lines:
    """A program's output read line by line on a thread of its own, each line with the time it
    came: what a user watching it sees, and when."""

    def __init__(self, lan: PrivateLan, command: List[str]) -> None:
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", lan.client_ns, *command], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        self.lines: List[Tuple[float, bytes]] = []
        self._arrived = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            with self._arrived:
                self.lines.append((time.monotonic(), line))
                self._arrived.notify_all()

    def wait_for(self, wanted: Callable[[bytes], bool], timeout: float) -> Tuple[float, bytes]:
        """The first line that is wanted and when it came; fails after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        with self._arrived:
            while True:
                found = [(stamp, line) for stamp, line in self.lines if wanted(line)]
                if found:
                    return found[0]
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"not within {timeout} s; the lines so far: {self.lines}")
                self._arrived.wait(left)

    def end(self, stop: bool = True) -> Tuple[int, bytes]:
        """Stops the program as Ctrl-C does (or lets it end by itself): its status and stderr."""
        if stop:
            self.process.send_signal(signal.SIGINT)
        _, err = self.process.communicate(timeout=WATCH_END_TIMEOUT_S)
        self._reader.join(WATCH_END_TIMEOUT_S)
        return self.process.returncode, err


def simulated_udn(address: str) -> str:
    """The UDN the simulator gives the robot at an address."""
    return f"uuid:R0VA-5151-4000-8000-{int(ipaddress.IPv4Address(address)):012x}"


def watch_host(lan: PrivateLan, address: str) -> Lines:
    return Lines(lan, [PYTHON, "-c", WATCH_HOST, str(HOST_LIFETIME_S), str(WATCH_PERIOD_S), address])


def test_a_killed_robot_is_gone_after_its_missed_rounds_with_its_udn(live_lan: PrivateLan) -> None:
    address = live_lan.device_address(KILLED_ROBOT)
    robot = live_lan.start_more(KILLED_ROBOT, "--robots", "1")
    try:
        watch = watch_host(live_lan, address)
        _, arrived = watch.wait_for(lambda line: line.startswith(b'["Robot"'), ROBOT_SEEN_TIMEOUT_S)
    finally:
        robot.kill()
        killed = time.monotonic()
        robot.wait()
    gone_at, gone = watch.wait_for(lambda line: line.startswith(b'["Gone"'), HOST_LIFETIME_S)
    assert watch.end(stop=False) == (0, b"")
    _, name, _, udn = json.loads(arrived)
    assert json.loads(arrived) == ["Robot", name, address, simulated_udn(address)] and name
    # Gone names the robot as the Robot did: its name, address and UDN.
    assert json.loads(gone) == ["Gone", name, address, udn]
    assert GONE_AFTER_KILL_S[0] <= gone_at - killed <= GONE_AFTER_KILL_S[1], gone_at - killed


def test_a_robot_that_says_goodbye_is_gone_at_once_in_every_watch(live_lan: PrivateLan) -> None:
    address = live_lan.device_address(LEAVING_ROBOT)
    robot = live_lan.start_more(LEAVING_ROBOT, "--robots", "1", "--announce")
    # The command-line watches search every 15 s: only the goodbye can take the robot away soon.
    watches = {"host": watch_host(live_lan, address)}
    for mode in ("text", "json"):
        for name, command in both_tools(["--watch"] + (["--json"] if mode == "json" else [])).items():
            watches[f"{name} {mode}"] = Lines(live_lan, command)
    try:
        for watch in watches.values():
            watch.wait_for(lambda line: address.encode() in line, ROBOT_SEEN_TIMEOUT_S)
    finally:
        robot.terminate()
        left = time.monotonic()
        robot.wait()

    def gone(line: bytes) -> bool:
        return address.encode() in line and (line.startswith(b"gone ") or b'"gone"' in line or b'"Gone"' in line)

    for name, watch in watches.items():
        gone_at, _ = watch.wait_for(gone, GONE_AFTER_GOODBYE_S + 1.0)
        assert gone_at - left <= GONE_AFTER_GOODBYE_S, (name, gone_at - left)
    assert watches.pop("host").end(stop=False) == (0, b"")
    outputs = {}
    for name, watch in watches.items():
        assert watch.end() == (0, b""), name
        outputs[name] = [line for _, line in watch.lines if address.encode() in line]
    # Each line the moment its event came: the robot, then its goodbye, which names it.
    arrived, went = outputs["module text"]
    assert (
        arrived.startswith(b"robot    " + address.encode().ljust(17))
        and went == b"gone     " + arrived[len(b"robot    ") :]
    )
    robot_json, gone_json = map(json.loads, outputs["module json"])
    assert robot_json["udn"] == gone_json["udn"] == simulated_udn(address)
    assert list(gone_json) == ["event", "name", "address", "location", "interface", "udn"]
    assert {**gone_json, "event": "robot"} == robot_json
    for mode in ("text", "json"):
        if f"tool {mode}" in outputs:
            assert outputs[f"tool {mode}"] == outputs[f"module {mode}"], mode
