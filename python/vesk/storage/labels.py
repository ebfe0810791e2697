"""Where a trace was recorded: the machine, and the CI job when one ran it, so that a team's traces
in one shared store can be told apart and filtered (`vesk traces --machine/--ci-job`)."""

from __future__ import annotations

import os
import socket

# (variable telling the service runs the job, variables naming the job, variable numbering the run),
# in the order checked: each service sets its own variables, and several set CI=true besides.
_CI_SERVICES = (
    ("GITHUB_ACTIONS", ("GITHUB_WORKFLOW", "GITHUB_JOB"), "GITHUB_RUN_ID"),
    ("GITLAB_CI", ("CI_PROJECT_PATH", "CI_JOB_NAME"), "CI_JOB_ID"),
    ("BUILDKITE", ("BUILDKITE_PIPELINE_SLUG", "BUILDKITE_LABEL"), "BUILDKITE_BUILD_NUMBER"),
    ("CIRCLECI", ("CIRCLE_PROJECT_REPONAME", "CIRCLE_JOB"), "CIRCLE_BUILD_NUM"),
    ("JENKINS_URL", ("JOB_NAME",), "BUILD_NUMBER"),
    ("TF_BUILD", ("SYSTEM_DEFINITIONNAME", "AGENT_JOBNAME"), "BUILD_BUILDID"),
)


def machine() -> str:
    return socket.gethostname()


def ci_job(environment: dict[str, str] | None = None) -> str | None:
    """The CI job this process runs in, as "pipeline/job #run", or None outside CI."""
    environment = os.environ if environment is None else environment
    for marker, names, number in _CI_SERVICES:
        if environment.get(marker):
            job = "/".join(environment[name] for name in names if environment.get(name)) or marker.lower()
            run = environment.get(number)
            return f"{job} #{run}" if run else job
    return "ci" if environment.get("CI", "").lower() in ("1", "true", "yes") else None
