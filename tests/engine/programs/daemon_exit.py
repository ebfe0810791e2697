"""Exits while profiled daemon threads are in the middle of events."""

import sys
import threading
import time

from engine_support import Host
from vesk import _vesk


def leaf(x):
    values = [x] * 10
    return sum(values)


def spin():
    while True:
        leaf(3)


_vesk.register_profiler(Host(config={"threading": True}, db_path=sys.argv[1]))
for _ in range(4):
    threading.Thread(target=spin, daemon=True).start()
time.sleep(0.3)
leaf(1)
print("main exiting", flush=True)
