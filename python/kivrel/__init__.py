"""Speak the kivrel wire protocol from Python: call services, write services,
script the robot.

>>> import kivrel
>>> with kivrel.Client("127.0.0.1", 50010, keep_alive=True) as client:  # doctest: +SKIP
...     client.call("VelocityControl", 200, 200)
...     x, y, theta = client.call("ReadPosition")
"""

from pathlib import Path as _Path

from .client import Client, check_address
from .errors import CallError, ConnectError, NoResult, ProtocolError, Timeout
from .proxy import MethodDescription, ServiceProxy
from .service import Service
from .values import INT_MAX, INT_MIN, Value, ValueList, check_shape, parse_signature
from .wire import MessageReader

__all__ = [
    "Client",
    "check_address",
    "CallError",
    "ConnectError",
    "NoResult",
    "ProtocolError",
    "Timeout",
    "MethodDescription",
    "ServiceProxy",
    "Service",
    "INT_MAX",
    "INT_MIN",
    "Value",
    "ValueList",
    "check_shape",
    "parse_signature",
    "MessageReader",
]

__version__ = (_Path(__file__).parent / "VERSION").read_text(encoding="ascii").strip()
"""The package version, the project's one version; the wire protocol it speaks is KIVREL-1.1."""
