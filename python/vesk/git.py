"""The revision of the code being profiled, written into every trace.

Read from the repository files of the working directory rather than by running git: the engine reads
`COMMIT_SHA` at every trace build, the first read may happen while a program is being profiled, and
starting a process there would be slow and would show up in the program's own threads and signals.
"""

from __future__ import annotations

import os

_HEX_DIGITS = frozenset("0123456789abcdef")


def _is_sha(text: str) -> bool:
    # A SHA-1 or SHA-256 object name. Checked by hand: this file is imported at every trace build,
    # and re is the dearest import `vesk run` could otherwise avoid.
    return len(text) in (40, 64) and _HEX_DIGITS.issuperset(text)


def _git_dir(start: str) -> str | None:
    directory = os.path.abspath(start)
    while True:
        candidate = os.path.join(directory, ".git")
        if os.path.isdir(candidate):
            return candidate
        if os.path.isfile(candidate):
            # A worktree or submodule: ".git" is a file pointing at the real directory.
            with open(candidate, encoding="utf-8") as handle:
                line = handle.readline().strip()
            if line.startswith("gitdir:"):
                return os.path.join(directory, line[len("gitdir:") :].strip())
            return None
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent


def _read_ref(git_dir: str, ref: str) -> str | None:
    common = git_dir
    commondir_file = os.path.join(git_dir, "commondir")
    if os.path.isfile(commondir_file):
        with open(commondir_file, encoding="utf-8") as handle:
            common = os.path.join(git_dir, handle.read().strip())
    for base in (git_dir, common):
        loose = os.path.join(base, ref)
        if os.path.isfile(loose):
            with open(loose, encoding="utf-8") as handle:
                return handle.read().strip()
    packed = os.path.join(common, "packed-refs")
    if os.path.isfile(packed):
        with open(packed, encoding="utf-8") as handle:
            for line in handle:
                parts = line.split()
                if len(parts) == 2 and parts[1] == ref:
                    return parts[0]
    return None


def commit_sha(start: str = ".") -> str | None:
    """The commit checked out in the repository holding `start`, or None outside a repository."""
    try:
        git_dir = _git_dir(start)
        if git_dir is None:
            return None
        with open(os.path.join(git_dir, "HEAD"), encoding="utf-8") as handle:
            head = handle.read().strip()
        sha = _read_ref(git_dir, head[len("ref:") :].strip()) if head.startswith("ref:") else head
    except (OSError, UnicodeDecodeError):
        return None
    return sha if sha and _is_sha(sha) else None


COMMIT_SHA = commit_sha()
