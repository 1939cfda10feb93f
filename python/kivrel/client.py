"""The client: one call out, one response back, each whole message within a
deadline."""

from __future__ import annotations

import re
import select
import socket
import time

from ._closing import ClosesOnExit
from .errors import ConnectError, ProtocolError, Timeout
from .values import Value, ValueList
from .wire import MAX_MESSAGE_BYTES, MessageReader, decode_response, encode_call, frame

__all__ = ["Client", "check_address", "send_message", "receive_message"]

_DOTTED = re.compile(r"(0|[1-9][0-9]{0,2})\.(0|[1-9][0-9]{0,2})\.(0|[1-9][0-9]{0,2})\.(0|[1-9][0-9]{0,2})")

_RECEIVE_CHUNK = 64 * 1024


def check_address(address: object) -> str:
    """Return ``address`` if it is strict dotted IPv4 text (four decimal parts
    0 to 255, no leading zeros, nothing else); raise ``ValueError`` otherwise.
    No name is looked up, and no lax form (``127.1``, ``0x7f.0.0.1``) passes."""
    if not isinstance(address, str):
        raise ValueError(f"address {address!r} is not dotted IPv4 text")
    m = _DOTTED.fullmatch(address)
    if m is None or any(int(part) > 255 for part in m.groups()):
        raise ValueError(f"address {address!r} is not strict dotted IPv4 (like 127.0.0.1)")
    return address


def _check_port(port: object) -> int:
    if type(port) is not int or not 1 <= port <= 65535:
        raise ValueError(f"port {port!r} is not a port number (1 to 65535)")
    return port


def send_message(sock: socket.socket, message: bytes, deadline: float) -> None:
    """Write all of ``message`` before the monotonic ``deadline``.

    Raises :class:`Timeout` when the deadline passes and ``OSError`` when the
    connection fails.
    """
    view = memoryview(message)
    while view:
        left = deadline - time.monotonic()
        if left <= 0:
            raise Timeout("the message could not be sent within the deadline")
        sock.settimeout(left)
        try:
            sent = sock.send(view)
        except socket.timeout:
            raise Timeout("the message could not be sent within the deadline") from None
        view = view[sent:]


def receive_message(sock: socket.socket, reader: MessageReader, deadline: float) -> bytes:
    """Read until ``reader`` holds a whole message; return its body.

    Raises :class:`Timeout` when the deadline passes first,
    :class:`ProtocolError` when the peer closes early or breaks the framing,
    and ``OSError`` when the connection fails.
    """
    while True:
        body = reader.get_message()
        if body is not None:
            return body
        left = deadline - time.monotonic()
        if left <= 0:
            raise Timeout("no whole message arrived within the deadline")
        sock.settimeout(left)
        try:
            data = sock.recv(_RECEIVE_CHUNK)
        except socket.timeout:
            raise Timeout("no whole message arrived within the deadline") from None
        if not data:
            if reader.in_message:
                raise ProtocolError("the peer closed the connection in the middle of a message")
            raise ProtocolError("the peer closed the connection without answering")
        reader.feed(data)


class Client(ClosesOnExit):
    """Calls methods of one service at ``address`` (strict dotted IPv4) and ``port``.

    ``timeout`` (seconds) bounds the connect and each whole message: the
    call going out, and the response coming back. Without ``keep_alive``
    every call uses a connection of its own; with it, one connection is kept
    for the calls that follow (made again when the service closed it) until
    :meth:`close`, which the context manager calls. A client is used by one
    thread at a time.

    Raises ``ValueError`` for a malformed address or port.
    """

    def __init__(
        self,
        address: str,
        port: int,
        *,
        timeout: float = 1.0,
        keep_alive: bool = False,
        max_message_bytes: int = MAX_MESSAGE_BYTES,
    ) -> None:
        """Make a client; nothing is connected until the first call."""
        self.address = check_address(address)
        """The service's address."""
        self.port = _check_port(port)
        """The service's port."""
        if not timeout > 0:
            raise ValueError(f"timeout {timeout!r} is not a positive number of seconds")
        self.timeout = float(timeout)
        """Deadline in seconds for the connect and for each whole message."""
        self.keep_alive = keep_alive
        """Whether one connection serves the calls that follow."""
        self.max_message_bytes = max_message_bytes
        """Largest call sent and largest response body accepted."""
        self._sock: socket.socket | None = None

    def close(self) -> None:
        """Close the kept connection, if any. The client can still call again."""
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def _connect(self) -> socket.socket:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.settimeout(self.timeout)
        try:
            sock.connect((self.address, self.port))
        except OSError as e:
            sock.close()
            raise ConnectError(f"cannot connect to {self.address} port {self.port}: {e}") from None
        return sock

    def _kept_socket(self) -> socket.socket:
        sock = self._sock
        if sock is not None:
            # A service closes idle connections; a kept connection that has
            # turned readable before a call was sent was closed (or spoke out
            # of turn) and is not used again.
            readable, _, _ = select.select([sock], [], [], 0)
            if readable:
                sock.close()
                self._sock = sock = None
        if sock is None:
            sock = self._sock = self._connect()
        return sock

    def call(self, method: str, *args: Value) -> ValueList | None:
        """Call ``method`` with ``args`` and return its result list, or ``None``
        when the service answered without a result.

        The method name and the shape of the arguments are not checked: a
        service answers an unknown name or wrongly shaped arguments without a
        result, so a mistake looks like ``None`` here. :class:`kivrel.ServiceProxy`
        checks both against what the service says of itself before sending.

        Raises ``TypeError`` or ``ValueError`` before anything is sent when
        the name or arguments cannot be carried, or the call would exceed
        :attr:`max_message_bytes`; :class:`ConnectError`,
        :class:`Timeout` or :class:`ProtocolError` when the call fails (the
        connection is then closed).
        """
        document = encode_call(method, list(args) if args else None)
        if len(document) > self.max_message_bytes:
            # The service would refuse it after reading; refuse it here unsent.
            raise ValueError(f"a call of {len(document)} bytes exceeds the limit of {self.max_message_bytes}")
        message = frame(document)
        sock = self._kept_socket() if self.keep_alive else self._connect()
        try:
            send_message(sock, message, time.monotonic() + self.timeout)
            reader = MessageReader(max_message_bytes=self.max_message_bytes)
            body = receive_message(sock, reader, time.monotonic() + self.timeout)
            if reader.in_message:
                # Bytes beyond the response: the stream is out of step.
                self._drop(sock)
            return decode_response(body)
        except OSError as e:
            self._drop(sock)
            raise ProtocolError(f"the connection to {self.address} port {self.port} failed: {e}") from None
        except BaseException:
            self._drop(sock)
            raise
        finally:
            if not self.keep_alive:
                sock.close()

    def _drop(self, sock: socket.socket) -> None:
        sock.close()
        if self._sock is sock:
            self._sock = None
