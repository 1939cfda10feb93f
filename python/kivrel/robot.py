"""The robot controller's fifteen operations, with named results.

Every method, its arguments and results, their units and the module ids are
described in the man page kivrel-robot(7).

>>> from kivrel.robot import Robot
>>> with Robot("127.0.0.1") as robot:  # doctest: +SKIP
...     robot.drive_for(2.0, 200, 200)  # 2 s at 200 mm/s, then the wheels stop
...     print(robot.position())
"""

from __future__ import annotations

import enum
import math
import time
from typing import NamedTuple

from .client import Client
from ._closing import ClosesOnExit
from .errors import CallError, NoResult
from .values import Value, ValueList, check_shape

__all__ = [
    "Robot",
    "PowerModule",
    "Position",
    "Encoders",
    "Bumpers",
    "Ranges",
    "PowerStatus",
    "MOTOR_DRIVER_PORT",
    "BUMPER_PORT",
    "ULTRASONIC_PORT",
    "POWER_MODULE_PORT",
    "EMERGENCY_PORT",
    "DRIVE_HOLD",
    "DRIVE_REPEAT",
]

MOTOR_DRIVER_PORT = 50010
"""Motor driver service: position, encoders, servos, velocity."""
BUMPER_PORT = 50011
"""Bumper service."""
ULTRASONIC_PORT = 50012
"""Ultrasonic range sensors."""
POWER_MODULE_PORT = 50017
"""Power modules and battery."""
EMERGENCY_PORT = 50022
"""Emergency key."""

DRIVE_HOLD = 0.5
"""Seconds the controller keeps the wheels turning after the last velocity
command; then it stops them."""
DRIVE_REPEAT = 0.1
"""Seconds between the velocity commands :meth:`Robot.drive_for` sends, well
inside :data:`DRIVE_HOLD`."""


class PowerModule(enum.IntEnum):
    """The switchable power modules, by the controller's numbering (the
    module ids of kivrel-robot(7))."""

    DRIVE = 1
    SENSOR = 2
    LRF = 3
    SBC1 = 4
    GYRO = 5
    SG = 6
    SPARE1 = 7
    SPARE3 = 8
    SPARE2 = 9
    LCD = 10
    RX64 = 11
    SPARE4 = 12


class Position(NamedTuple):
    """Odometry position: x and y in mm, heading ``theta`` in degrees,
    counter-clockwise positive."""

    x: int
    y: int
    theta: int


class Encoders(NamedTuple):
    """Wheel encoder counts."""

    left: int
    right: int


class Bumpers(NamedTuple):
    """Bumper states, 1 pressed."""

    front_right: int
    front_left: int


class Ranges(NamedTuple):
    """Ultrasonic ranges in cm of sensors 0 to 6 (0 looks left, 3 ahead, 6
    right), and the controller's eighth value."""

    sensors: tuple[int, int, int, int, int, int, int]
    extra: int


class PowerStatus(NamedTuple):
    """The sixteen values of the power status. Module states: 0 on, 1 down
    (the simulator's convention). Positions 5, 6, 15 and 16 are the
    controller's own (the simulator reports state of charge in 0.1 %, board
    temperature in 0.1 degC, uptime in s and a sample count); kivrel-robot(7)
    lists each field with its unit."""

    battery_mv: int
    charge_voltage_mv: int
    charge_current_ma: int
    consumption_ma: int
    extra5: int
    extra6: int
    sbc1: int
    lrf: int
    sensor: int
    drive: int
    sg: int
    gyro: int
    rx64: int
    lcd: int
    extra15: int
    extra16: int


_OFFSETS = {
    MOTOR_DRIVER_PORT: 0,
    BUMPER_PORT: 1,
    ULTRASONIC_PORT: 2,
    POWER_MODULE_PORT: 7,
    EMERGENCY_PORT: 12,
}


