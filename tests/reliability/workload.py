"""A small program with the shapes real programs have (recursion, generators, exceptions, closures,
objects, threads) whose results must be the same whether or not it is recorded, whatever goes wrong
inside the recorder."""

import functools
import threading


class Account:
    def __init__(self, owner, balance):
        self.owner = owner
        self.balance = balance
        self.history = []

    def deposit(self, amount):
        if amount <= 0:
            raise ValueError(f"not a deposit: {amount}")
        self.balance += amount
        self.history.append(amount)
        return self.balance

    def __repr__(self):
        return f"Account({getattr(self, 'owner', '?')!r}, {getattr(self, 'balance', '?')})"


def fibonacci(n):
    return n if n < 2 else fibonacci(n - 1) + fibonacci(n - 2)


def squares(limit):
    for number in range(limit):
        yield number * number


def execute(query, *parameters):
    """Named like a database call, so that plugins registered for "execute" apply."""
    return f"{query} {parameters}"


def start_case(name):
    return name


def end_case(name, outcome):
    return outcome


def safe_deposits(account, amounts):
    refused = 0
    for amount in amounts:
        try:
            account.deposit(amount)
        except ValueError:
            refused += 1
    return refused


def make_counter():
    count = 0

    def bump(step=1):
        nonlocal count
        count += step
        return count

    return bump


@functools.lru_cache(maxsize=None)
def cached_cube(n):
    return n ** 3


def threaded_sums(workers=3, each=50):
    results = [0] * workers

    def work(index):
        total = 0
        for value in range(each):
            total += fibonacci(value % 8) + index
        results[index] = total

    threads = [threading.Thread(target=work, args=(index,)) for index in range(workers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def run(cases=3):
    """The program: its value is everything it computed."""
    outcomes = []
    for case in range(cases):
        start_case(f"case-{case}")
        account = Account(f"owner-{case}", 10)
        refused = safe_deposits(account, [5, -1, 7, 0, 3 + case])
        bump = make_counter()
        counted = [bump(step) for step in range(1, 6)]
        queries = [execute("SELECT ?", case, step) for step in range(3)]
        outcomes.append((account.balance, tuple(account.history), refused, counted[-1], len(queries),
                         sum(squares(20 + case)), fibonacci(12 + case % 3), cached_cube(case + 2)))
        end_case(f"case-{case}", "passed")
    return outcomes, threaded_sums()
