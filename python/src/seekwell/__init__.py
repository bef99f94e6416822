"""Finds ROVA robots on the local network."""

from _rova_libraries import __version__

__all__ = ["__version__"]
