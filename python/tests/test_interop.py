"""Both implementations together: the Python client against the simulator and
a service on the C library's server half, and kivrel-call against a Python
service."""

from __future__ import annotations

import contextlib
import os
import signal
import subprocess
import threading
import time

import pytest
from conftest import BUILD_DIR, LOOPBACK, closed_without_answer, connect, program
from test_wire import CALLS

import kivrel
from kivrel.robot import DRIVE_HOLD, Position, PowerModule, Robot
from kivrel.wire import frame


def test_robot_operations_against_the_simulator(simulator):
    with Robot(LOOPBACK, port_base=simulator) as robot:
        robot.servo_on()
        robot.set_position(1200, -300, 45)
        assert robot.position() == (1200, -300, 45)
        robot.set_position(10, 20)
        assert robot.position() == (10, 20, 45)
        robot.set_position(0, 0, 0)
        left, right = robot.encoders()
        assert isinstance(left, int) and isinstance(right, int)
        robot.drive(100, 100)
        robot.stop()
        robot.set_bumper_off_mode()
        robot.set_bumper_dir_mode()
        assert robot.bumpers() == (0, 0)
        assert robot.emergency_key() is False
        ranges = robot.ranges()
        assert len(ranges.sensors) == 7 and all(0 <= r <= 400 for r in ranges.sensors)
        status = robot.power_status()
        assert 22000 < status.battery_mv < 26000 and status.sensor == 0
        robot.power_down(PowerModule.SENSOR)
        assert robot.power_status().sensor == 1
        with pytest.raises(kivrel.NoResult):
            robot.ranges()  # no readings while the sensors are down
        robot.power_up(PowerModule.SENSOR)
        assert robot.power_status().sensor == 0

    proxy = kivrel.ServiceProxy(LOOPBACK, simulator)
    assert {"ReadPosition", "VelocityControl", "KIVREL_METHOD_HELP"} <= set(proxy.methods())
    assert "ReadPosition" in dir(proxy)
    assert proxy.describe("ReadPosition").result == "[{i}{i}{i}]"
    assert proxy.describe("VelocityControl").args == "[{i}{i}]"
    assert proxy.ReadPosition() == [0, 0, 0]
    assert proxy.VelocityControl(0, 0) is None
    with pytest.raises(TypeError):
        proxy.ReadPosition(1)


def standstill(robot: Robot) -> Position:
    """The position once the robot has stopped moving."""
    last = robot.position()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        time.sleep(0.1)
        now = robot.position()
        if now == last:
            return now
        last = now
    pytest.fail("the robot did not come to a standstill")


def test_drive_for_keeps_driving_and_always_stops(fresh_simulator):
    speed = 200  # mm/s
    # Left to the controller's 500 ms rule, the wheels would run on for this.
    run_on = speed * DRIVE_HOLD

    def alarm(_signum: int, _frame: object) -> None:
        raise RuntimeError("deliberate")

    previous = signal.signal(signal.SIGALRM, alarm)
    try:
        with Robot(LOOPBACK, port_base=fresh_simulator) as robot:
            # (interruption, drive time): none, Ctrl-C, an exception.
            for interruption, seconds in ((None, 1.0), (KeyboardInterrupt, 10.0), (RuntimeError, 10.0)):
                robot.set_position(0, 0, 0)
                start = standstill(robot).x
                if interruption is KeyboardInterrupt:
                    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
                elif interruption is RuntimeError:
                    signal.setitimer(signal.ITIMER_REAL, 0.5)
                with pytest.raises(interruption) if interruption else contextlib.nullcontext():
                    robot.drive_for(seconds, speed, speed)
                ended = robot.position().x
                final = standstill(robot).x
                assert final - ended < run_on / 2, interruption  # stopped at once
                if interruption is None:
                    # Repeated, not a single command's half second.
                    assert abs(final - start - speed * seconds) < run_on / 2
                else:
                    assert final - start < speed * seconds / 2
            with pytest.raises(ValueError):
                robot.drive_for(float("nan"), 1, 1)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_values_travel_through_a_c_service_unchanged(c_service):
    sendable = [args for _, args in CALLS[:13] if args]
    with kivrel.Client(LOOPBACK, c_service, keep_alive=True, timeout=5) as kept:
        for args in sendable:
            assert kept.call("Echo", *args) == args
            assert kivrel.Client(LOOPBACK, c_service, timeout=5).call("Echo", *args) == args
        assert kept.call("Add", 2**31 - 1, 1) == [-(2**31)]
        assert kept.call("Add", 1) is None
        assert kept.call("Quiet") is None
        assert kept.call("Unknown") is None

    proxy = kivrel.ServiceProxy(LOOPBACK, c_service)
    assert proxy.methods() == [
        "Add",
        "Echo",
        "Quiet",
        "KIVREL_LIST_METHODS",
        "KIVREL_METHOD_SIGNATURE",
        "KIVREL_METHOD_HELP",
    ]
    assert proxy.describe("Add") == kivrel.MethodDescription("Add", "[{i}{i}]", "[{i}]", "Adds two integers.")
    assert proxy.describe("Echo").args == "?"
    assert proxy.describe("KIVREL_METHOD_SIGNATURE") == kivrel.MethodDescription(
        "KIVREL_METHOD_SIGNATURE", "[{s}]", "?", "This method returns the signatures of a method."
    )
    assert proxy.Add(20, 22) == [42]
    with pytest.raises(ValueError):
        proxy.Add(1, 2, 3)


