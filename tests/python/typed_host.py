"""A host's view of the packages' types: mypy --strict --disallow-any-expr checks this file with
the packages found as an installed distribution is (on the path, through their py.typed), so any
name of the public interface that reaches a host as Any fails the check. Never run."""

from __future__ import annotations

import asyncio
from typing import List, Optional, Tuple

import kinemap
import seekwell


def robots_of(events: seekwell.Search) -> List[Tuple[str, str, str, bytes]]:
    found = []
    with events:
        for event in events:
            if isinstance(event, seekwell.Robot):
                name, address = event
                found.append((name, address, event.location + event.interface + event.udn, event.raw_name))
            elif isinstance(event, seekwell.Skipped):
                reason: seekwell.SkipReason = event.reason
                found.append(
                    (reason.code, event.detail, event.address + event.location, str(event.http_status).encode())
                )
            elif isinstance(event, seekwell.Quiet):
                found.append((event.interface, event.detail, "", b""))
            elif isinstance(event, seekwell.Dropped):
                found.append((event.interface, event.detail, "", b""))
            else:
                gone: seekwell.Gone = event
                found.append((gone.name, gone.address, gone.interface + gone.udn, gone.raw_name))
    done: Optional[seekwell.DoneReason] = events.done_reason
    return found if done != seekwell.DoneReason.FAILED else []


async def watch(interface: Optional[str]) -> List[seekwell.Robot]:
    robots = await seekwell.discover_async(seekwell.SEARCH_WINDOW_SECONDS, interface, targets=("198.19.5.11",))
    async with seekwell.search_async(0, interface, period=seekwell.MIN_PERIOD_SECONDS) as events:
        async for event in events:
            if isinstance(event, seekwell.Gone):
                events.cancel()
        await events.aclose()
    return robots


def host() -> None:
    try:
        pairs: List[seekwell.Robot] = seekwell.discover()
        raw: List[seekwell.RawRecord] = seekwell.search_bytes()
        path: seekwell.SearchPath = seekwell.blocking_search_path()
        found = robots_of(seekwell.search(window=1.5, interface="eth0"))
        beyond = robots_of(seekwell.search(targets=["198.19.5.11", "198.19.6.0/24"], period=1.0))
        robots = asyncio.run(watch(None))
        version: seekwell.LibraryVersion = seekwell.library_version()
        newer: bool = version >= seekwell.MIN_LIBRARY_VERSION and version.minor >= 1
        names = [seekwell.terminal_text(robot.name) + seekwell.terminal_text(robot.raw_name) for robot in pairs]
        print(pairs, raw, path, found, beyond, robots, seekwell.__version__, str(version), newer, names)
        print(seekwell.MAX_RESULTS, seekwell.MAX_TARGET_ADDRESSES)
    except seekwell.InterfaceNotFoundError as unknown:
        print(unknown.interface, unknown.errno)
    except seekwell.TargetError as refused:
        targets: Tuple[str, ...] = refused.targets
        print(targets, refused.errno)
    except seekwell.SearchStartError as failure:
        print(failure.errno)
    except (seekwell.NoSearchError, seekwell.LibraryNotFoundError) as failure:
        print(failure)
    except seekwell.SeekwellError as failure:
        print(failure)
    try:
        body = kinemap.Body(kinemap.design_from_key((11, 1, 1)))
        print(body.joints, body.sensors, body.locator(8), kinemap.string(kinemap.StringId.MODEL_1, lang="ja"))
    except (kinemap.StringNotFoundError, kinemap.LibraryNotFoundError) as failure:
        error: kinemap.KinemapError = failure
        print(error, kinemap.__version__)
