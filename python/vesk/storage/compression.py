"""Trace documents as stored: compressed with zstd.

A trace repeats itself: every record holds the same keys, its file's path, its thread's name and the
frame ids of its call and its caller, and a program passes the same values from call to call (a
parser's token list, the same request object in every frame of a view). zstd finds those repeats
within its window, so a value recorded again costs a few bytes of reference rather than its size,
and it does so at hundreds of megabytes a second each way, well under what making the document cost.

Documents stored before compression (plain MessagePack, whose trace document starts with a map
header) are read as they are: a zstd frame starts with its magic number, which no document does.
"""

from __future__ import annotations

import threading

ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
# zstd's default level. On the largest test trace of jinja2's own suite (216 MB of records, mostly
# its AST nodes shown again at every call) level 1 left 1.78 MB at 1.6 GB/s, level 3 1.48 MB at
# 1.1 GB/s, level 6 1.44 MB at 0.44 GB/s; decompressing took 0.2-0.3 s for each.
LEVEL = 3

# A compressor's context is made once per thread (one must not be used by two threads at once):
# making it costs more than compressing a test's trace of a few KB (91 µs against 3.5 µs for 1.5 KB;
# 128 µs against 40 µs for 300 KB), and a suite saves a trace per test.
_contexts = threading.local()


def compress(document: bytes) -> bytes:
    """What to store of `document`: compressed where that makes it smaller, else the document."""
    compressor = getattr(_contexts, "compressor", None)
    if compressor is None:
        import zstandard  # only when a document is saved: `vesk run` does not import it to start

        compressor = _contexts.compressor = zstandard.ZstdCompressor(level=LEVEL)
    compressed = compressor.compress(document)
    return compressed if len(compressed) < len(document) else document


class Damaged(ValueError):
    """A stored document that starts as a zstd frame but does not decompress."""


def decompress(stored: bytes) -> bytes:
    """The document stored as `stored`, compressed or not."""
    if stored[:4] != ZSTD_MAGIC:
        return stored
    import zstandard

    decompressor = getattr(_contexts, "decompressor", None)
    if decompressor is None:
        decompressor = _contexts.decompressor = zstandard.ZstdDecompressor()
    try:
        return decompressor.decompress(stored)
    except zstandard.ZstdError as exc:
        raise Damaged(str(exc)) from None
