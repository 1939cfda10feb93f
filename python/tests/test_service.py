"""The Python service: answers, introspection, and the protections a service
facing the network needs (idle close, message deadline, size and depth
bounds, connection limit, a raising method), over real loopback sockets."""

from __future__ import annotations

import threading
import time

import pytest
from conftest import LOOPBACK, closed_without_answer, connect

import kivrel
from kivrel.wire import decode_response, encode_call, frame

LIMIT = 0.5
MARGIN = 5.0


def make_service(**limits: float) -> kivrel.Service:
    service = kivrel.Service(**limits)  # type: ignore[arg-type]

    @service.method(args="[{i}{i}]", result="[{i}]", help="Adds two integers.")
    def Add(a: int, b: int) -> list[int]:
        return [a + b]

    @service.method(args="?", result="?")
    def Echo(*values: object) -> list[object] | None:
        """Returns its arguments."""
        return list(values) or None

    @service.method()
    def Fail() -> None:
        raise RuntimeError("deliberate")

    @service.method(result="[{i}]")
    def Wrong() -> list[object]:
        return ["not an int"]

    return service


def ask(port: int, method: str, *args: object) -> object:
    return kivrel.Client(LOOPBACK, port, timeout=5).call(method, *args)


def test_answers_calls_and_describes_itself():
    with make_service().serve() as service:
        port = service.port
        assert ask(port, "Add", 2, 40) == [42]
        assert ask(port, "Echo", 1, "é<&>", [2, ["x"]]) == [1, "é<&>", [2, ["x"]]]
        # Wrongly shaped arguments and unknown names: answered without result.
        assert ask(port, "Add", 1) is None
        assert ask(port, "Add", "1", 2) is None
        assert ask(port, "Nope") is None
        assert ask(port, "KIVREL_LIST_METHODS") == [
            "Add",
            "Echo",
            "Fail",
            "Wrong",
            "KIVREL_LIST_METHODS",
            "KIVREL_METHOD_SIGNATURE",
            "KIVREL_METHOD_HELP",
        ]
        assert ask(port, "KIVREL_METHOD_SIGNATURE", "Add") == [["int"], ["int", "int"]]
        assert ask(port, "KIVREL_METHOD_SIGNATURE", "Fail") == ["none", "none"]
        assert ask(port, "KIVREL_METHOD_SIGNATURE", "KIVREL_LIST_METHODS") == ["undef", "none"]
        assert ask(port, "KIVREL_METHOD_HELP", "Echo") == ["Returns its arguments."]
        assert ask(port, "KIVREL_METHOD_HELP", "KIVREL_METHOD_HELP") == [
            "This method returns the help string of a method."
        ]
        assert ask(port, "KIVREL_METHOD_HELP", "kivrel_method_help") is None

        proxy = kivrel.ServiceProxy(LOOPBACK, port)
        assert proxy.Add(1, 2) == [3]
        assert {"Add", "Echo", "KIVREL_METHOD_HELP"} <= set(dir(proxy))
        assert proxy.describe("Add") == kivrel.MethodDescription(
            "Add", "[{i}{i}]", "[{i}]", "Adds two integers."
        )
        with pytest.raises(ValueError):
            proxy.Add(1)  # refused before sending
        with pytest.raises(TypeError):
            proxy.Fail(1)
        with pytest.raises(AttributeError):
            proxy.Missing

    with pytest.raises(ValueError):
        kivrel.Service().add_method("KIVREL_LIST_METHODS", lambda: None)
    with pytest.raises(ValueError):
        kivrel.Service().add_method("A", lambda: None, args="[{x}]")


def test_a_failing_method_closes_its_connection_without_an_answer():
    with make_service().serve() as service:
        for method in ("Fail", "Wrong"):
            with connect(service.port) as sock:
                sock.sendall(frame(encode_call(method, None)))
                closed, got, _ = closed_without_answer(sock, 5)
                assert closed and got == b""
            with pytest.raises(kivrel.ProtocolError, match="without answering"):
                ask(service.port, method)
        assert ask(service.port, "Add", 1, 1) == [2]  # others are still served


