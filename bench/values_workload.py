"""The programs bench/values.py records, one per command line:

    python values_workload.py objects PIXELS     # a small ray tracer, once per kind of vector class
    python values_workload.py text equals|plain CALLS   # one function called with a 1,000-character text
    python values_workload.py kind KIND CALLS    # one function called with a value of one kind (KINDS)
    ... --count                                  # prints the Python calls made in this file instead

The ray tracer's vectors are objects as arguments, locals and return values at nearly every call:
a class with __slots__, a dataclass with slots, a dataclass and a plain class (an instance dict).
"""

from __future__ import annotations

import dataclasses
import math
import sys


class VectorOperations:
    __slots__ = ()

    def add(self, other):
        return type(self)(self.x + other.x, self.y + other.y, self.z + other.z)

    def sub(self, other):
        return type(self)(self.x - other.x, self.y - other.y, self.z - other.z)

    def scale(self, factor):
        return type(self)(self.x * factor, self.y * factor, self.z * factor)

    def dot(self, other):
        return self.x * other.x + self.y * other.y + self.z * other.z

    def norm(self):
        length = math.sqrt(self.dot(self))
        return self.scale(1.0 / length)


class SlotVector(VectorOperations):
    __slots__ = ("x", "y", "z")

    def __init__(self, x, y, z):
        self.x = x
        self.y = y
        self.z = z


@dataclasses.dataclass(slots=True)
class SlotDataVector(VectorOperations):
    x: float
    y: float
    z: float


@dataclasses.dataclass
class DataVector(VectorOperations):
    x: float
    y: float
    z: float


class PlainVector(VectorOperations):
    def __init__(self, x, y, z):
        self.x = x
        self.y = y
        self.z = z


VECTOR_CLASSES = (SlotVector, SlotDataVector, DataVector, PlainVector)


class Sphere:
    __slots__ = ("center", "radius", "color")

    def __init__(self, center, radius, color):
        self.center = center
        self.radius = radius
        self.color = color


def intersect(origin, direction, sphere):
    offset = origin.sub(sphere.center)
    half_b = offset.dot(direction)
    c = offset.dot(offset) - sphere.radius * sphere.radius
    discriminant = half_b * half_b - c
    if discriminant < 0:
        return None
    distance = -half_b - math.sqrt(discriminant)
    return distance if distance > 1e-6 else None


def shade(origin, direction, distance, sphere, light):
    point = origin.add(direction.scale(distance))
    normal = point.sub(sphere.center).norm()
    to_light = light.sub(point).norm()
    brightness = max(0.0, normal.dot(to_light))
    return sphere.color.scale(0.1 + 0.9 * brightness)


def trace(origin, direction, spheres, light, background):
    nearest, hit = math.inf, None
    for sphere in spheres:
        distance = intersect(origin, direction, sphere)
        if distance is not None and distance < nearest:
            nearest, hit = distance, sphere
    if hit is None:
        return background
    return shade(origin, direction, nearest, hit, light)


def render(vector, pixels, width=64, height=48):
    spheres = [
        Sphere(vector(0.0, -0.5, 3.0), 1.0, vector(0.9, 0.2, 0.2)),
        Sphere(vector(1.5, 0.0, 4.0), 1.0, vector(0.2, 0.9, 0.2)),
        Sphere(vector(-1.5, 0.2, 4.5), 1.0, vector(0.2, 0.2, 0.9)),
    ]
    camera = vector(0.0, 0.0, -1.0)
    light = vector(5.0, 5.0, -5.0)
    background = vector(0.1, 0.1, 0.1)
    total = vector(0.0, 0.0, 0.0)
    for index in range(pixels):
        # A stride prime to the image's size: any number of pixels samples the whole image.
        spot = index * 7919 % (width * height)
        column, row = spot % width, spot // width
        direction = vector((column - width / 2) / width, (row - height / 2) / height, 1.0).norm()
        total = total.add(trace(camera, direction, spheres, light, background))
    return total


def objects(pixels: int) -> float:
    return sum(render(vector, pixels).dot(vector(1.0, 1.0, 1.0)) for vector in VECTOR_CLASSES)


# --- texts ------------------------------------------------------------------------------------------

TEXT_LENGTH = 1000
TEXTS = {
    # SQL-like: a "=" every few characters.
    "equals": " AND ".join(f"{chr(97 + i % 26)}{i}={i}" for i in range(TEXT_LENGTH))[:TEXT_LENGTH],
    "plain": "a" * TEXT_LENGTH,
}


def lookup(query):
    size = len(query)
    return size


def texts(kind: str, calls: int) -> int:
    query = TEXTS[kind]
    total = 0
    for _ in range(calls):
        total += lookup(query)
    return total


# --- one value of each kind ---------------------------------------------------------------------------

KINDS = {
    "int": lambda: 7,
    "slots": lambda: SlotVector(1.0, 2.0, 3.0),
    "dataclass": lambda: DataVector(1.0, 2.0, 3.0),
    "plain": lambda: PlainVector(1.0, 2.0, 3.0),
}


def called(value):
    return None


def kinds(kind: str, calls: int) -> None:
    value = KINDS[kind]()
    for _ in range(calls):
        called(value)


# ----------------------------------------------------------------------------------------------------


def count_calls(function, *arguments) -> int:
    """Python calls of functions in this file while `function` runs."""
    calls = 0
    here = __file__

    def counter(frame, event, argument):
        nonlocal calls
        if event == "call" and frame.f_code.co_filename == here:
            calls += 1

    sys.setprofile(counter)
    try:
        function(*arguments)
    finally:
        sys.setprofile(None)
    return calls


def main(argv: list) -> None:
    count = "--count" in argv
    argv = [argument for argument in argv if argument != "--count"]
    if argv[0] == "objects":
        function, arguments = objects, (int(argv[1]),)
    elif argv[0] == "text":
        function, arguments = texts, (argv[1], int(argv[2]))
    elif argv[0] == "kind":
        function, arguments = kinds, (argv[1], int(argv[2]))
    else:
        raise SystemExit(__doc__)
    print(count_calls(function, *arguments) if count else function(*arguments))


if __name__ == "__main__":
    main(sys.argv[1:])
