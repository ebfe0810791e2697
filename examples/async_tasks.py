"""Two workers fetching in turn on one event loop: `vesk show latest --tasks` reads it per task."""

import asyncio


async def fetch(item: int) -> int:
    await asyncio.sleep(0.01 * item)
    return item * item


async def worker(name: str, items: list[int]) -> int:
    total = 0
    for item in items:
        total += await fetch(item)
    return total


async def main() -> list[int]:
    first = asyncio.create_task(worker("a", [1, 2]), name="worker-a")
    second = asyncio.create_task(worker("b", [3]), name="worker-b")
    return list(await asyncio.gather(first, second))


if __name__ == "__main__":
    print(asyncio.run(main()))
