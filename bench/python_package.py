#!/usr/bin/env python3
"""What the Python packages cost over the libraries, side by side in one run (never run by tests).

usage: PYTHONPATH=python/src LD_LIBRARY_PATH=<build>/body:<build>/discovery \\
       /usr/bin/python3 bench/python_package.py

Prints, each next to its floor: importing both packages against starting the interpreter alone,
kinemap.string() against the bare ctypes call of KinemapGetString, and kinemap.Body() against
the same C calls made bare through ctypes. No search is run: a search's cost is its 10 s window.
"""

import ctypes
import subprocess
import sys
import timeit
from typing import Any, Callable

from seekwell import _libraries
import kinemap

REPEATS = 5
# The symbol names are the package's own: only it knows them.
ARRAY_MEMBERS = (kinemap._GET_JOINT_ARRAY, kinemap._GET_SENSOR_IDS, kinemap._GET_SENSOR_ARRAY)
IMPORT_RUNS = 20


def best_per_call(function: Callable[[], object], number: int) -> float:
    return min(timeit.repeat(function, number=number, repeat=REPEATS)) / number


def interpreter_start(code: str) -> float:
    def run() -> None:
        subprocess.run([sys.executable, "-c", code], check=True)

    return best_per_call(run, IMPORT_RUNS)


def show(label: str, measured: float, floor_label: str, floor: float, unit: float, unit_name: str) -> None:
    print(
        f"{label:34s} {measured / unit:9.2f} {unit_name}   {floor_label:34s} {floor / unit:9.2f} {unit_name}"
        f"   ratio {measured / floor:5.2f}"
    )


def main() -> None:
    show(
        "import seekwell, kinemap",
        interpreter_start("import seekwell, kinemap"),
        "interpreter alone",
        interpreter_start("pass"),
        1e-3,
        "ms",
    )

    raw_get = _libraries.load(_libraries.KINEMAP)[kinemap._GET_STRING]
    raw_get.argtypes = [ctypes.c_uint, ctypes.c_ushort, ctypes.c_char_p, ctypes.c_int]
    raw_get.restype = ctypes.c_int
    buffer = ctypes.create_string_buffer(64)
    show(
        "kinemap.string(MODEL_1, 'en')",
        best_per_call(lambda: kinemap.string(kinemap.StringId.MODEL_1, lang="en"), 20000),
        "KinemapGetString through ctypes",
        best_per_call(lambda: raw_get(9, 1033, buffer, 64), 20000),
        1e-6,
        "us",
    )

    show(
        "kinemap.Body(1), every table read",
        best_per_call(lambda: kinemap.Body(1), 2000),
        "the same C calls through ctypes",
        best_per_call(raw_body_reader(), 2000),
        1e-6,
        "us",
    )


def raw_body_reader() -> Callable[[], object]:
    """The calls Body(1) makes, bound once and made bare: its floor."""
    library = _libraries.load(_libraries.KINEMAP)

    def bind(name: str, *arguments: Any) -> Callable[..., object]:
        function = library[name]
        function.argtypes = [ctypes.c_void_p, *arguments]
        return function

    construct = bind(kinemap._CONSTRUCTOR, ctypes.c_uint)
    destruct = bind(kinemap._DESTRUCTOR)
    arrays = [bind(name, ctypes.c_void_p) for name in ARRAY_MEMBERS]
    locator = bind(kinemap._GET_PRIMITIVE_LOCATOR, ctypes.c_int, ctypes.c_char_p)
    storage = (ctypes.c_void_p * 2)()
    room = (ctypes.c_int * kinemap.PRIMITIVE_COUNT)()
    buffer = ctypes.create_string_buffer(kinemap.LOCATOR_SIZE)

    def read() -> None:
        construct(storage, 1)
        for array in arrays:
            array(storage, None)
            array(storage, room)
        for index in range(kinemap.PRIMITIVE_COUNT):
            locator(storage, index, buffer)
        destruct(storage)

    return read


if __name__ == "__main__":
    main()
