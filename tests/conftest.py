import pathlib
import sys

# The test-only engine module is built beside the shipped one (scripts/setup) and never installed.
_TESTING_BUILD = pathlib.Path(__file__).resolve().parent.parent / "build" / "testing" / "src" / "testing"
if _TESTING_BUILD.is_dir():
    sys.path.append(str(_TESTING_BUILD))
