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
                found.append((name, address, event.location + event.interface, event.raw_name))
            elif isinstance(event, seekwell.Skipped):
                reason: seekwell.SkipReason = event.reason
                found.append(
                    (reason.code, event.detail, event.address + event.location, str(event.http_status).encode())
                )
            else:
                gone: seekwell.Gone = event
                found.append((gone.name, gone.address, gone.interface, gone.raw_name))
    done: Optional[seekwell.DoneReason] = events.done_reason
    return found if done != seekwell.DoneReason.FAILED else []


async def watch(interface: Optional[str]) -> List[seekwell.Robot]:
    robots = await seekwell.discover_async(seekwell.SEARCH_WINDOW_SECONDS, interface)
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
        robots = asyncio.run(watch(None))
        print(pairs, raw, path, found, robots, seekwell.__version__, seekwell.MAX_RESULTS)
    except seekwell.InterfaceNotFoundError as unknown:
        print(unknown.interface, unknown.errno)
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
