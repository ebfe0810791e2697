"""vesk: a tracing profiler for Python programs.

Every call of your own code, with its arguments, local variables and return value, plus typed records
for SQL queries, HTTP calls, log records, tests and web requests, stored in a SQLite database.

    vesk run script.py            record a program, then: vesk show latest
    pytest --vesk                 one trace per test
    with vesk.profile(): ...      record a block of code

PYTEST_DONT_REWRITE: pytest marks this package for assertion rewriting as the home of a plugin, and
under `vesk run -m pytest` it is imported before pytest starts; without this marker pytest warns
that it cannot rewrite it, which fails every project that turns warnings into errors.
"""

from vesk.version import __version__

__all__ = ["__version__", "profile", "Recording", "Profiler"]


def __getattr__(name):
    # Imported on first use, so that `import vesk` stays cheap and works without the engine (the
    # serialiser and the reading API need no native code).
    if name in ("profile", "Recording", "Profiler"):
        from vesk import profiler

        return getattr(profiler, name)
    raise AttributeError(f"module 'vesk' has no attribute {name!r}")
