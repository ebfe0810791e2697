"""Reading stored traces in bounded memory: `vesk show` (tree.py) and `vesk export` (exports.py),
over a stream of records (records.py) walked per thread with a stack of open calls (walk.py)."""
