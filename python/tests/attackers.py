"""Hostile clients of a service, and a well-behaved one to measure beside them;
shared by the service tests and the service bench. Loopback only; every loop is
bounded in time."""

from __future__ import annotations

import select
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import kivrel
from kivrel.wire import encode_call, frame

LOOPBACK = "127.0.0.1"
LONGEST = 300.0  # s: no attack outlives this, whatever its caller does
_CALL = frame(encode_call("Add", [1, 2]))


class Attack(threading.Thread):
    """``count`` connections to ``port`` on one thread, until :meth:`stop`.

    ``kind`` is "silent" (connect and say nothing), "reconnecting" (silent,
    and reconnect at once when closed), "keep_alive" (one valid call every
    ``period`` s on each connection, reconnecting when closed) or "large"
    (announce ``announce`` bytes and send ``send`` of them, once)."""

    def __init__(
        self, port: int, kind: str, count: int = 64, *, period: float = 5.0, announce: int = 0, send: int = 0
    ) -> None:
        super().__init__(daemon=True)
        self.port, self.kind, self.count, self.period = port, kind, count, period
        # Spaces, not NULs: a reader refuses a body with a NUL as soon as it comes.
        self.payload = memoryview(f"KIVREL-1.1:{announce}\n".encode() + b" " * send)
        self.reconnect = kind in ("reconnecting", "keep_alive")
        self.connects = 0
        self.closed_by_peer = 0
        self._ending = threading.Event()
        self._opened = threading.Event()

    def __enter__(self) -> Attack:
        self.start()
        self._opened.wait(30)
        return self

    def __exit__(self, *_exc: object) -> None:
        self.stop()

    def stop(self) -> None:
        self._ending.set()
        self.join(30)

    def _open(self, due: float) -> tuple[socket.socket, list[object]] | None:
        try:
            sock = socket.create_connection((LOOPBACK, self.port), timeout=5)
        except OSError:
            return None
        sock.setblocking(False)
        self.connects += 1
        # [next call due, bytes still to send]
        return sock, [due, self.payload if self.kind == "large" else memoryview(b"")]

    def run(self) -> None:
        end = time.monotonic() + LONGEST
        conns: dict[socket.socket, list[object]] = {}
        for i in range(self.count):
            opened = self._open(time.monotonic() + self.period * i / self.count)
            if opened:
                conns[opened[0]] = opened[1]
        self._opened.set()
        lost = 0
        while not self._ending.is_set() and time.monotonic() < end:
            now = time.monotonic()
            if self.kind == "keep_alive":
                for state in conns.values():
                    if now >= state[0]:  # type: ignore[operator]
                        state[0] = now + self.period
                        state[1] = memoryview(bytes(state[1]) + _CALL)  # type: ignore[arg-type]
            writing = [s for s, state in conns.items() if state[1]]
            try:
                readable, writable, _ = select.select(list(conns), writing, [], 0.02)
            except (OSError, ValueError):
                break
            for sock in writable:
                try:
                    sent = sock.send(conns[sock][1])  # type: ignore[arg-type]
                    conns[sock][1] = conns[sock][1][sent:]  # type: ignore[index]
                except BlockingIOError:
                    pass
                except OSError:
                    readable.append(sock)  # its read ends it below
            for sock in set(readable):
                if sock not in conns:
                    continue
                try:
                    if sock.recv(65536):
                        continue  # an answer: not needed
                except BlockingIOError:
                    continue
                except OSError:
                    pass
                self.closed_by_peer += 1
                del conns[sock]
                sock.close()
                lost += 1
            while self.reconnect and lost and not self._ending.is_set():
                opened = self._open(time.monotonic())
                if opened is None:
                    break
                conns[opened[0]] = opened[1]
                lost -= 1
            lost = 0
        for sock in conns:
            sock.close()


def answered_share(port: int, calls: int, period: float = 0.1, timeout: float = 2.0) -> float:
    """Calls ``Add(1, 2)`` ``calls`` times, ``period`` s apart, each on a
    connection of its own; returns the share answered correctly."""
    client = kivrel.Client(LOOPBACK, port, timeout=timeout)
    answered = 0
    next_call = time.monotonic()
    for _ in range(calls):
        try:
            answered += client.call("Add", 1, 2) == [3]
        except kivrel.CallError:
            pass
        next_call += period
        time.sleep(max(0.0, next_call - time.monotonic()))
    return answered / calls


def start_child_service(script: str, package: str) -> tuple[subprocess.Popen[str], int]:
    """Runs ``script`` in a Python process of its own, with ``package`` (the
    directory holding kivrel) as its argument; the script prints its port and
    serves until its standard input closes. Returns the process and the port."""
    child = subprocess.Popen(
        [sys.executable, "-c", script, package], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout is not None
        return child, int(child.stdout.readline())
    except BaseException:
        child.kill()
        child.wait(10)
        raise


def peak_bytes(pid: int) -> int:
    """The process's peak resident memory (VmHWM), in bytes."""
    status = Path(f"/proc/{pid}/status").read_text()
    return int(status.split("VmHWM:")[1].split()[0]) * 1024
