"""Finds and loads the ROVA host libraries for the seekwell and kinemap packages."""

__version__ = "2.0.1080"
