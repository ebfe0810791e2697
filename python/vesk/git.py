"""The revision of the code being profiled, written into every trace."""

import subprocess


def _current_commit_sha():
    try:
        done = subprocess.run(
            ["git", "rev-parse", "HEAD"], capture_output=True, text=True, timeout=5, check=False
        )
    except (OSError, subprocess.SubprocessError):
        return None
    sha = done.stdout.strip()
    return sha if done.returncode == 0 and sha else None


COMMIT_SHA = _current_commit_sha()
