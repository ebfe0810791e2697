"""Trace ids, and the revision read from the repository files."""

from __future__ import annotations

import re
import subprocess

import pytest

from vesk import git, utils


def test_trace_ids_have_the_engine_form_and_sort_by_time():
    ids = [utils.new_trace_id() for _ in range(50)]
    assert all(re.fullmatch("trc_[0-7][0-9A-HJKMNP-TV-Z]{25}", trace_id) for trace_id in ids)
    assert len(set(ids)) == 50
    early = utils.ulid_text(1_000, b"\xff" * 10)
    late = utils.ulid_text(1_001, b"\x00" * 10)
    assert early < late and len(early) == 26
    assert utils.ulid_text(0, b"\x00" * 10) == "0" * 26
    assert utils.ulid_text((1 << 48) - 1, b"\xff" * 10) == "7" + "Z" * 25


def test_commit_sha_follows_loose_and_packed_refs_and_worktree_links(tmp_path):
    sha = "0123456789abcdef0123456789abcdef01234567"
    repo = tmp_path / "repo"
    (repo / ".git" / "refs" / "heads").mkdir(parents=True)
    (repo / "src").mkdir()
    (repo / ".git" / "HEAD").write_text("ref: refs/heads/main\n")
    (repo / ".git" / "packed-refs").write_text(f"# pack-refs\n{sha} refs/heads/main\n")
    assert git.commit_sha(str(repo / "src")) == sha

    loose = "f" * 40
    (repo / ".git" / "refs" / "heads" / "main").write_text(loose + "\n")
    assert git.commit_sha(str(repo)) == loose

    worktree = tmp_path / "worktree"
    private = repo / ".git" / "worktrees" / "wt"
    private.mkdir(parents=True)
    (private / "HEAD").write_text("ref: refs/heads/main\n")
    (private / "commondir").write_text("../..\n")
    worktree.mkdir()
    (worktree / ".git").write_text(f"gitdir: {private}\n")
    assert git.commit_sha(str(worktree)) == loose

    # A detached HEAD: a SHA-256 repository's names are 64 digits; other lengths and cases are no name.
    for head, found in (("e" * 64, "e" * 64), ("e" * 63, None), ("e" * 65, None), ("E" * 40, None)):
        (repo / ".git" / "HEAD").write_text(head + "\n")
        assert git.commit_sha(str(repo)) == found
    (repo / ".git" / "HEAD").write_text("not a sha\n")
    assert git.commit_sha(str(repo)) is None
    assert git.commit_sha(str(tmp_path)) is None


def test_commit_sha_agrees_with_git_in_a_real_repository(tmp_path):
    def run(*args):
        return subprocess.run(["git", *args], cwd=tmp_path, capture_output=True, text=True, check=True).stdout

    try:
        run("init", "-q")
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("git is not available")
    (tmp_path / "a.txt").write_text("a")
    run("add", "a.txt")
    run("-c", "user.name=t", "-c", "user.email=t@example.invalid", "commit", "-q", "-m", "one")
    run("pack-refs", "--all")
    assert git.commit_sha(str(tmp_path)) == run("rev-parse", "HEAD").strip()
