"""Shared parts for the package's tests: the programs built with the project
(found through KIVREL_BUILD_DIR), a simulator on ports of its own, a C service,
and scripted peers that misbehave on purpose. Everything talks to 127.0.0.1."""

from __future__ import annotations

import os
import random
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(PYTHON_DIR))

from kivrel.values import ValueList  # noqa: E402

BUILD_DIR = Path(os.environ.get("KIVREL_BUILD_DIR", PYTHON_DIR.parent / "build"))
LOOPBACK = "127.0.0.1"


def program(relative: str) -> Path:
    """A program of the build; fails the test (never skips) when it is missing."""
    path = BUILD_DIR / relative
    if not path.is_file():
        pytest.fail(f"{path} is missing: build the project and set KIVREL_BUILD_DIR")
    return path


# ---- the C side's bytes


def list_tokens(values: ValueList | None) -> str:
    """A list in wire_dump's input form."""
    if values is None:
        return "none"
    parts = ["["]
    for v in values:
        if isinstance(v, int):
            parts.append(f"i:{v}")
        elif isinstance(v, str):
            parts.append("s:" + v.encode("utf-8", "surrogatepass").hex())
        else:
            parts.append(list_tokens(v))
    parts.append("]")
    return " ".join(parts)


def parse_tokens(text: str) -> tuple[ValueList | None, str]:
    """A list from wire_dump's output form, and the text after it."""
    text = text.lstrip(" ")
    if text.startswith("none"):
        return None, text[4:]
    assert text.startswith("["), text
    text = text[1:]
    values: ValueList = []
    while True:
        text = text.lstrip(" ")
        if text.startswith("]"):
            return values, text[1:]
        if text.startswith("["):
            nested, text = parse_tokens(text)
            assert nested is not None
            values.append(nested)
            continue
        token, _, text = text.partition(" ")
        text = " " + text
        if token.startswith("i:"):
            values.append(int(token[2:]))
        elif token.startswith("s:"):
            values.append(bytes.fromhex(token[2:]).decode("utf-8"))
        else:
            values.append(token)  # "untyped" and the like: never equal to a Python value


@pytest.fixture(scope="session")
def c_wire() -> Callable[[list[str]], list[str]]:
    """Runs wire_dump on a batch of request lines and returns its answer lines."""
    exe = program("tests/wire_dump")

    def run(requests: list[str]) -> list[str]:
        out = subprocess.run(
            [str(exe)],
            input="\n".join(requests) + "\n",
            capture_output=True,
            text=True,
            timeout=60,
            check=True,
        )
        lines = out.stdout.splitlines()
        assert len(lines) == len(requests)
        return lines

    return run


# ---- processes


def _stop(proc: subprocess.Popen[str]) -> None:
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


def _ports_free(ports: list[int]) -> bool:
    for port in ports:
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
            except OSError:
                return False
    return True


SIM_OFFSETS = (0, 1, 2, 7, 12)


def start_simulator() -> tuple[subprocess.Popen[str], int]:
    """A robot-sim on a port base of its own, below the ephemeral range (so no
    client socket can hold one of its ports); tries a few bases."""
    exe = program("tools/robot-sim/robot-sim")
    rng = random.Random()
    for _ in range(8):
        base = rng.randrange(20000, 30000, 20)
        if not _ports_free([base + o for o in SIM_OFFSETS]):
            continue
        proc = subprocess.Popen(
            [str(exe), "--no-terminal", "--port-base", str(base)],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
        )
        assert proc.stdout is not None
        line = proc.stdout.readline()
        if "serving" in line:
            return proc, base
        _stop(proc)
    pytest.fail("no port base found for the simulator")


@pytest.fixture(scope="module")
def simulator() -> Iterator[int]:
    """A running simulator, for a module's tests; yields its port base."""
    proc, base = start_simulator()
    try:
        yield base
    finally:
        _stop(proc)


@pytest.fixture
def fresh_simulator() -> Iterator[int]:
    """A simulator of the test's own (its robot at the start pose)."""
    proc, base = start_simulator()
    try:
        yield base
    finally:
        _stop(proc)


@pytest.fixture(scope="module")
def c_service() -> Iterator[int]:
    """The C echo service (Add, Echo, Quiet, introspection); yields its port."""
    exe = program("tests/c_echo_service")
    proc = subprocess.Popen([str(exe)], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout is not None
        line = proc.stdout.readline()
        assert line.startswith("port "), line
        yield int(line.split()[1])
    finally:
        _stop(proc)


# ---- scripted peers


class Peer:
    """A loopback listener that serves one connection with a script: a
    function given the accepted socket. What the peer received is kept."""

    def __init__(self, script: Callable[[socket.socket, "Peer"], None]) -> None:
        self.listener = socket.socket()
        self.listener.bind((LOOPBACK, 0))
        self.listener.listen(8)
        self.listener.settimeout(20)
        self.port: int = self.listener.getsockname()[1]
        self.received = bytearray()
        self.script = script
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            try:
                self.script(conn, self)
            except OSError:
                pass

    def read_message(self, conn: socket.socket, timeout: float = 5) -> bytes:
        """Read one framed message from the client and keep its bytes."""
        conn.settimeout(timeout)
        data = bytearray()
        while b"\n" not in data:
            chunk = conn.recv(4096)
            if not chunk:
                break
            data += chunk
        line, _, rest = bytes(data).partition(b"\n")
        need = int(line.split(b":")[1])
        body = bytearray(rest)
        while len(body) < need:
            chunk = conn.recv(4096)
            if not chunk:
                break
            body += chunk
        self.received += line + b"\n" + body
        return bytes(body)

    def close(self) -> None:
        """Stop listening and wait for the script (bounded)."""
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes a waiting accept()
        except OSError:
            pass
        self.listener.close()
        self.thread.join(timeout=30)


@pytest.fixture
def peer() -> Iterator[Callable[[Callable[[socket.socket, Peer], None]], Peer]]:
    """Factory of scripted peers, closed at the end of the test."""
    made: list[Peer] = []

    def make(script: Callable[[socket.socket, Peer], None]) -> Peer:
        p = Peer(script)
        made.append(p)
        return p

    yield make
    for p in made:
        p.close()


def connect(port: int, timeout: float = 5) -> socket.socket:
    """A raw loopback connection, for scripted clients."""
    s = socket.create_connection((LOOPBACK, port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def closed_without_answer(sock: socket.socket, timeout: float) -> tuple[bool, bytes, float]:
    """Wait for the peer to close; returns (closed, bytes received, seconds waited)."""
    start = time.monotonic()
    got = bytearray()
    sock.settimeout(timeout)
    try:
        while True:
            chunk = sock.recv(4096)
            if not chunk:
                return True, bytes(got), time.monotonic() - start
            got += chunk
    except socket.timeout:
        return False, bytes(got), time.monotonic() - start
    except ConnectionResetError:
        return True, bytes(got), time.monotonic() - start
