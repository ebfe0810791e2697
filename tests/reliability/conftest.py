"""The figures the reliability tests measure (events recorded, memory, wall time, examples) are
printed in a section of their own at the end of the run."""

import pytest

_figures = []


@pytest.fixture
def figures(request):
    def report(**values):
        _figures.append((request.node.name, values))

    return report


def pytest_terminal_summary(terminalreporter):
    if _figures:
        terminalreporter.section("reliability figures")
        for name, values in _figures:
            terminalreporter.write_line(f"{name}: " + ", ".join(f"{key} {value}" for key, value in values.items()))
