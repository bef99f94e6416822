"""The kinemap package against the library's tables as kinemap-info prints them through the C++
interface: a wrong symbol, argument type or object layout in the package shows up here."""

from __future__ import annotations

import re
import subprocess
from typing import Dict, List, Optional, Tuple

import pytest

import kinemap
from conftest import tool

SLOT_ROW = re.compile(r"^ *(\d+)  (.*?) +(-|\d+) +(-|\d+)$")
SENSOR_ROW = re.compile(r"^ *(\d+) +(\d+)  ")
STRING_ROW = re.compile(r"^ *(\d+)  (.*)$")
EMPTY_LOCATOR = "(empty)"


def kinemap_info(*arguments: str) -> List[str]:
    done = subprocess.run(
        [tool("KINEMAP_INFO", "kinemap-info"), *arguments], capture_output=True, text=True, check=True
    )
    return done.stdout.splitlines()


def section(lines: List[str], heading: str) -> List[str]:
    """The lines after the one starting with `heading`, up to the next empty line."""
    start = next(i for i, line in enumerate(lines) if line.startswith(heading)) + 1
    end = next((i for i in range(start, len(lines)) if not lines[i]), len(lines))
    return lines[start:end]


def printed_slots(body: kinemap.Body) -> List[Tuple[str, str, str, str]]:
    def joint(position: Optional[int]) -> Tuple[str, str]:
        return ("-", "-") if position is None else (str(position), str(body.joints[position]))

    return [
        (str(slot), body.locator(slot) or EMPTY_LOCATOR, *joint(body.slot_joints[slot]))
        for slot in range(kinemap.PRIMITIVE_COUNT)
    ]


@pytest.mark.parametrize("design", [0, 1, 7, 2**32 - 1])
def test_body_matches_the_library(design: int) -> None:
    lines = kinemap_info("--design", str(design))
    rows = [SLOT_ROW.match(line) for line in section(lines, "Slot ")]
    body = kinemap.Body(design)
    assert body.design == design
    assert len(body.joints) == kinemap.JOINT_COUNT
    assert printed_slots(body) == [match.groups() for match in rows if match]


def test_only_the_keyed_design_has_sensors() -> None:
    rows = [SENSOR_ROW.match(line) for line in section(kinemap_info("--design", "1"), "Position Slot")]
    listed = tuple(int(match.group(2)) for match in rows if match)
    assert len(listed) == kinemap.SENSOR_ID_COUNT
    assert kinemap.Body(kinemap.Design.KEYED).sensors == listed
    assert kinemap.Body(kinemap.Design.DEFAULT).sensors == ()
    assert kinemap.Body(2).sensors == ()


@pytest.mark.parametrize("index", [-1, kinemap.PRIMITIVE_COUNT, 1000])
def test_locator_outside_the_slots_is_an_index_error(index: int) -> None:
    with pytest.raises(IndexError):
        kinemap.Body(1).locator(index)


@pytest.mark.parametrize(
    "key, design",
    [
        ((11, 1, 1), kinemap.Design.KEYED),
        ([11, 1, 1], kinemap.Design.KEYED),
        ((11, 1), kinemap.Design.DEFAULT),
        ((11, 1, 1, 0), kinemap.Design.DEFAULT),
        ((), kinemap.Design.DEFAULT),
        ((1, 1, 11), kinemap.Design.DEFAULT),
    ],
)
def test_design_from_key(key: Tuple[int, ...], design: kinemap.Design) -> None:
    assert kinemap.design_from_key(key) is design


@pytest.mark.parametrize("key", [(11 + 65536, 1, 1), (-1, 1, 1), (11, 1, 1 - 65536)])
def test_key_units_that_would_wrap_are_refused(key: Tuple[int, ...]) -> None:
    # As 16-bit units these would read 11, 1, 1 (or near it): a match no host meant.
    with pytest.raises(ValueError):
        kinemap.design_from_key(key)


def printed_strings(lang: str) -> Dict[int, str]:
    lines = section(kinemap_info("--lang", lang), "String table")
    return {int(m.group(1)): m.group(2) for m in map(STRING_ROW.match, lines) if m}


@pytest.mark.parametrize("lang, language", [("en", kinemap.Language.ENGLISH), ("ja", kinemap.Language.JAPANESE)])
def test_strings_match_the_library(lang: str, language: kinemap.Language) -> None:
    expected = printed_strings(lang)
    assert sorted(expected) == [int(string_id) for string_id in kinemap.StringId]
    for string_id in kinemap.StringId:
        assert kinemap.string(string_id, lang=lang) == expected[string_id]
        assert kinemap.string(string_id, lang=language) == expected[string_id]


@pytest.mark.parametrize(
    "environment, expected",
    [({"LANGUAGE": "fr:ja"}, "アンバー"), ({"LANG": "ja_JP.UTF-8"}, "アンバー"), ({"LC_ALL": "C"}, "Amber")],
)
def test_language_from_the_environment(
    monkeypatch: pytest.MonkeyPatch, environment: Dict[str, str], expected: str
) -> None:
    for variable in ("LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"):
        monkeypatch.delenv(variable, raising=False)
    for variable, value in environment.items():
        monkeypatch.setenv(variable, value)
    assert kinemap.string(kinemap.StringId.COLOUR_1) == expected


@pytest.mark.parametrize(
    "string_id, lang, error",
    [
        (0, "en", LookupError),
        (13, "ja", LookupError),
        (-1, "en", LookupError),
        (1, 1036, LookupError),
        (1, "fr", ValueError),
        (1, 70000, ValueError),
    ],
)
def test_missing_strings_and_unknown_languages(string_id: int, lang: object, error: type) -> None:
    with pytest.raises(error):
        kinemap.string(string_id, lang=lang)  # type: ignore[arg-type]
