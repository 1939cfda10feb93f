"""Services written in Python, served on threads with the C host's protections."""

from __future__ import annotations

import logging
import socket
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, NamedTuple, TypeVar

from .client import check_address, send_message
from ._closing import ClosesOnExit
from .errors import CallError, Timeout
from .proxy import LIST_METHODS, METHOD_HELP, METHOD_SIGNATURE
from .values import Shape, ValueList, check_shape, check_text, describe_signature, parse_signature
from .wire import MAX_HEADER_BYTES, MAX_MESSAGE_BYTES, MessageReader, decode_call, encode_response, frame

__all__ = [
    "Service",
    "ServiceStats",
    "MAX_CONNECTIONS",
    "IDLE_TIMEOUT",
    "MESSAGE_TIMEOUT",
    "MAX_BUFFERED_BYTES",
]

MAX_CONNECTIONS = 64
"""Connections held at once; a further one takes the slot of one that waits."""
IDLE_TIMEOUT = 10.0
"""Seconds a connection may wait for the first byte of a call (from its
accept or its last response) before it is closed."""
MESSAGE_TIMEOUT = 10.0
"""Seconds within which a call, once begun, must have arrived whole, and
within which the response must have gone out."""
MAX_BUFFERED_BYTES = 2 * MAX_MESSAGE_BYTES
"""Bytes of calls all connections may hold at once: room for two of the
largest calls, while 64 connections each sending most of one cannot take the
service anywhere near a gigabyte."""

_RESERVED = (LIST_METHODS, METHOD_SIGNATURE, METHOD_HELP)
_RESERVED_HELP = {
    LIST_METHODS: "This method returns the list of methods of a KIVREL service.",
    METHOD_SIGNATURE: "This method returns the signatures of a method.",
    METHOD_HELP: "This method returns the help string of a method.",
}
_RESERVED_SIGNATURES = {
    LIST_METHODS: (None, "?"),
    METHOD_SIGNATURE: ("[{s}]", "?"),
    METHOD_HELP: ("[{s}]", "[{s}]"),
}
_RECEIVE_CHUNK = 64 * 1024
_ACCEPT_RETRY = 0.05  # s before accepting again after accept failed

log = logging.getLogger("kivrel.service")

F = TypeVar("F", bound=Callable[..., Any])


class ServiceStats(NamedTuple):
    """Counters since the service was made; ``open`` and ``buffered_bytes``
    are the values of the moment."""

    accepted: int
    """Connections accepted, refused ones included."""
    open: int
    """Connections held now."""
    refused: int
    """Closed at once: every slot had a call in progress."""
    evicted: int
    """Closed while waiting, to give their slot to a new connection or their
    buffered bytes to another's call."""
    timed_out: int
    """Closed at a deadline: silent past the idle time, or a message in or
    out not whole within the message deadline."""
    buffered_bytes: int
    """Bytes of calls held now, counted against ``max_buffered_bytes``."""


@dataclass(frozen=True)
class _Method:
    name: str
    func: Callable[..., Any]
    args: str | None
    result: str | None
    help: str | None
    args_shape: Shape | None
    result_shape: Shape | None


