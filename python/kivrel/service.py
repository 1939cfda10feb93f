"""Services written in Python, served on threads with the C host's protections."""

from __future__ import annotations

import logging
import socket
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, TypeVar

from .client import check_address, receive_message, send_message
from ._closing import ClosesOnExit
from .errors import CallError
from .proxy import LIST_METHODS, METHOD_HELP, METHOD_SIGNATURE
from .values import Shape, ValueList, check_shape, check_text, describe_signature, parse_signature
from .wire import MAX_MESSAGE_BYTES, MessageReader, decode_call, encode_response, frame

__all__ = ["Service", "MAX_CONNECTIONS", "IDLE_TIMEOUT", "MESSAGE_TIMEOUT"]

MAX_CONNECTIONS = 64
"""Connections served at once; further ones are accepted and closed at once."""
IDLE_TIMEOUT = 10.0
"""Seconds a connection may stay silent between calls before it is closed."""
MESSAGE_TIMEOUT = 10.0
"""Seconds within which a call, once begun, must have arrived whole, and
within which the response must have gone out."""

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

log = logging.getLogger("kivrel.service")

F = TypeVar("F", bound=Callable[..., Any])


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
    call at a time. A method that raises gets no answer: the connection is
    closed without a response, as the C service does, and the exception is
    logged to the ``kivrel.service`` logger.

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
    ) -> None:
        """A service without methods, with the given limits (the C host's defaults)."""
        self.max_connections = max_connections
        """Connections served at once."""
        self.idle_timeout = idle_timeout
        """Seconds of silence between calls before a connection is closed."""
        self.message_timeout = message_timeout
        """Deadline in seconds for each whole message, in and out."""
        self.max_message_bytes = max_message_bytes
        """Largest call body accepted."""
        self._methods: dict[str, _Method] = {}
        self._lock = threading.Lock()
        self._listener: socket.socket | None = None
        self._acceptor: threading.Thread | None = None
        self._connections: dict[socket.socket, threading.Thread] = {}
        self._stopping = False

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
            return len(self._connections)

    def stop(self) -> None:
        """Stop listening, close every connection (a running method finishes
        first) and join every thread the service started. Safe to call when
        not serving."""
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
            connections = dict(self._connections)
        for sock in connections:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in connections.values():
            thread.join()

    def close(self) -> None:
        """Same as :meth:`stop`; the end of a ``with`` block calls it."""
        self.stop()

    def _accept_loop(self, listener: socket.socket) -> None:
        while True:
            try:
                sock, _ = listener.accept()
            except OSError:
                return  # closed by stop()
            with self._lock:
                if self._stopping or len(self._connections) >= self.max_connections:
                    sock.close()
                    continue
                thread = threading.Thread(
                    target=self._serve_connection, args=(sock,), name="kivrel-connection", daemon=True
                )
                self._connections[sock] = thread
            thread.start()

    def _serve_connection(self, sock: socket.socket) -> None:
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            reader = MessageReader(max_message_bytes=self.max_message_bytes)
            while True:
                if not reader.in_message:
                    sock.settimeout(self.idle_timeout)
                    try:
                        data = sock.recv(_RECEIVE_CHUNK)
                    except socket.timeout:
                        return  # idle
                    if not data:
                        return
                    reader.feed(data)
                body = receive_message(sock, reader, time.monotonic() + self.message_timeout)
                method, args = decode_call(body)
                try:
                    result = self.handle(method, args)
                    response = frame(encode_response(result))
                except Exception:
                    log.exception("method %s failed; the call is dropped and its connection closed", method)
                    return
                send_message(sock, response, time.monotonic() + self.message_timeout)
        except (CallError, OSError) as e:
            log.debug("connection closed: %s", e)
        finally:
            with self._lock:
                self._connections.pop(sock, None)
            sock.close()
