"""The client against scripted peers: deadlines for whole messages, hostile
responses refused, bad addresses refused, kept connections."""

from __future__ import annotations

import socket
import threading
import time

import pytest
from conftest import LOOPBACK, Peer

import kivrel
from kivrel.wire import encode_response, frame

DEADLINE = 0.5
MARGIN = 5.0  # generous: a loaded machine may be slow, never early


def answer_with(data: bytes, *, close: bool = True):
    def script(conn: socket.socket, peer: Peer) -> None:
        peer.read_message(conn)
        conn.sendall(data)
        if not close:
            time.sleep(3 * DEADLINE + 1)

    return script


def test_deadline_covers_the_whole_message(peer):
    def silent(conn: socket.socket, p: Peer) -> None:
        p.read_message(conn)
        time.sleep(DEADLINE + 2)

    def trickling(conn: socket.socket, p: Peer) -> None:
        # Every byte arrives well within the deadline, the message never does.
        p.read_message(conn)
        for byte in frame(encode_response([1])):
            conn.sendall(bytes([byte]))
            time.sleep(DEADLINE / 5)

    for script in (silent, trickling):
        p = peer(script)
        client = kivrel.Client(LOOPBACK, p.port, timeout=DEADLINE)
        start = time.monotonic()
        with pytest.raises(kivrel.Timeout):
            client.call("ReadPosition")
        assert time.monotonic() - start < 2 * DEADLINE + MARGIN
        assert p.received.startswith(b"KIVREL-1.1:")


def test_hostile_or_broken_responses_are_refused(peer):
    doctype = b'<!DOCTYPE method_response [<!ENTITY x "y">]><method_response/>'
    entity = (
        b"<method_response><method_datalist_ret><datalist><data><string>&x;</string></data>"
        b"</datalist></method_datalist_ret></method_response>"
    )
    deep = b"<method_response>" + b"<a>" * 300 + b"</a>" * 300 + b"</method_response>"
    cases = [
        frame(doctype),
        frame(entity),
        frame(deep),
        b"KIVREL-1.1:16777217\n",  # the body is never read
        b"KIVREL-1.0:84\n" + encode_response(None),
        b"KIVREL-1.1:84\n" + encode_response(None)[:40],  # closed mid-body
        b"",  # closed without a word
        frame(b"<method_call><method_name>X</method_name></method_call>"),
    ]
    for data in cases:
        p = peer(answer_with(data))
        with pytest.raises(kivrel.ProtocolError):
            kivrel.Client(LOOPBACK, p.port, timeout=2).call("A", 1)

    # A limit of the client's own.
    p = peer(answer_with(frame(encode_response(["x" * 2000]))))
    with pytest.raises(kivrel.ProtocolError, match="limit"):
        kivrel.Client(LOOPBACK, p.port, max_message_bytes=1000).call("A")


def test_results_and_no_result(peer):
    p = peer(answer_with(frame(encode_response([[1, "é"], -5]))))
    assert kivrel.Client(LOOPBACK, p.port).call("A") == [[1, "é"], -5]
    p = peer(answer_with(frame(encode_response(None))))
    assert kivrel.Client(LOOPBACK, p.port).call("A") is None


def test_bad_addresses_ports_and_arguments_send_nothing(peer):
    for address in (
        "",
        "robot",
        "300.1.1.1",
        "127.1",
        "127.000.000.001",
        "0x7f.0.0.1",
        "127.0.0.1 ",
        "127.0.1",
        None,
    ):
        with pytest.raises(ValueError):
            kivrel.Client(address, 50010)  # type: ignore[arg-type]
    for port in (0, 65536, -1, "50010", 1.5):
        with pytest.raises(ValueError):
            kivrel.Client(LOOPBACK, port)  # type: ignore[arg-type]

    def expect_nothing(conn: socket.socket, p: Peer) -> None:
        conn.settimeout(3)
        try:
            while data := conn.recv(100):
                p.received += data
        except socket.timeout:
            pass

    p = peer(expect_nothing)
    with kivrel.Client(LOOPBACK, p.port, keep_alive=True) as client:
        for args in ([2**31], ["\x00"], [[]], [1.0], ["\udc80"], ["x" * (16 * 1024 * 1024)]):
            with pytest.raises((TypeError, ValueError)):
                client.call("A", *args)
    p.close()
    assert p.received == b""

    # Nobody listens on a port just released.
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        free = s.getsockname()[1]
    with pytest.raises(kivrel.ConnectError):
        kivrel.Client(LOOPBACK, free).call("A")


def test_kept_connection_carries_calls_and_is_made_again_when_closed(peer):
    def two_then_close(conn: socket.socket, p: Peer) -> None:
        for n in (1, 2):
            p.read_message(conn)
            conn.sendall(frame(encode_response([n])))

    def one(conn: socket.socket, p: Peer) -> None:
        p.read_message(conn)
        conn.sendall(frame(encode_response([3])))

    # One listener, two connections in turn.
    listener = socket.socket()
    listener.bind((LOOPBACK, 0))
    listener.listen(2)
    port = listener.getsockname()[1]
    first_closed = threading.Event()

    def serve() -> None:
        listener.settimeout(10)
        for script in (two_then_close, one):
            conn, _ = listener.accept()
            with conn:
                script(conn, _Recorder())
            first_closed.set()

    t = threading.Thread(target=serve)
    t.start()
    with kivrel.Client(LOOPBACK, port, keep_alive=True) as client:
        assert client.call("A") == [1]
        assert client.call("A") == [2]
        assert first_closed.wait(10)
        assert client.call("A") == [3]
    t.join(timeout=20)
    listener.close()
    assert not t.is_alive()


class _Recorder(Peer):
    """A Peer's reading half without a listener of its own."""

    def __init__(self) -> None:  # no listener
        self.received = bytearray()
