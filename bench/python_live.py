#!/usr/bin/env python3
"""The Python side of the live search, measured on a LAN (run by bench/e2e_python_live.sh, which
puts it in the LAN's client namespace beside the C measuring host; never run by tests).

usage: python_live.py loop WINDOW_S
         One seekwell.search(WINDOW_S) read by a `for` loop. For each robot, microseconds since
         just before the search started (CLOCK_MONOTONIC, as the C host counts them):
           robot 192.0.2.10 CALLBACK_US BODY_US
         CALLBACK_US: the library's call of the package's callback (the ROBOT event in C, plus
         ctypes' entry into Python); BODY_US: the loop's body got the Robot.
       python_live.py cancel AFTER_MS|first-robots N
         A search_async(0) read by a task, cancelled AFTER_MS after its start, or once N robots
         came; then the time from task.cancel() to the task's end, and what the process holds:
           cancel_to_end_us 850 / robots 16 / fds_before 3 fds_after 3 / threads_before 1 threads_after 1
"""

import asyncio
import os
import sys
import time
from typing import Dict, List, Optional

import seekwell
from seekwell import _live


def since(start: int) -> int:
    return (time.monotonic_ns() - start) // 1000


def held() -> str:
    return f"{len(os.listdir('/proc/self/fd'))} {len(os.listdir('/proc/self/task'))}"


def loop(window: float) -> None:
    callbacks: Dict[bytes, int] = {}
    receive = _live._Inbox.receive

    def timed(inbox: _live._Inbox, pointer: object, user_data: Optional[int]) -> None:
        # The first thing the callback does: the time the C library handed the event over.
        at = time.monotonic_ns()
        receive(inbox, pointer, user_data)
        if inbox.events and inbox.events[-1].address not in callbacks:
            callbacks[inbox.events[-1].address] = at

    setattr(_live._Inbox, "receive", timed)
    start = time.monotonic_ns()
    for event in seekwell.search(window):
        if isinstance(event, seekwell.Robot):
            body = time.monotonic_ns()
            callback = callbacks[event.address.encode()]
            print(f"robot {event.address} {(callback - start) // 1000} {(body - start) // 1000}")


async def read(search: seekwell.AsyncSearch, robots: List[seekwell.Robot], enough: int, found: asyncio.Event) -> None:
    async for event in search:
        if isinstance(event, seekwell.Robot):
            robots.append(event)
            if len(robots) >= enough:
                found.set()


async def cancel(after: str, count: int) -> None:
    before = held()
    robots: List[seekwell.Robot] = []
    found = asyncio.Event()
    task = asyncio.create_task(read(seekwell.search_async(0), robots, count, found))
    if after == "first-robots":
        await found.wait()
    else:
        await asyncio.sleep(int(after) / 1000)
    start = time.monotonic_ns()
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)
    print(f"cancel_to_end_us {since(start)}")
    print(f"robots {len(robots)}")
    fds_before, threads_before = before.split()
    fds_after, threads_after = held().split()
    print(f"fds_before {fds_before} fds_after {fds_after}")
    print(f"threads_before {threads_before} threads_after {threads_after}")


def main() -> None:
    if sys.argv[1:2] == ["loop"]:
        loop(float(sys.argv[2]))
    elif sys.argv[1:2] == ["cancel"]:
        asyncio.run(cancel(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 1))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
