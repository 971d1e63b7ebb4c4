"""A sample package."""

__version__ = "1.4.2"
