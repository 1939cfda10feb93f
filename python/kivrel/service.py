"""Services written in Python, served on threads with the C host's protections."""

from __future__ import annotations

import errno
import logging
import os
import selectors
import socket
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, NamedTuple, TypeVar

from .client import check_address, send_message
from ._closing import ClosesOnExit
from .errors import CallError, ProtocolError, Timeout
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
_ACCEPT_RETRY = 0.1  # s before accepting again after accept failed
_ACCEPT_BURST = 64  # connections taken at one wake of the poller
_BACKLOG = 128
_POLL_LONGEST = 1.0  # s the poller sleeps at most with nothing due

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
    automatically. The service's threads take turns at reading every
    connection that is between calls; the one that reads a whole call runs
    its method and sends the answer. A connection carries one call at a
    time; calls on different connections run at once, on up to one thread
    for each slot. A method
    that raises gets no answer: the connection is closed without a response,
    as the C service does, and the exception is logged to the
    ``kivrel.service`` logger.

    Against clients that hold on without calling, the service has the C
    host's policy:

    - every connection has a deadline whatever it is doing: ``idle_timeout``
      for the first byte of a call (from its accept or its last response),
      ``message_timeout`` for the rest of the call once begun, and again for
      the response going out (a whole call never waits for a thread);
    - it holds at most ``max_connections``; when all are taken, a new
      connection takes the slot of the one that has waited longest without
      a call in progress (closed, counted in :attr:`stats` as evicted), and
      is refused only when every slot has a call in progress; so it does
      when the process has no descriptor left for it;
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
        """Connection slots; when all are taken, a new connection takes the
        slot of the one that has waited longest without a call in progress."""
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
        self._listener: socket.socket | None = None  # while serving
        # The poller's, made by serve(); used by the leader of the moment.
        self._server: socket.socket
        self._selector: selectors.BaseSelector
        self._wake: tuple[socket.socket, socket.socket]  # rouses the leader
        self._listening = True
        self._resume_at = 0.0  # when to listen again after accept failed
        self._accept_failing = False
        self._spare: int | None = None  # a descriptor held back for when they run out
        self._poll_until = 0.0  # when the leader wakes at the latest
        self._leading = threading.Lock()  # held by the thread that polls
        self._threads: list[threading.Thread] = []
        self._followers = 0  # threads waiting to poll
        self._open: set[_Connection] = set()
        self._ready: list[tuple[_Connection, bytes]] = []  # whole calls for the next leader
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
    #
    # The service's threads take turns at the poller (leader and followers):
    # the leader accepts, reads every connection that is between calls, keeps
    # the deadlines and the slot and byte bounds, and when a whole call has
    # come, hands the poller to a follower and answers that call itself, so a
    # call costs no hand-over between threads. There is a thread for every
    # slot and one more, so a call never waits for a thread and someone
    # always polls. Bytes of calls in the making are held by a few threads at
    # most, which keeps the allocator's spare memory in few places.

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
                listener.listen(max(self.max_connections, _BACKLOG))
                listener.setblocking(False)
                wake = socket.socketpair()
            except OSError:
                listener.close()
                raise
            for end in wake:
                end.setblocking(False)
            self._listener = listener
            self._server = listener
            self._wake = wake
            self._stopping = False
            self._ready.clear()
            self._listening = True
            self._accept_failing = False
            self._keep_spare()
            self._selector = selectors.DefaultSelector()
            self._selector.register(listener, selectors.EVENT_READ)
            self._selector.register(wake[0], selectors.EVENT_READ)
            self._spawn()
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
        first; a call not yet whole is not waited for) and join every thread
        the service started. Safe to call when not serving."""
        with self._lock:
            listener, self._listener = self._listener, None
            if listener is None:
                return
            self._stopping = True
            # Connections with a call in progress: shutting them down ends
            # their sends. Their threads close them after leaving the table,
            # so none of these descriptors is a reused one.
            for conn in self._open:
                if conn.busy:
                    _shut(conn.sock)
        self._rouse()
        while True:
            with self._lock:
                threads, self._threads = self._threads, []
            if not threads:
                break
            for thread in threads:
                thread.join()
        # No thread is left: what is open now is the poller's.
        for conn in list(self._open):
            self._close(conn)
        self._ready.clear()
        self._selector.close()
        listener.close()
        for end in self._wake:
            end.close()
        if self._spare is not None:
            os.close(self._spare)
            self._spare = None

    def close(self) -> None:
        """Same as :meth:`stop`; the end of a ``with`` block calls it."""
        self.stop()

    def _rouse(self) -> None:
        """Wakes the leader from its wait in the selector."""
        try:
            self._wake[1].send(b"w")
        except OSError:
            pass  # full: a wake is pending anyway

    def _spawn(self) -> None:
        """Starts one more thread. Under the lock, or before any thread runs."""
        thread = threading.Thread(target=self._run, name="kivrel-service", daemon=True)
        self._threads.append(thread)
        self._followers += 1  # counted before it starts, so no second one is made for it
        thread.start()

    def _run(self) -> None:
        counted = True
        while True:
            if not counted:
                with self._lock:
                    self._followers += 1
            counted = False
            with self._leading:
                with self._lock:
                    self._followers -= 1
                try:
                    work = self._lead()
                except Exception:
                    log.exception("the service's poller failed; it answers no more")
                    with self._lock:
                        self._stopping = True
                    work = None
                if work is None:
                    self._rouse()  # the next thread in line ends too
                    return
                with self._lock:
                    if not self._followers and not self._stopping:
                        self._spawn()
            self._answer(*work)

    # -- the leader's side

    def _lead(self) -> tuple[_Connection, bytes] | None:
        """Polls until a whole call has come (returned, its connection marked
        busy) or the service stops (None)."""
        selector = self._selector
        listener = self._server
        wake = self._wake[0]
        while True:
            with self._lock:
                if self._stopping:
                    return None
                if self._ready:
                    return self._ready.pop(0)
                now = time.monotonic()
                wake_at = min(
                    (conn.deadline for conn in self._open if not conn.busy), default=now + _POLL_LONGEST
                )
                if not self._listening:
                    wake_at = min(wake_at, self._resume_at)
                self._poll_until = wake_at
            for key, _ in selector.select(max(0.0, wake_at - now)):
                if key.fileobj is listener:
                    if not self._accept(listener):
                        # Out of descriptors or memory: the listener stays
                        # readable, so leave it alone for a moment rather
                        # than spin on it.
                        selector.unregister(listener)
                        self._listening = False
                        self._resume_at = time.monotonic() + _ACCEPT_RETRY
                elif key.fileobj is wake:
                    try:
                        wake.recv(4096)
                    except OSError:
                        pass
                else:
                    try:
                        self._receive(key.data)
                    except Exception:
                        log.exception("reading a connection failed; it is closed")
                        self._close(key.data)
            now = time.monotonic()
            if not self._listening and now >= self._resume_at:
                selector.register(listener, selectors.EVENT_READ)
                self._listening = True
            with self._lock:
                late = [conn for conn in self._open if not conn.busy and conn.deadline <= now]
                self._timed_out += len(late)
            for conn in late:
                self._close(conn)

    def _accept(self, listener: socket.socket) -> bool:
        """Takes the connections waiting; False when accepting failed for want
        of descriptors or memory."""
        for _ in range(_ACCEPT_BURST):
            try:
                sock, _ = listener.accept()
                full = False
            except (BlockingIOError, InterruptedError, ConnectionAbortedError):
                return True
            except OSError as e:
                taken = None
                if e.errno in (errno.EMFILE, errno.ENFILE) and self._spare is not None:
                    # The spare descriptor lets one connection in, to take
                    # the slot of the one waiting longest, as when every
                    # slot is taken (or to be refused).
                    os.close(self._spare)
                    self._spare = None
                    try:
                        taken, _ = listener.accept()
                    except OSError:
                        pass
                if taken is None:
                    if not self._accept_failing:
                        log.warning("accepting failed (%s); trying again every %s s", e, _ACCEPT_RETRY)
                    self._accept_failing = True
                    self._keep_spare()
                    return False
                sock, full = taken, True
            self._accept_failing = False
            self._admit(sock, full)
            if full:
                self._keep_spare()
        return True

    def _keep_spare(self) -> None:
        if self._spare is None:
            try:
                self._spare = os.open(os.devnull, os.O_RDONLY)
            except OSError:
                pass

    def _admit(self, sock: socket.socket, full: bool) -> None:
        """Gives ``sock`` a slot (``full``: as if all were taken) or refuses it."""
        with self._lock:
            self._accepted += 1
            victim = None
            if full or len(self._open) >= self.max_connections:
                victim = self._longest_waiting(None, holding=False)
                if victim is None:
                    self._refused += 1
                    sock.close()
                    return
                self._evicted += 1
                self._release(victim)
            now = time.monotonic()
            conn = _Connection(sock, MessageReader(max_message_bytes=self.max_message_bytes), now)
            conn.deadline = now + self.idle_timeout
            self._open.add(conn)
        if victim is not None:
            self._close(victim)
        try:
            sock.setblocking(False)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._selector.register(sock, selectors.EVENT_READ, conn)
        except (OSError, ValueError):
            self._close(conn)

    def _receive(self, conn: _Connection) -> None:
        if conn.closed:
            return  # evicted by an event handled before this one
        try:
            data = conn.sock.recv(_RECEIVE_CHUNK)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            self._close(conn)
            return
        victims = []
        with self._lock:
            while self._buffered + len(data) > self.max_buffered_bytes:
                victim = self._longest_waiting(conn, holding=True)
                if victim is None:
                    break
                self._release(victim)
                victims.append(victim)
            fits = self._buffered + len(data) <= self.max_buffered_bytes
            if fits:
                self._buffered += len(data)
                conn.buffered += len(data)
            self._evicted += len(victims) + (not fits)
        for victim in victims:
            self._close(victim)
        if not fits:
            self._close(conn)
            return
        if not conn.reader.in_message:
            conn.deadline = time.monotonic() + self.message_timeout
        conn.reader.feed(data)
        self._dispatch(conn)

    def _dispatch(self, conn: _Connection) -> None:
        """Queues a whole call, if one has come, for the leader to take."""
        try:
            body = conn.reader.get_message()
        except ProtocolError as e:
            log.debug("connection closed: %s", e)
            self._close(conn)
            return
        if body is None:
            return
        self._selector.unregister(conn.sock)
        with self._lock:
            conn.busy = True
            self._ready.append((conn, body))

    # -- shared, under the lock

    def _longest_waiting(self, spare: _Connection | None, *, holding: bool) -> _Connection | None:
        """The open connection without a call in progress that has waited
        longest (other than ``spare``; with ``holding``, one holding bytes).
        Under the lock."""
        best = None
        for conn in self._open:
            if conn.busy or conn is spare or (holding and not conn.buffered):
                continue
            if best is None or conn.since < best.since:
                best = conn
        return best

    def _release(self, conn: _Connection) -> None:
        """Takes ``conn`` out of the table and its bytes off the count. Under
        the lock; the socket is closed by its owner with :meth:`_close`."""
        conn.closed = True
        self._open.discard(conn)
        self._buffered -= conn.buffered
        conn.buffered = 0

    def _close(self, conn: _Connection) -> None:
        """Closes a connection its caller owns (the poller one between calls,
        a pool thread one with a call in progress)."""
        with self._lock:
            self._release(conn)
        if not conn.busy:
            try:
                self._selector.unregister(conn.sock)
            except (KeyError, ValueError):
                pass
        conn.sock.close()

    # -- a pool thread's side

    def _answer(self, conn: _Connection, body: bytes | None) -> None:
        """Answers the call, and any whole one that came with it, then hands
        the connection back to the poller."""
        answered = 0.0
        try:
            while body is not None:
                method, args = decode_call(body)
                del body
                try:
                    result = self.handle(method, args)
                    response = frame(encode_response(result))
                except Exception:
                    log.exception("method %s failed; the call is dropped and its connection closed", method)
                    self._close(conn)
                    return
                # The wait starts before the answer goes out, so that a
                # connection answered earlier never counts as waiting less.
                answered = time.monotonic()
                send_message(conn.sock, response, answered + self.message_timeout)
                body = conn.reader.get_message()
        except Timeout as e:
            with self._lock:
                self._timed_out += 1
            log.debug("connection closed: %s", e)
            self._close(conn)
            return
        except (CallError, OSError) as e:
            log.debug("connection closed: %s", e)
            self._close(conn)
            return
        except Exception:
            log.exception("answering a call failed; its connection is closed")
            self._close(conn)
            return
        with self._lock:
            back = False
            if not self._stopping:
                conn.since = answered
                more = conn.reader.in_message
                conn.deadline = conn.since + (self.message_timeout if more else self.idle_timeout)
                if not more:
                    self._buffered -= conn.buffered
                    conn.buffered = 0
                # Back in the selector under the lock, so that no eviction
                # closes the socket meanwhile; the leader is roused only when
                # this deadline comes before its own.
                try:
                    conn.sock.setblocking(False)
                    self._selector.register(conn.sock, selectors.EVENT_READ, conn)
                    conn.busy = False
                    back = True
                except (OSError, ValueError):
                    pass
            rouse = back and conn.deadline < self._poll_until
        if not back:
            self._close(conn)
        elif rouse:
            self._rouse()


class _Connection:
    """A connection's place in the slot table. ``busy``, ``since``,
    ``buffered`` and ``closed`` change under the service's lock."""

    __slots__ = ("sock", "reader", "since", "deadline", "busy", "buffered", "closed")

    def __init__(self, sock: socket.socket, reader: MessageReader, since: float) -> None:
        self.sock = sock
        self.reader = reader
        self.since = since  # accept or last response: the start of its wait
        self.deadline = 0.0  # for the first byte of a call, or for the rest of it
        self.busy = False  # a whole call is being answered
        self.buffered = 0  # bytes counted against the service's bound
        self.closed = False


def _shut(sock: socket.socket) -> None:
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
