"""What the Python package's tests share: where the tools under test are, and the private LAN.

ctest points the tests at the build tree through the environment (PYTHONPATH, LD_LIBRARY_PATH and
the variables below); without them they use the installed packages and the tools on PATH.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, Iterator, List, NamedTuple, Optional, Sequence

import pytest

SIMLAN = Path(__file__).resolve().parents[1] / "support" / "private_lan.sh"
LAN_READY_TIMEOUT_S = 10.0
# A search lasts at least 10 s; a whole command around one gets this long.
SEARCH_COMMAND_TIMEOUT_S = 60.0
ROBOTS = 3
# The robot whose friendly name is full of what printers must escape.
ODD_NAME_ROBOT = 2


def tool(variable: str, installed_name: str) -> str:
    """A program under test: from the build tree when ctest names it, else the installed one."""
    path = os.environ.get(variable) or shutil.which(installed_name)
    if not path:
        pytest.skip(f"{installed_name} not found (set {variable} or install seekwell-tools)")
    return path


def why_no_lan() -> str:
    found = subprocess.run(
        ["bash", "-c", 'source "$0" && simlan_why_not', str(SIMLAN)], capture_output=True, text=True, check=False
    )
    return found.stdout.strip()


class PrivateLan:
    """Two network namespaces joined by a veth pair, with simulated robots on one side, and
    `spare_devices` addresses after theirs for robots that come and go during a test."""

    def __init__(self, name: str, simulator: str, robots: int, faults: Sequence[str], spare_devices: int = 0) -> None:
        self.name = name
        self.client_ns = f"{name}-c"
        self.robot_ns = f"{name}-r"
        self.robots = robots
        self.devices = robots + spare_devices
        self._simulator_program = simulator
        self._simulator_command = [simulator, "--robots", str(robots)]
        for fault in faults:
            self._simulator_command += ["--fault", fault]
        self._simulators: List[subprocess.Popen[bytes]] = []
        self._scratch = tempfile.TemporaryDirectory(prefix="seekwell-python-lan-")

    def start(self) -> None:
        subprocess.run(["bash", str(SIMLAN), "create", self.name, str(self.devices)], check=True)
        self._start_simulator(self._simulator_command, 1)

    def start_more(self, first_device: int, *arguments: str) -> subprocess.Popen[bytes]:
        """Another simulator whose first robot is spare device `first_device`, listening when
        this returns. The test ends it: TERM (its robots say goodbye when it runs with
        --announce) or KILL (they vanish without a word); close() stops it if it still runs."""
        assert self.robots < first_device <= self.devices, "a spare device address"
        return self._start_simulator([self._simulator_program, *arguments], first_device)

    def _start_simulator(self, command: List[str], first_device: int) -> subprocess.Popen[bytes]:
        ready = Path(self._scratch.name) / f"ready-{first_device}"
        simulator = subprocess.Popen(
            [
                "ip",
                "netns",
                "exec",
                self.robot_ns,
                *command,
                "--interface",
                self.layout()["robot_interface"],
                "--first-address",
                self.device_address(first_device),
                "--ready-file",
                str(ready),
            ],
            stdout=subprocess.DEVNULL,
        )
        self._simulators.append(simulator)
        deadline = time.monotonic() + LAN_READY_TIMEOUT_S
        while not ready.exists():
            if simulator.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the robot simulator did not start")
            time.sleep(0.05)
        return simulator

    def close(self) -> None:
        for simulator in self._simulators:
            if simulator.poll() is None:
                simulator.terminate()
                simulator.wait(timeout=LAN_READY_TIMEOUT_S)
        subprocess.run(["bash", str(SIMLAN), "destroy", self.name], check=False)
        self._scratch.cleanup()

    @staticmethod
    def layout() -> Dict[str, str]:
        described = subprocess.run(["bash", str(SIMLAN), "describe"], capture_output=True, text=True, check=True)
        return dict(line.split("=", 1) for line in described.stdout.splitlines())

    def device_address(self, number: int) -> str:
        layout = self.layout()
        return f"{layout['device_net']}.{int(layout['first_device_host']) + number - 1}"

    def run(self, command: List[str], env: Optional[Dict[str, str]] = None) -> subprocess.CompletedProcess[bytes]:
        """Runs a command on the client host."""
        return subprocess.run(
            ["ip", "netns", "exec", self.client_ns, *command],
            capture_output=True,
            env=env,
            timeout=SEARCH_COMMAND_TIMEOUT_S,
            check=False,
        )


@pytest.fixture(scope="session")
def robot_lan() -> Iterator[PrivateLan]:
    """Three simulated robots, the second with an odd name, on a private LAN."""
    reason = why_no_lan()
    if reason:
        pytest.skip(f"no private LAN: {reason}")
    lan = PrivateLan(
        f"swpy{os.getpid()}", tool("SEEKWELL_ROBOT_SIM", "seekwell-robot-sim"), ROBOTS, [f"{ODD_NAME_ROBOT}:odd-name"]
    )
    try:
        lan.start()
        yield lan
    finally:
        lan.close()


class SearchPath(NamedTuple):
    """How a search runs: through the finder helper or the library's built-in search."""

    name: str
    env: Dict[str, str]


@pytest.fixture(scope="session", params=["finder", "built-in"])
def search_path(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory) -> SearchPath:
    """The library as built or installed, with its finder helper beside it where there is one;
    or a lone copy of it with no helper beside it, which searches on its own."""
    env = dict(os.environ)
    if request.param == "built-in":
        lone = tmp_path_factory.mktemp("lone-seekwell")
        shutil.copy(seekwell_library_file(), lone / "libseekwell.so.2")
        env["LD_LIBRARY_PATH"] = os.pathsep.join(filter(None, [str(lone), env.get("LD_LIBRARY_PATH")]))
    return SearchPath(request.param, env)


def seekwell_library_file() -> str:
    """The file of libseekwell that this process loads: the build tree's or the installed one."""
    from seekwell import _libraries

    _libraries.load(_libraries.SEEKWELL)
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split(maxsplit=5)[-1].strip()
            if Path(path).name.startswith("libseekwell.so"):
                return path
    raise RuntimeError("libseekwell is loaded but not mapped from a file")


PYTHON = sys.executable