def test_one_connection_carries_calls_in_order():
    with make_service().serve() as service, connect(service.port) as sock:
        # Both calls at once: the second waits for the first's answer.
        sock.sendall(frame(encode_call("Add", [1, 2])) + frame(encode_call("Echo", ["b"])))
        reader = kivrel.MessageReader()
        answers = []
        sock.settimeout(5)
        while len(answers) < 2:
            reader.feed(sock.recv(4096))
            while (body := reader.get_message()) is not None:
                answers.append(decode_response(body))
        assert answers == [[3], ["b"]]


def test_hostile_and_slow_peers_are_cut_off():
    doctype = (
        b'<!DOCTYPE method_call [<!ENTITY x "y">]><method_call><method_name>Echo</method_name></method_call>'
    )
    entity = (
        b"<method_call><method_name>Echo</method_name><method_datalist_arg><datalist><data><string>&x;"
        b"</string></data></datalist></method_datalist_arg></method_call>"
    )
    deep = b"<method_call><method_name>Echo</method_name>" + b"<a>" * 300 + b"</a>" * 300 + b"</method_call>"
    # Deadlines far away: only the refusal itself can close these.
    with make_service(idle_timeout=60, message_timeout=60, max_message_bytes=1 << 20).serve() as service:
        for data in (
            frame(doctype),
            frame(entity),
            frame(deep),
            b"KIVREL-1.1:1048577\n",
            b"KIVREL-1.0:5\nhello",
            b"x" * 2000,
        ):
            with connect(service.port) as sock:
                sock.sendall(data)
                closed, got, waited = closed_without_answer(sock, MARGIN)
                assert closed and got == b"", data[:40]

    with make_service(idle_timeout=LIMIT, message_timeout=LIMIT).serve() as service:
        # Silent: closed after the idle time. Trickling: closed at the
        # message deadline although every byte comes in time.
        with connect(service.port) as sock:
            closed, got, waited = closed_without_answer(sock, LIMIT + MARGIN)
            assert closed and got == b"" and waited < LIMIT + MARGIN
        with connect(service.port) as sock:
            message = frame(encode_call("Add", [1, 2]))
            start = time.monotonic()
            closed = False
            for byte in message:
                try:
                    sock.sendall(bytes([byte]))
                except OSError:
                    closed = True
                    break
                time.sleep(LIMIT / 10)
            if not closed:
                closed, got, _ = closed_without_answer(sock, MARGIN)
                assert got == b""
            assert closed and time.monotonic() - start < len(message) * LIMIT / 10
        assert ask(service.port, "Add", 1, 1) == [2]


def test_connection_limit_and_stop_release_everything():
    # Threads of earlier tests may still be ending: compare sets, not counts.
    threads_before = set(threading.enumerate())
    service = make_service(max_connections=3).serve()
    port = service.port
    held = [connect(port) for _ in range(3)]
    try:
        # Each held connection is being served: a call on it is answered.
        for sock in held:
            sock.sendall(frame(encode_call("Add", [1, 1])))
            reader = kivrel.MessageReader()
            sock.settimeout(5)
            while (body := reader.get_message()) is None:
                reader.feed(sock.recv(4096))
            assert decode_response(body) == [2]
        assert service.connection_count == 3
        with connect(port) as extra:
            closed, got, _ = closed_without_answer(extra, MARGIN)
            assert closed and got == b""
    finally:
        service.stop()
        for sock in held:
            sock.close()
    assert set(threading.enumerate()) - threads_before == set()
    assert service.connection_count == 0
    with pytest.raises(kivrel.ConnectError):
        kivrel.Client(LOOPBACK, port).call("Add", 1, 1)
    with pytest.raises(ValueError):
        kivrel.Service().serve(address="0x7f.0.0.1")
