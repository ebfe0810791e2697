"""Running a program as a user would, with plain python and under `vesk run`, side by side."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import vesk


def subprocess_env(**extra: str) -> dict[str, str]:
    # The same vesk as this test run's.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(Path(vesk.__file__).parent.parent), env.get("PYTHONPATH", "")])
    env.pop("PYTHONSAFEPATH", None)
    env.update(extra)
    return env

# What vesk itself must never print, whatever the program does.
NEVER_PRINTED = ("terminate called", "Traceback (most recent call last)\n  File \"<frozen", "records lost",
                 "Unexpected exception", "INTERNALERROR")


class Outcome:
    def __init__(self, done: subprocess.CompletedProcess) -> None:
        self.status = done.returncode
        self.stdout = done.stdout
        self.stderr = done.stderr
        # vesk's own lines go to stderr and all start so; the program's are the rest.
        # Addresses differ from run to run.
        self.program_stderr = re.sub("0x[0-9a-f]+", "0x?", "".join(
            line for line in done.stderr.splitlines(keepends=True) if not line.startswith("vesk: ")
        ))


def run(root: Path, command: list[str], timeout: float = 120, **env: str) -> Outcome:
    done = subprocess.run(command, cwd=root, env=subprocess_env(**env), capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)
    return Outcome(done)


def side_by_side(root: Path, source: str, *arguments: str, vesk_options: tuple[str, ...] = (),
                 config: str = "") -> tuple[Outcome, Outcome]:
    """The program run by python, then by `vesk run`, in the same folder."""
    (root / "program.py").write_text(textwrap.dedent(source))
    if config:
        (root / ".vesk").mkdir(exist_ok=True)
        (root / ".vesk" / "config.toml").write_text(textwrap.dedent(config))
    plain = run(root, [sys.executable, "program.py", *arguments])
    recorded = run(root, [sys.executable, "-m", "vesk", "run", *vesk_options, "program.py", *arguments])
    return plain, recorded


def traces(root: Path) -> list[str]:
    """The ids of the traces stored in the project's database, newest first."""
    done = run(root, [sys.executable, "-m", "vesk", "traces"])
    return [line.split()[0] for line in done.stdout.splitlines()[1:] if line.strip().startswith("trc_")]


def show(root: Path, trace: str = "latest") -> str:
    return run(root, [sys.executable, "-m", "vesk", "show", trace, "--limit", "0"]).stdout
