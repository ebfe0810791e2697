"""A small shop back office, to try vesk on:

    vesk run examples/demo_app/main.py
    vesk show latest

It starts a price server on 127.0.0.1 (a free port), fetches prices from it over HTTP, keeps stock in
an SQLite database, computes an order's total, restocks in a worker thread and logs what it did.
"""

import logging
import sys
import threading

import inventory
import prices
import store

log = logging.getLogger("demo_app")


def restock_in_background(db_path, items):
    worker = threading.Thread(target=store.restock, args=(db_path, items), name="restocker")
    worker.start()
    return worker


def main(argv):
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")
    quantity = int(argv[1]) if len(argv) > 1 else 3
    server, url = prices.start_server()
    try:
        price_list = prices.fetch_prices(url)
    finally:
        server.shutdown()
        server.server_close()
    db_path = store.create(["apple", "pear", "plum"])
    order = inventory.Order(customer="ada", lines=[("apple", quantity), ("plum", 1)])
    total = inventory.total(order, price_list)
    missing = inventory.missing_stock(order, store.stock(db_path))
    log.info("order of %s: total %.2f, missing %s", order.customer, total, missing)
    restock_in_background(db_path, missing).join()
    print(f"total {total:.2f}; stock now {store.stock(db_path)}")
    store.remove(db_path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
