"""Turns any Python value into one MessagePack value, never raising."""

import msgpack


def _fallback(value):
    return repr(value)


def dump_msgpack(value):
    return msgpack.packb(value, default=_fallback)


def _type_and_identity(value):
    return f"<{type(value).__qualname__} object at {id(value):#x}>"


def dump_msgpack_lightweight_repr(value):
    return msgpack.packb(value, default=_type_and_identity)
