"""Drive a TV wall controller from Python.

>>> import ostrel
>>> with ostrel.Library() as lib, lib.open("10.0.0.5", 5000) as wall:
...     wall.start_play("1", 2, "rtsp://camera-7/stream")

Each command travels as one framed XML document over its own TCP connection; errors are
exceptions (ArgumentError, TableFullError, DeliveryError), or pass check=False to a command to
get its outcome code instead.
"""
from ._api import (ArgumentError, DeliveryError, Library, OstrelError, TableFullError, Text,
                   Wall, default_encoding)
from ._outcomes import Outcome, outcome_text

__version__ = "2.0.0"

__all__ = [
    "ArgumentError",
    "DeliveryError",
    "Library",
    "OstrelError",
    "Outcome",
    "TableFullError",
    "Text",
    "Wall",
    "default_encoding",
    "outcome_text",
]
