#!/usr/bin/env python3
"""A host in Python, on the seekwell and kinemap packages (Debian package python3-seekwell, or
`pip install --no-build-isolation ./python` from the source tree).

usage: rova_host.py body [DESIGN]   walk a design's body (default: the design of the key 11, 1, 1)
       rova_host.py discover        search the local network for robots (10 s or more)
       rova_host.py live [IF]       each robot as it answers, and why others were left out (10 s)
       rova_host.py probe TARGET... live, also asking robot addresses or sweeping CIDR ranges
                                    that multicast does not reach (198.19.5.11, 198.19.5.0/24)
       rova_host.py watch [IF]      robots coming, moving and going until Ctrl-C, in asyncio
IF names one network interface to search on (default: every one that can multicast).
"""

import asyncio
import sys
from typing import Dict, List, Optional, Sequence

import kinemap
import seekwell
from seekwell import terminal_text

KEY = (11, 1, 1)


def print_body(design: int) -> None:
    body = kinemap.Body(design)
    print(f"design {body.design}: {len(body.joints)} joints, {len(body.locators)} body slots")
    for slot, position in enumerate(body.slot_joints):
        joint = "no joint" if position is None else f"joint {position:2d} (id {body.joints[position]})"
        print(f"slot {slot:2d}  {body.locator(slot) or '(empty)':34s} {joint}")
    print("names:", ", ".join(kinemap.string(string_id, lang="en") for string_id in kinemap.StringId))


async def print_robots() -> None:
    # A live search for its 10 s window, awaited: the event loop stays free meanwhile, and
    # cancelling this task would stop the search at once.
    robots = await seekwell.discover_async()
    print(f"{len(robots)} robot(s) found")
    for index, robot in enumerate(robots):
        print(f"{index:2d}  {terminal_text(robot.raw_name):32s} {terminal_text(robot.address)}")


def print_live(interface: Optional[str], targets: Sequence[str] = ()) -> None:
    # What a device sends goes through terminal_text(): control characters and bytes that are
    # not UTF-8 show as '?', so that no name can drive the terminal.
    # Each event reaches the loop's body the moment it is dispatched; leaving the loop (a break,
    # Ctrl-C) stops the search and releases what it holds.
    for event in seekwell.search(interface=interface, targets=targets):
        if isinstance(event, seekwell.Robot):
            where = f"{terminal_text(event.location)} on {terminal_text(event.interface)}"
            print(f"robot    {terminal_text(event.address):16s} {terminal_text(event.raw_name)}  ({where})", flush=True)
        elif isinstance(event, seekwell.Skipped):
            print(
                f"skipped  {terminal_text(event.address):16s} {event.reason.code}: {terminal_text(event.detail)}",
                flush=True,
            )
        elif isinstance(event, seekwell.Quiet):
            # Nothing at all answered there: multicast filtered, say; targets can still reach robots.
            print(f"quiet    {terminal_text(event.interface):16s} {terminal_text(event.detail)}", flush=True)
        elif isinstance(event, seekwell.Dropped):
            # Replies dropped for want of room, some robots perhaps among them: net.core.rmem_max.
            print(f"dropped  {terminal_text(event.interface):16s} {terminal_text(event.detail)}", flush=True)


def robot_word(robots: Dict[str, seekwell.Robot], event: seekwell.Robot) -> str:
    before = robots.get(event.udn)
    return "moved" if before is not None and before.address != event.address else "robot"


async def watch(interface: Optional[str]) -> None:
    # Window 0: until stopped. A task reads the search from the loop's reader on its
    # descriptor (no thread); cancelling the task, as asyncio.run does on Ctrl-C, stops it.
    # Robots are kept by udn: a robot's address may change (DHCP), and it is still the same one.
    robots: Dict[str, seekwell.Robot] = {}
    async with seekwell.search_async(0, interface) as events:
        async for event in events:
            if isinstance(event, seekwell.Robot):
                word = robot_word(robots, event)
                robots[event.udn] = event
            elif isinstance(event, seekwell.Gone):
                word = "gone"
                robots.pop(event.udn, None)
            else:
                continue
            print(f"{word:8s} {terminal_text(event.address):16s} {terminal_text(event.raw_name)}", flush=True)


def body_design(arguments: List[str]) -> Optional[int]:
    """The design that `body [DESIGN]` asks for, or None for another command line."""
    if arguments == ["body"]:
        return kinemap.design_from_key(KEY)
    if len(arguments) == 2 and arguments[0] == "body" and arguments[1].isdigit():
        return int(arguments[1])
    return None


def main(arguments: List[str]) -> int:
    try:
        design = body_design(arguments)
        if design is not None:
            print_body(design)
            return 0
        if arguments == ["discover"]:
            asyncio.run(print_robots())
            return 0
        if arguments[:1] == ["probe"] and len(arguments) >= 2:
            print_live(None, arguments[1:])
            return 0
        if arguments[:1] in (["live"], ["watch"]) and len(arguments) <= 2:
            interface = arguments[1] if len(arguments) == 2 else None
            if arguments[0] == "live":
                print_live(interface)
            else:
                asyncio.run(watch(interface))
            return 0
    except KeyboardInterrupt:
        return 0
    except (seekwell.SeekwellError, kinemap.KinemapError, ValueError) as error:
        print(error, file=sys.stderr)
        return 2
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
