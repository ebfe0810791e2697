import queue
import threading

import pytest
from streams import numbers, only_odd, scaled, window_sums
from suite_settings import ITEMS, SEEDS


def producer(seed, out):
    for value in scaled(numbers(ITEMS, seed), 5):
        out.put(value)
    out.put(None)


def consumer(inbox, results):
    def drained():
        while (value := inbox.get()) is not None:
            yield value

    results.append(sum(window_sums(only_odd(drained()), 3)))


@pytest.mark.parametrize("pairs", [1, 2, 4])
@pytest.mark.parametrize("seed", range(max(1, SEEDS // 4)))
def test_producer_consumer_threads(seed, pairs):
    results = []
    threads = []
    for pair in range(pairs):
        channel = queue.Queue(maxsize=64)
        threads += [threading.Thread(target=producer, args=(seed + pair, channel)),
                    threading.Thread(target=consumer, args=(channel, results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    expected = sorted(sum(window_sums(only_odd(scaled(numbers(ITEMS, seed + pair), 5)), 3)) for pair in range(pairs))
    assert sorted(results) == expected


def failing_stream(seed):
    for position, value in enumerate(numbers(ITEMS, seed)):
        if position == ITEMS // 2:
            raise ValueError(f"bad value {value}")
        yield value


@pytest.mark.parametrize("workers", [2, 8])
@pytest.mark.xfail(reason="an exception raised in a thread stays in that thread", raises=pytest.fail.Exception, strict=True)
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_thread_exception_reaches_the_caller(workers):
    threads = [threading.Thread(target=lambda seed=seed: sum(failing_stream(seed))) for seed in range(workers)]
    with pytest.raises(ValueError):
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