def test_kivrel_call_against_a_python_service():
    service = kivrel.Service()

    @service.method(args="[{i}{i}]", result="[{i}]", help="Adds two integers.")
    def Add(a: int, b: int) -> list[int]:
        return [a + b]

    @service.method(args="[{s}{[{i}{s}]}]", result="[{s}{[{i}{s}]}]", help="Returns its arguments.")
    def Mirror(text: str, pair: list[object]) -> list[object]:
        return [text, pair]

    @service.method()
    def Fail() -> None:
        raise RuntimeError("deliberate")

    @service.method()
    def Quiet() -> None:
        return None

    tool = str(program("tools/kivrel-call/kivrel-call"))

    def run(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [tool, LOOPBACK, str(service.port), *args], capture_output=True, text=True, timeout=30
        )

    with service.serve():
        listed = run("--list")
        assert listed.returncode == 0
        assert listed.stdout.split() == [
            "Add",
            "Mirror",
            "Fail",
            "Quiet",
            "KIVREL_LIST_METHODS",
            "KIVREL_METHOD_SIGNATURE",
            "KIVREL_METHOD_HELP",
        ]
        described = run("--describe", "Mirror")
        assert described.returncode == 0
        assert described.stdout.splitlines() == [
            "Mirror",
            "  arguments: [{s}{[{i}{s}]}]",
            "  result:    [{s}{[{i}{s}]}]",
            "  help:      Returns its arguments.",
        ]
        added = run("Add", "[{i}{i}]", "2147483647", "-7")
        assert (added.returncode, added.stdout) == (0, "int 2147483640\n")
        mirrored = run("Mirror", "[{s}{[{i}{s}]}]", "é <&>", "-5", "")
        assert mirrored.returncode == 0
        assert mirrored.stdout.splitlines() == ['string "é <&>"', "datalist (2)", "  int -5", '  string ""']
        quiet = run("Quiet")
        assert (quiet.returncode, quiet.stdout) == (0, "(no result)\n")
        # A method that raises gets no answer at all: the tool's status for
        # a connection closed without a response.
        failed = run("Fail")
        assert failed.returncode == 6 and failed.stdout == ""


def test_python_client_against_the_c_host():
    exe = BUILD_DIR / "examples" / "add_service"
    if not exe.is_file():
        pytest.skip(f"{exe} is not built in this tree (the C service host's example)")
    proc = subprocess.Popen([str(exe), "0"], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout is not None
        line = proc.stdout.readline()
        assert "listening on 127.0.0.1:" in line, line
        port = int(line.rsplit(":", 1)[1])
        with kivrel.Client(LOOPBACK, port, keep_alive=True, timeout=5) as kept:
            for a, b in ((2, 3), (2**31 - 1, 1), (-7, -8)):
                assert kept.call("Add", a, b) == [(a + b + 2**31) % 2**32 - 2**31]
            assert kept.call("Add", "2", 3) is None  # wrongly shaped: no result
        assert kivrel.Client(LOOPBACK, port).call("Add", 20, 22) == [42]
        proxy = kivrel.ServiceProxy(LOOPBACK, port)
        assert proxy.methods()[0] == "Add" and "KIVREL_METHOD_HELP" in dir(proxy)
        assert proxy.describe("Add").args == "[{i}{i}]" and proxy.describe("Add").result == "[{i}]"
        assert proxy.Add(1, 2) == [3]
        # Hostile calls from a Python peer are refused like any: no answer.
        doctype = b'<!DOCTYPE method_call [<!ENTITY a "Add">]><method_call><method_name>&a;</method_name></method_call>'
        for data in (frame(doctype), b"KIVREL-1.0:5\nhello"):
            with connect(port) as sock:
                sock.sendall(data)
                closed, got, _ = closed_without_answer(sock, 15)
                assert closed and got == b""
    finally:
        proc.terminate()
        proc.wait(timeout=10)
