"""Several profiled threads record while another thread builds traces over and over: every record
must land in exactly one document, each thread's records in call order."""

import sys
import threading

import msgpack

from engine_support import Host
from vesk import _vesk

THREADS = int(sys.argv[1])
CALLS = int(sys.argv[2])


def work(index, sequence):
    return index + sequence


def worker(index):
    for sequence in range(CALLS):
        work(index, sequence)


host = Host(config={"threading": True})
_vesk.register_profiler(host)
profiler = host.rust_profiler
documents = []
done = threading.Event()


def builder():
    while not done.is_set():
        documents.append(profiler.build_trace())


collector = threading.Thread(target=builder)
collector.start()
workers = [threading.Thread(target=worker, args=(index,)) for index in range(THREADS)]
for thread in workers:
    thread.start()
for thread in workers:
    thread.join()
done.set()
collector.join()
_vesk.register_noop_profiler()
threading.setprofile(None)
documents.append(profiler.build_trace())

seen = {}
for document in documents:
    decoded = msgpack.unpackb(document, strict_map_key=False)
    for thread_id, records in decoded["frames"].items():
        for record in records:
            if record["co_name"] == "work":
                key = (record["locals"]["index"], record["locals"]["sequence"], record["event"])
                assert key not in seen, f"filed twice: {key}"
                seen[key] = thread_id
                per_thread = seen.setdefault(("order", thread_id), [])
                per_thread.append((record["locals"]["sequence"], record["event"]))
calls = [k for k in seen if k[0] != "order"]
assert len(calls) == THREADS * CALLS * 2, (len(calls), THREADS * CALLS * 2)
for key, order in seen.items():
    if key[0] == "order":
        expected = [(s, e) for s in range(CALLS) for e in ("call", "return")]
        assert order == expected, key
print(f"ok {len(documents)} documents, {len(calls)} records")
