#!/usr/bin/env python3
"""A host in Python: drives Kinemap and Seekwell through ctypes alone.

usage: rova_host.py body [DESIGN]   walk a design's body (default: the keyed design)
       rova_host.py discover        search the local network for robots (10 s or more)

The libraries are found like any shared library (installed packages, or
LD_LIBRARY_PATH).
"""
import ctypes
import ctypes.util
import functools
import sys

c_int_p = ctypes.POINTER(ctypes.c_int)


@functools.lru_cache(maxsize=None)
def kinemap_library():
    return ctypes.CDLL("libkinemap.so.2")


class Kinemap:
    """CKinemap through its exported members.

    Kinemap's interface is a C++ class, so its members are reached by their
    mangled names (the Itanium C++ ABI of GCC and Clang). The host owns the
    object's memory: a vtable pointer and the unsigned design number.
    """

    LOCATOR_SIZE = 128
    ENGLISH = 1033

    def __init__(self, design):
        self._library = kinemap_library()
        self._object = (ctypes.c_void_p * 2)()
        self._method("_ZN8CKinemapC1Ej", None, ctypes.c_uint)(self._object, design)

    def close(self):
        self._method("_ZN8CKinemapD1Ev", None)(self._object)

    def _method(self, mangled_name, result, *arguments):
        function = getattr(self._library, mangled_name)
        function.restype = result
        function.argtypes = [ctypes.c_void_p, *arguments]
        return function

    def _int_array(self, mangled_name):
        """A null pointer asks for the count; then the caller gives the room."""
        query = self._method(mangled_name, ctypes.c_int, c_int_p)
        values = (ctypes.c_int * query(self._object, None))()
        query(self._object, values)
        return list(values)

    @property
    def design(self):
        # m_nDesign follows the vtable pointer.
        return ctypes.c_uint.from_buffer(self._object, ctypes.sizeof(ctypes.c_void_p)).value

    def joints(self):
        return self._int_array("_ZN8CKinemap13GetJointArrayEPi")

    def joint_position_per_slot(self):
        return self._int_array("_ZN8CKinemap14GetSensorArrayEPi")

    def locator(self, slot):
        buffer = ctypes.create_string_buffer(self.LOCATOR_SIZE)
        self._method("_ZN8CKinemap19GetPrimitiveLocatorEiPc", ctypes.c_int, ctypes.c_int,
                     ctypes.c_char_p)(self._object, slot, buffer)
        return buffer.value.decode()

    @staticmethod
    def design_from_key(key):
        function = kinemap_library()._ZN8CKinemap14GetRobotDesignEPti
        function.restype = ctypes.c_uint
        function.argtypes = [ctypes.POINTER(ctypes.c_ushort), ctypes.c_int]
        return function((ctypes.c_ushort * len(key))(*key), len(key))

    def name(self, string_id, language=ENGLISH):
        load = self._library.KinemapLoadString
        load.restype = ctypes.c_int
        load.argtypes = [ctypes.c_uint, ctypes.c_ushort, ctypes.c_char_p, ctypes.c_int]
        buffer = ctypes.create_string_buffer(256)
        load(string_id, language, buffer, len(buffer))
        return buffer.value.decode()


class DiscoveryResult(ctypes.Structure):
    # Plain pointers rather than c_char_p, so the strings can be freed.
    _fields_ = [("pszName", ctypes.c_void_p), ("pszAddress", ctypes.c_void_p)]


MAX_RESULTS = 16


def discover():
    """One search; returns (name, address) pairs, or None when none took place."""
    seekwell = ctypes.CDLL("libseekwell.so.2")
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    libc.free.argtypes = [ctypes.c_void_p]
    seekwell.DiscoveryROVAByUPnP.restype = ctypes.c_int
    seekwell.DiscoveryROVAByUPnP.argtypes = [ctypes.POINTER(DiscoveryResult)]

    results = (DiscoveryResult * MAX_RESULTS)()
    count = seekwell.DiscoveryROVAByUPnP(results)
    if count < 0:
        return None
    robots = []
    for record in results[:count]:
        robots.append((text_of(record.pszName), text_of(record.pszAddress)))
        # Each string now belongs to us and is released with free().
        libc.free(record.pszName)
        libc.free(record.pszAddress)
    return robots


def text_of(pointer):
    return ctypes.string_at(pointer).decode(errors="replace") if pointer else ""


def print_body(design):
    body = Kinemap(design)
    try:
        joints = body.joints()
        print(f"design {body.design}: {len(joints)} joints")
        for slot, position in enumerate(body.joint_position_per_slot()):
            joint = f"joint {position:2d} (id {joints[position]})" if position >= 0 else "no joint"
            print(f"slot {slot:2d}  {body.locator(slot) or '(empty)':34s} {joint}")
        print("names:", ", ".join(body.name(string_id) for string_id in range(1, 13)))
    finally:
        body.close()


def main(arguments):
    if arguments[:1] == ["body"] and len(arguments) <= 2:
        design = int(arguments[1]) if len(arguments) == 2 else Kinemap.design_from_key([11, 1, 1])
        print_body(design)
        return 0
    if arguments == ["discover"]:
        robots = discover()
        if robots is None:
            print("no search took place on this system", file=sys.stderr)
            return 2
        print(f"{len(robots)} robot(s) found")
        for index, (name, address) in enumerate(robots):
            print(f"{index:2d}  {name:32s} {address}")
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