class Robot(ClosesOnExit):
    """The robot controller at ``address`` (strict dotted IPv4).

    ``port_base`` moves all five services together (a simulator started with
    ``--port-base P`` serves on P, P+1, P+2, P+7 and P+12). With
    ``keep_alive`` (the default) each service's connection is kept between
    operations; :meth:`close` (or the context manager) closes them. A robot
    object is used by one thread at a time.

    The drive rule: the controller stops the wheels 500 ms after the last
    velocity command, so one :meth:`drive` moves the robot for half a second
    only. To drive for longer, repeat the command (:meth:`drive_for` does, and
    stops the wheels at the end whatever happens).

    Each method names the controller's method it calls; kivrel-robot(7)
    describes every one, with its arguments, results, units and the module
    ids.

    Every operation raises :class:`kivrel.CallError` subclasses when the call
    fails; reads raise :class:`kivrel.NoResult` when the controller answers
    without the expected values.
    """

    def __init__(
        self,
        address: str = "127.0.0.1",
        *,
        port_base: int = MOTOR_DRIVER_PORT,
        timeout: float = 1.0,
        keep_alive: bool = True,
    ) -> None:
        """Clients for the five services; nothing is connected yet."""
        self._clients = {
            port: Client(address, port_base + offset, timeout=timeout, keep_alive=keep_alive)
            for port, offset in _OFFSETS.items()
        }

    def close(self) -> None:
        """Close the kept connections."""
        for client in self._clients.values():
            client.close()

    def _call(self, port: int, method: str, *args: Value) -> ValueList | None:
        return self._clients[port].call(method, *args)

    def _read(self, port: int, method: str, signature: str) -> list[int]:
        result = self._call(port, method)
        if result is None:
            raise NoResult(f"{method} gave no result")
        try:
            check_shape(result, signature)
        except (TypeError, ValueError) as e:
            raise NoResult(f"{method} gave {result!r}, not {signature}: {e}") from None
        return [int(v) for v in result]  # type: ignore[arg-type]

    # ---- motor driver

    def position(self) -> Position:
        """The odometry position ("ReadPosition")."""
        return Position(*self._read(MOTOR_DRIVER_PORT, "ReadPosition", "[{i}{i}{i}]"))

    def encoders(self) -> Encoders:
        """The wheel encoder counts ("ReadEncoder")."""
        return Encoders(*self._read(MOTOR_DRIVER_PORT, "ReadEncoder", "[{i}{i}]"))

    def set_position(self, x: int, y: int, theta: int | None = None) -> None:
        """Overwrite the odometry position ("ChangePosition2"), and the heading
        too when ``theta`` is given ("ChangePosition")."""
        if theta is None:
            self._call(MOTOR_DRIVER_PORT, "ChangePosition2", x, y)
        else:
            self._call(MOTOR_DRIVER_PORT, "ChangePosition", x, y, theta)

    def servo_on(self) -> None:
        """Switch the wheel servos on ("ServoOn")."""
        self._call(MOTOR_DRIVER_PORT, "ServoOn")

    def servo_off(self) -> None:
        """Switch the wheel servos off ("ServoOff")."""
        self._call(MOTOR_DRIVER_PORT, "ServoOff")

    def drive(self, left: int, right: int) -> None:
        """Command the wheel velocities in mm/s ("VelocityControl").

        The controller holds them for 500 ms only: without another command
        within that time it stops the wheels. Use :meth:`drive_for` to drive
        for a given time.
        """
        self._call(MOTOR_DRIVER_PORT, "VelocityControl", left, right)

    def drive_for(self, seconds: float, left: int, right: int) -> None:
        """Drive the wheels at ``left`` and ``right`` mm/s for ``seconds``, then
        stop them.

        The velocity command is repeated every 100 ms (:data:`DRIVE_REPEAT`),
        so the controller's 500 ms rule never stops the wheels early. The
        wheels are commanded to stand still at the end, and also when the
        drive is cut short by an exception or by Ctrl-C
        (``KeyboardInterrupt``), which then passes on. Raises ``ValueError``
        for a negative or non-finite time.
        """
        if not (isinstance(seconds, (int, float)) and math.isfinite(seconds) and seconds >= 0):
            raise ValueError(f"drive time {seconds!r} is not a finite number of seconds, 0 or more")
        due = time.monotonic()
        end = due + seconds
        try:
            while due < end:
                self.drive(left, right)
                # On a fixed schedule, so that call times do not add up; after
                # a slow call, the next command goes at once.
                now = time.monotonic()
                due = max(due + DRIVE_REPEAT, now)
                time.sleep(max(0.0, min(due, end) - now))
        except BaseException:
            try:
                self.stop()
            except CallError:
                pass  # the error that ended the drive says more
            raise
        self.stop()

    def stop(self) -> None:
        """Command both wheels to stand still."""
        self.drive(0, 0)

    # ---- bumpers

    def bumpers(self) -> Bumpers:
        """The bumper states ("ReadBumperArray")."""
        return Bumpers(*self._read(BUMPER_PORT, "ReadBumperArray", "[{i}{i}]"))

    def set_bumper_off_mode(self) -> None:
        """Bumpers only report ("SetBumperOffMode")."""
        self._call(BUMPER_PORT, "SetBumperOffMode")

    def set_bumper_dir_mode(self) -> None:
        """Bumpers stop forward travel while pressed ("SetBumperDirMode")."""
        self._call(BUMPER_PORT, "SetBumperDirMode")

    # ---- sensors, key, power

    def ranges(self) -> Ranges:
        """The ultrasonic ranges ("ReadSensors")."""
        values = self._read(ULTRASONIC_PORT, "ReadSensors", "[" + "{i}" * 8 + "]")
        return Ranges(
            (values[0], values[1], values[2], values[3], values[4], values[5], values[6]), values[7]
        )

    def emergency_key(self) -> bool:
        """Whether the emergency key is pressed ("ReadEmergencyKey")."""
        return self._read(EMERGENCY_PORT, "ReadEmergencyKey", "[{i}]")[0] != 0

    def power_status(self) -> PowerStatus:
        """Battery, charger, consumption and module states ("ReadPowerStatus")."""
        return PowerStatus(*self._read(POWER_MODULE_PORT, "ReadPowerStatus", "[" + "{i}" * 16 + "]"))

    def power_up(self, module: PowerModule) -> None:
        """Switch a power module on ("PowerUp")."""
        self._call(POWER_MODULE_PORT, "PowerUp", int(module))

    def power_down(self, module: PowerModule) -> None:
        """Switch a power module off ("PowerDown")."""
        self._call(POWER_MODULE_PORT, "PowerDown", int(module))
