"""The generators the suite pipes together; each checks against a list-based reference."""


def numbers(count, seed):
    value = seed
    for _ in range(count):
        value = (value * 1103515245 + 12345) % 2**31
        yield value % 10_000


def scaled(source, factor):
    for value in source:
        yield value * factor


def only_odd(source):
    for value in source:
        if value % 2:
            yield value


def window_sums(source, width):
    window = []
    for value in source:
        window.append(value)
        if len(window) == width:
            yield sum(window)
            window.clear()


def running_total():
    total = 0
    while True:
        value = yield total
        if value is None:
            return total
        total += value


def flatten(nested):
    for item in nested:
        if isinstance(item, list):
            yield from flatten(item)
        else:
            yield item


def nested_lists(depth, width, start=0):
    if depth == 0:
        return list(range(start, start + width))
    return [nested_lists(depth - 1, width, start + index * width**depth) for index in range(width)]
