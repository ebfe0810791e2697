"""vesk: a tracing profiler for Python programs."""

from vesk.version import __version__

__all__ = ["__version__"]
