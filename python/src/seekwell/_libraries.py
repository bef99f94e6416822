"""Finds and loads the ROVA host libraries for the seekwell and kinemap packages.

The libraries are found like any shared library, by their SONAME: from the installed Debian
packages, or from a folder on LD_LIBRARY_PATH. Each is loaded the first time it is used, so
importing a package costs nothing and needs neither library.

Private to the distribution; it lives inside the seekwell package so that the package's py.typed
covers it, and type checkers see its classes rather than Any.
"""

from __future__ import annotations

import ctypes
import functools
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


@functools.lru_cache(maxsize=None)
def load(library: Library, error: Type[LibraryNotFoundError] = LibraryNotFoundError) -> ctypes.CDLL:
    """The library, loaded once; `error` (a LibraryNotFoundError) when it cannot be."""
    try:
        return ctypes.CDLL(library.soname)
    except OSError as failure:
        raise error(
            f"{library.soname} cannot be loaded ({failure}). Install the Debian package "
            f"{library.package} (apt install {library.package}), or add the folder that "
            "holds it to LD_LIBRARY_PATH."
        ) from failure


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
