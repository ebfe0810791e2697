"""`vesk serve`: a local web viewer of the trace database (see server.py)."""
