"""The exceptions a call can raise; every one is a :class:`CallError`."""

from __future__ import annotations

__all__ = ["CallError", "ConnectError", "Timeout", "ProtocolError", "NoResult"]


class CallError(Exception):
    """A remote call did not give a result; the subclass says why."""


class ConnectError(CallError):
    """No connection could be made to the service (refused, unreachable, timed out)."""


class Timeout(CallError):
    """A whole message was not sent or received within the deadline."""


class ProtocolError(CallError):
    """The peer broke the wire protocol: a malformed, hostile or oversized message,
    or a connection closed where a message was due."""


class NoResult(CallError):
    """The service answered, but without the result the operation needs."""
