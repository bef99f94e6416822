#!/usr/bin/env python3
"""A host in Python, on the seekwell and kinemap packages (Debian package python3-seekwell, or
`pip install ./python` from the source tree).

usage: rova_host.py body [DESIGN]   walk a design's body (default: the design of the key 11, 1, 1)
       rova_host.py discover        search the local network for robots (10 s or more)
"""

import asyncio
import sys
from typing import List, Optional

import kinemap
import seekwell

KEY = (11, 1, 1)


def print_body(design: int) -> None:
    body = kinemap.Body(design)
    print(f"design {body.design}: {len(body.joints)} joints, {len(body.locators)} body slots")
    for slot, position in enumerate(body.slot_joints):
        joint = "no joint" if position is None else f"joint {position:2d} (id {body.joints[position]})"
        print(f"slot {slot:2d}  {body.locator(slot) or '(empty)':34s} {joint}")
    print("names:", ", ".join(kinemap.string(string_id, lang="en") for string_id in kinemap.StringId))


async def print_robots() -> None:
    # The search blocks for 10 s or more: it runs in a worker thread, and the event loop stays
    # free for the rest of the host meanwhile.
    robots = await seekwell.discover_async()
    print(f"{len(robots)} robot(s) found")
    for index, robot in enumerate(robots):
        print(f"{index:2d}  {robot.name:32s} {robot.address}")


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
    except (seekwell.NoSearchError, seekwell.LibraryNotFoundError, ValueError) as error:
        print(error, file=sys.stderr)
        return 2
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
