# Fixtures for the engine tests; the helpers themselves live in engine_support, a module name of its
# own (two test folders' "conftest" modules would shadow each other when imported by name).
from engine_support import host_modules, profile_function  # noqa: F401
