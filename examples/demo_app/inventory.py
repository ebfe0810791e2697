"""Order arithmetic: plain user code with a small class and a recursive helper."""

from dataclasses import dataclass, field


@dataclass
class Order:
    customer: str
    lines: list = field(default_factory=list)


def line_total(item, quantity, price_list):
    return round(price_list[item] * quantity, 2)


def total(order, price_list):
    return _sum([line_total(item, quantity, price_list) for item, quantity in order.lines])


def _sum(values):
    # Recursive on purpose: it makes a deeper call tree to look at.
    if not values:
        return 0.0
    return values[0] + _sum(values[1:])


def missing_stock(order, stock):
    return {item: quantity - stock.get(item, 0) for item, quantity in order.lines if quantity > stock.get(item, 0)}
