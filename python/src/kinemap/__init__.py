"""The body description of ROVA robots."""

from _rova_libraries import __version__

__all__ = ["__version__"]
