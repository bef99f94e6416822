"""Finds and loads the ROVA host libraries for the seekwell and kinemap packages.

Installed by `cmake --install`, the package loads the libraries of its own prefix first: the
install notes their folder in the file _libdir beside this one. Otherwise, or when they are not
there, the libraries are found like any shared library, by their SONAME: from the installed
Debian packages, or from a folder on LD_LIBRARY_PATH. Each is loaded the first time it is used,
so importing a package costs nothing and needs neither library.

Private to the distribution; it lives inside the seekwell package so that the package's py.typed
covers it, and type checkers see its classes rather than Any.
"""

from __future__ import annotations

import ctypes
import functools
import os
from typing import Any, Callable, NamedTuple, Optional, Type

__version__ = "2.1.0"


class LibraryNotFoundError(OSError):
    """A ROVA library is not installed, or cannot be loaded; the message says what to install.

    Each package raises its own subclass (seekwell.LibraryNotFoundError,
    kinemap.LibraryNotFoundError), which also derives from that package's base error."""


class Library(NamedTuple):
    """A shared library by SONAME, and the Debian package that installs it."""

    soname: str
    package: str


SEEKWELL = Library("libseekwell.so.2", "libseekwell2")
KINEMAP = Library("libkinemap.so.2", "libkinemap2")


_HERE = os.path.dirname(os.path.abspath(__file__))
# Where Debian's python3-seekwell puts the package.
DEBIAN_DIST_PACKAGES = "/usr/lib/python3/dist-packages"


def prefix_libdir(package_dir: str = _HERE) -> Optional[str]:
    """The libraries' folder of the prefix that `cmake --install` put the package into, or None
    when it was installed otherwise (the Debian package, pip, a source tree on PYTHONPATH)."""
    try:
        with open(os.path.join(package_dir, "_libdir"), encoding="utf-8") as note:
            relative = note.read().strip()
    except OSError:
        return None
    return os.path.normpath(os.path.join(package_dir, relative)) if relative else None


def advice(library: Library, package_dir: str = _HERE) -> str:
    """What to do about a library that cannot be loaded, for the way this package was installed."""
    libdir = prefix_libdir(package_dir)
    if libdir is not None:
        return (
            f"cmake --install put this package into a prefix whose libraries lie in {libdir}: "
            "install them there again (cmake --install BUILD --prefix PREFIX), or add the folder "
            f"that holds {library.soname} to LD_LIBRARY_PATH."
        )
    if os.path.dirname(package_dir) == DEBIAN_DIST_PACKAGES:
        return f"Install the Debian package {library.package} (apt install {library.package})."
    return (
        f"Install the Debian package {library.package} (apt install {library.package}), or a build "
        "of the libraries with cmake --install (then sudo ldconfig for /usr/local), or add the "
        f"folder that holds {library.soname} to LD_LIBRARY_PATH."
    )


@functools.lru_cache(maxsize=None)
def load(library: Library, error: Type[LibraryNotFoundError] = LibraryNotFoundError) -> ctypes.CDLL:
    """The library, loaded once; `error` (a LibraryNotFoundError) when it cannot be."""
    libdir = prefix_libdir()
    if libdir is not None:
        try:
            return ctypes.CDLL(os.path.join(libdir, library.soname))
        except OSError:
            pass  # only the Python package went into the prefix, say: the system's may do
    try:
        return ctypes.CDLL(library.soname)
    except OSError as failure:
        raise error(f"{library.soname} cannot be loaded ({failure}). {advice(library)}") from failure


@functools.lru_cache(maxsize=None)
def _free_function() -> Callable[..., Any]:
    # The free() that the process's strdup() pairs with: looked up like the libraries look it up.
    free = ctypes.CDLL(None)["free"]
    free.argtypes = [ctypes.c_void_p]
    free.restype = None
    return free


def free(pointer: Optional[int]) -> None:
    """Releases memory that a library handed over to the caller (free(NULL) does nothing)."""
    _free_function()(pointer)
