"""How much the scale suite does: VESK_SCALE_SUITE=tiny|small|full (default small)."""

import os

SIZE = os.environ.get("VESK_SCALE_SUITE", "small")
# Seeds per parametrized test, and the length of the streams the generators produce: the small suite
# has about 600 tests, each resuming its generators a few thousand times; LONG_ITEMS is for the few
# tests whose streams run on for tens of thousands of values.
SEEDS = {"tiny": 2, "small": 8, "full": 12}[SIZE]
ITEMS = {"tiny": 200, "small": 2000, "full": 4000}[SIZE]
LONG_ITEMS = ITEMS * 20
