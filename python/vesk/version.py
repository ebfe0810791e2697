"""The version of the host package, written into every trace document."""

__version__ = "0.1.0"