class Service(ClosesOnExit):
    """A service: methods registered by name, answered on threads.

    Register methods with :meth:`method` (a decorator) or :meth:`add_method`,
    then :meth:`serve`. The three introspection methods are answered
    automatically. Each connection is served by a thread of its own, one
    call at a time, and a whole call goes to its method at once. A method
    that raises gets no answer: the connection is closed without a response,
    as the C service does, and the exception is logged to the
    ``kivrel.service`` logger.

    Against clients that hold on without calling, the service has the C
    host's policy:

    - every connection has a deadline whatever it is doing: ``idle_timeout``
      for the first byte of a call (from its accept or its last response),
      ``message_timeout`` for the rest of the call once begun, and again for
      the response going out;
    - it holds at most ``max_connections``; when all are taken, a new
      connection takes the slot of the one that has waited longest without
      a call in progress (closed, counted in :attr:`stats` as evicted), and
      is refused only when every slot has a call in progress;
    - the calls all connections hold, whole or in part, take at most
      ``max_buffered_bytes``; a connection whose bytes would pass it takes
      the room of the connections holding bytes that have waited longest,
      and is closed itself when no such one is left.

    Register all methods before serving; methods may run on several threads
    at once.
    """

    def __init__(
        self,
        *,
        max_connections: int = MAX_CONNECTIONS,
        idle_timeout: float = IDLE_TIMEOUT,
        message_timeout: float = MESSAGE_TIMEOUT,
        max_message_bytes: int = MAX_MESSAGE_BYTES,
        max_buffered_bytes: int = MAX_BUFFERED_BYTES,
    ) -> None:
        """A service without methods, with the given limits (the C host's
        defaults). Raises ``ValueError`` when ``max_buffered_bytes`` leaves no
        room for a call of ``max_message_bytes``."""
        if max_buffered_bytes < max_message_bytes + MAX_HEADER_BYTES:
            raise ValueError(
                f"max_buffered_bytes {max_buffered_bytes} leaves no room"
                f" for a call of {max_message_bytes} bytes"
            )
        self.max_connections = max_connections
        """Connections served at once."""
        self.idle_timeout = idle_timeout
        """Seconds of silence between calls before a connection is closed."""
        self.message_timeout = message_timeout
        """Deadline in seconds for each whole message, in and out."""
        self.max_message_bytes = max_message_bytes
        """Largest call body accepted."""
        self.max_buffered_bytes = max_buffered_bytes
        """Bytes of calls all connections may hold at once."""
        self._methods: dict[str, _Method] = {}
        self._lock = threading.Lock()
        self._listener: socket.socket | None = None
        self._acceptor: threading.Thread | None = None
        self._open: set[_Connection] = set()
        self._threads: set[threading.Thread] = set()
        self._stopping = False
        self._accepted = self._refused = self._evicted = self._timed_out = self._buffered = 0

    # ---- methods

    def add_method(
        self,
        name: str,
        func: Callable[..., Any],
        *,
        args: str | None = None,
        result: str | None = None,
        help: str | None = None,
    ) -> None:
        """Register ``func`` under ``name``.

        ``args`` is the argument signature (``None`` or ``"[]"``: no
        arguments; ``"?"``: any list, passed on unchecked); a call whose
        arguments do not fit is answered without a result and ``func`` does
        not run. ``func`` receives the arguments as positional parameters and
        returns a list (checked against ``result`` when one is given) or
        ``None`` for no result. Raises ``ValueError`` for a reserved or taken
        name, or malformed signatures.
        """
        if not isinstance(name, str) or not name:
            raise ValueError(f"method name {name!r} is not a non-empty str")
        if name in _RESERVED or name in self._methods:
            raise ValueError(f"method name {name!r} is reserved or taken")
        check_text(name, "method name")
        if help is not None:
            check_text(help, "help text")
        if args == "[]":
            args = None
        args_shape = parse_signature(args) if args is not None else None
        result_shape = parse_signature(result) if result is not None else None
        if result == "[]":
            raise ValueError("a result signature of '[]' describes nothing that can be sent")
        self._methods[name] = _Method(name, func, args, result, help, args_shape, result_shape)

    def method(
        self,
        name: str | None = None,
        *,
        args: str | None = None,
        result: str | None = None,
        help: str | None = None,
    ) -> Callable[[F], F]:
        """Decorator form of :meth:`add_method`; the name defaults to the
        function's own, the help to its docstring."""

        def register(func: F) -> F:
            self.add_method(
                name or func.__name__,
                func,
                args=args,
                result=result,
                help=help if help is not None else (func.__doc__.strip() if func.__doc__ else None),
            )
            return func

        return register

    def handle(self, method: str, args: ValueList | None) -> ValueList | None:
        """Answer one call without any socket: the result list, or ``None``
        for no result. Exceptions of the method pass through."""
        if method in _RESERVED:
            return self._introspect(method, args)
        entry = self._methods.get(method)
        if entry is None:
            return None
        values = args or []
        if entry.args is None:
            if values:
                return None
        elif entry.args_shape is not None:
            try:
                check_shape(values, entry.args_shape)
            except (TypeError, ValueError):
                return None
        result: ValueList | None = entry.func(*values)
        if result is not None and entry.result_shape is not None:
            check_shape(result, entry.result_shape)
        return result

    def _names(self) -> list[str]:
        return [*self._methods, *_RESERVED]

    def _signatures(self, name: str) -> tuple[str | None, str | None] | None:
        if name in _RESERVED:
            return _RESERVED_SIGNATURES[name]
        entry = self._methods.get(name)
        return None if entry is None else (entry.args, entry.result)

    def _introspect(self, method: str, args: ValueList | None) -> ValueList | None:
        if method == LIST_METHODS:
            return list(self._names())
        if not args or not isinstance(args[0], str):
            return None
        asked = args[0]
        if method == METHOD_HELP:
            text = _RESERVED_HELP.get(asked)
            entry = self._methods.get(asked)
            if entry is not None:
                text = entry.help
            return [text] if text is not None else None
        signatures = self._signatures(asked)
        if signatures is None:
            return None
        arg_sig, result_sig = signatures
        return [describe_signature(result_sig), describe_signature(arg_sig)]

    # ---- serving

    def serve(self, address: str = "127.0.0.1", port: int = 0) -> Service:
        """Listen on ``address`` (strict dotted IPv4) and ``port`` (0: any free
        port, see :attr:`port`) and answer calls on background threads until
        :meth:`stop`. Returns the service, so that ``with service.serve():``
        stops it at the end. Raises ``OSError`` when the port cannot be had
        and ``RuntimeError`` when already serving."""
        check_address(address)
        with self._lock:
            if self._listener is not None:
                raise RuntimeError("the service is serving already")
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            try:
                listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                listener.bind((address, port))
                listener.listen(self.max_connections)
            except OSError:
                listener.close()
                raise
            self._listener = listener
            self._stopping = False
            self._acceptor = threading.Thread(
                target=self._accept_loop, args=(listener,), name="kivrel-accept", daemon=True
            )
            self._acceptor.start()
        return self

    @property
    def port(self) -> int:
        """The port the service listens on; raises ``RuntimeError`` when not serving."""
        listener = self._listener
        if listener is None:
            raise RuntimeError("the service is not serving")
        return int(listener.getsockname()[1])

    @property
    def connection_count(self) -> int:
        """Connections being served at this moment."""
        with self._lock:
            return len(self._open)

    @property
    def stats(self) -> ServiceStats:
        """The counters, read at one instant."""
        with self._lock:
            return ServiceStats(
                self._accepted, len(self._open), self._refused, self._evicted, self._timed_out, self._buffered
            )

    def stop(self) -> None:
        """Stop listening, close every connection (a running method finishes
        first; a request not yet whole is not waited for) and join every
        thread the service started. Safe to call when not serving."""
        with self._lock:
            listener, self._listener = self._listener, None
            acceptor, self._acceptor = self._acceptor, None
            self._stopping = True
        if listener is None:
            return
        # Shutting a socket down wakes the thread blocked on it.
        try:
            listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        listener.close()
        if acceptor is not None:
            acceptor.join()
        with self._lock:
            # Under the lock: a connection's thread closes its socket only
            # after leaving the table, so no descriptor here is a reused one.
            for conn in self._open:
                _shut(conn.sock)
            threads, self._threads = self._threads, set()
        for thread in threads:
            thread.join()

    def close(self) -> None:
        """Same as :meth:`stop`; the end of a ``with`` block calls it."""
        self.stop()

    def _accept_loop(self, listener: socket.socket) -> None:
        while True:
            try:
                sock, _ = listener.accept()
            except OSError:
                if self._stopping:
                    return
                # Out of descriptors or memory, or a connection gone before
                # it was taken: try again soon rather than spin or give up.
                time.sleep(_ACCEPT_RETRY)
                continue
            with self._lock:
                if self._stopping:
                    sock.close()
                    return
                self._accepted += 1
                if len(self._open) >= self.max_connections:
                    victim = self._longest_waiting(None, holding=False)
                    if victim is None:
                        self._refused += 1
                        sock.close()
                        continue
                    self._evict(victim)
                conn = _Connection(sock, time.monotonic())
                self._open.add(conn)
                if len(self._threads) > 2 * self.max_connections:
                    self._threads = {t for t in self._threads if t.is_alive()}
                thread = threading.Thread(
                    target=self._serve_connection, args=(conn,), name="kivrel-connection", daemon=True
                )
                self._threads.add(thread)
            thread.start()

    # _longest_waiting and _evict run with self._lock held.

    def _longest_waiting(self, spare: _Connection | None, *, holding: bool) -> _Connection | None:
        """The open connection without a call in progress that has waited
        longest (other than ``spare``; with ``holding``, one holding bytes)."""
        best = None
        for conn in self._open:
            if conn.busy or conn is spare or (holding and not conn.buffered):
                continue
            if best is None or conn.since < best.since:
                best = conn
        return best

    def _evict(self, conn: _Connection) -> None:
        conn.evicted = True
        self._open.discard(conn)
        self._buffered -= conn.buffered
        conn.buffered = 0
        self._evicted += 1
        _shut(conn.sock)

    def _reserve(self, conn: _Connection, count: int) -> bool:
        """Count ``count`` more bytes held by ``conn``, closing the connections
        that have waited longest to make room; False when ``conn`` is closed."""
        with self._lock:
            if conn.evicted:
                return False
            while self._buffered + count > self.max_buffered_bytes:
                victim = self._longest_waiting(conn, holding=True)
                if victim is None:
                    self._evict(conn)
                    return False
                self._evict(victim)
            self._buffered += count
            conn.buffered += count
            return True

    def _begin_call(self, conn: _Connection) -> bool:
        with self._lock:
            if conn.evicted or self._stopping:
                return False
            conn.busy = True
            return True

    def _end_call(self, conn: _Connection, drained: bool) -> None:
        with self._lock:
            conn.busy = False
            conn.since = time.monotonic()
            if drained:
                self._buffered -= conn.buffered
                conn.buffered = 0

    def _serve_connection(self, conn: _Connection) -> None:
        sock = conn.sock
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            reader = MessageReader(max_message_bytes=self.max_message_bytes)
            message_deadline = 0.0
            while True:
                body = reader.get_message()
                if body is None:
                    deadline = message_deadline if reader.in_message else conn.since + self.idle_timeout
                    left = deadline - time.monotonic()
                    if left <= 0:
                        raise Timeout("no whole call arrived in time")
                    sock.settimeout(left)
                    try:
                        data = sock.recv(_RECEIVE_CHUNK)
                    except socket.timeout:
                        raise Timeout("no whole call arrived in time") from None
                    if not data:
                        return
                    if not reader.in_message:
                        message_deadline = time.monotonic() + self.message_timeout
                    if not self._reserve(conn, len(data)):
                        return
                    reader.feed(data)
                    continue
                if not self._begin_call(conn):
                    return
                method, args = decode_call(body)
                del body
                try:
                    result = self.handle(method, args)
                    response = frame(encode_response(result))
                except Exception:
                    log.exception("method %s failed; the call is dropped and its connection closed", method)
                    return
                send_message(sock, response, time.monotonic() + self.message_timeout)
                drained = not reader.in_message
                self._end_call(conn, drained)
                if not drained:  # the next call came with this one
                    message_deadline = time.monotonic() + self.message_timeout
        except Timeout as e:
            with self._lock:
                self._timed_out += 1
            log.debug("connection closed: %s", e)
        except (CallError, OSError) as e:
            log.debug("connection closed: %s", e)
        finally:
            with self._lock:
                if not conn.evicted:
                    self._open.discard(conn)
                    self._buffered -= conn.buffered
            sock.close()


class _Connection:
    """A connection's place in the slot table; changed under the service's lock."""

    __slots__ = ("sock", "since", "busy", "buffered", "evicted")

    def __init__(self, sock: socket.socket, since: float) -> None:
        self.sock = sock
        self.since = since  # accept or last response: the start of its wait
        self.busy = False  # a whole call is being answered
        self.buffered = 0  # bytes counted against the service's bound
        self.evicted = False


def _shut(sock: socket.socket) -> None:
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
