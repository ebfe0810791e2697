import pathlib
import sys

# The test-only engine module is built beside the shipped one (scripts/setup) and never installed:
# in build/testing for the default Python version, build/testing-X.Y for another one.
_BUILD = pathlib.Path(__file__).resolve().parent.parent / "build"
for _name in (f"testing-{sys.version_info[0]}.{sys.version_info[1]}", "testing"):
    if (_BUILD / _name / "src" / "testing").is_dir():
        sys.path.append(str(_BUILD / _name / "src" / "testing"))
        break
