"""What `vesk run` costs a program that needs nothing: the modules it imports on the way in and out."""

from __future__ import annotations

from host_support import needs_engine

pytestmark = needs_engine

# Each of these cost milliseconds to import, and none is needed to record and save a program that
# does not use it itself: plugins name the libraries they describe by path, the reading commands
# have their own parser, and the database needs neither json nor urllib to be written.
NOT_NEEDED = (
    "argparse", "dataclasses", "inspect", "zipfile", "http.client", "email", "ssl", "socket", "logging",
    "tomllib", "urllib.parse", "json",
)


def test_recording_an_empty_program_imports_none_of_the_dear_modules(project):
    project.write(
        "empty.py",
        """
        import atexit, sys

        def dump():  # runs after vesk has saved the trace and printed its summary
            with open("modules.txt", "w") as handle:
                handle.write("\\n".join(sorted(sys.modules)))

        atexit.register(dump)
        """,
    )
    done = project.run("run", "empty.py", check=True)
    assert "saved in" in done.stderr
    modules = set((project.root / "modules.txt").read_text().split())
    assert {"vesk.db", "vesk.plugins", "vesk.serialize", "sqlite3"} <= modules  # imported before the dump ran
    assert sorted(modules.intersection(NOT_NEEDED)) == []

