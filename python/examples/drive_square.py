#!/usr/bin/env python3
"""Drive the robot around a square by odometry and print the corners reached.

Start the simulator first (robot-sim), then:

    python3 drive_square.py                  # a 1 m square, turning left
    python3 drive_square.py --plot path.png  # and draw the path (needs matplotlib)

The odometry is set to (0, 0, 0) at the start; the robot drives to (side, 0),
turns to 90 degrees, drives to (side, side), and so on back to the start. Most
of each side is driven blind with Robot.drive_for, the rest and the turns by
odometry. The wheels are stopped at the end, on Ctrl-C and on any error.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from pathlib import Path

try:
    import kivrel
except ImportError:  # run from the source tree without installing
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    import kivrel

from kivrel.robot import Position, Robot

PERIOD = 0.02  # s between commands: the simulator steps at 50 Hz
MAX_SPEED = 400  # mm/s along a side
BY_ODOMETRY = 200  # mm at the end of a side left to the odometry loop
MIN_SPEED = 20  # mm/s: slow enough to stop within a millimetre
BRAKING = 400  # mm/s^2 planned, well below what the wheels can do
TURN_MAX = 150  # mm/s of each wheel when turning on the spot
TURN_MIN = 15
ARRIVED = 1.0  # mm
LEG_TIME_LIMIT = 60.0  # s for one side or one turn


def wrap(degrees: float) -> float:
    """An angle difference brought into (-180, 180]."""
    degrees = math.fmod(degrees, 360.0)
    if degrees <= -180:
        degrees += 360
    elif degrees > 180:
        degrees -= 360
    return degrees


def clamp(value: float, low: float, high: float) -> float:
    return max(low, min(high, value))


class Driver:
    """Closes the loop between the odometry and the wheel commands."""

    def __init__(self, robot: Robot) -> None:
        self.robot = robot
        self.path: list[Position] = []

    def read(self) -> Position:
        position = self.robot.position()
        self.path.append(position)
        return position

    def settle(self) -> Position:
        """Stop and wait until the odometry stands still."""
        self.robot.stop()
        last = self.read()
        for _ in range(50):
            time.sleep(0.05)
            now = self.read()
            if now == last:
                break
            last = now
        return last

    def drive_to(self, x: float, y: float, heading: float) -> None:
        """Drive along `heading` (degrees) until (x, y) is reached."""
        h = math.radians(heading)
        p = self.read()
        blind = (x - p.x) * math.cos(h) + (y - p.y) * math.sin(h) - BY_ODOMETRY
        if blind > 0:
            # drive_for repeats the command within the controller's 500 ms
            # and stops the wheels at the end, even on Ctrl-C.
            self.robot.drive_for(blind / MAX_SPEED, MAX_SPEED, MAX_SPEED)
        deadline = time.monotonic() + LEG_TIME_LIMIT
        while time.monotonic() < deadline:
            p = self.read()
            dx, dy = x - p.x, y - p.y
            along = dx * math.cos(h) + dy * math.sin(h)
            across = -dx * math.sin(h) + dy * math.cos(h)
            if along <= ARRIVED:
                self.settle()
                return
            speed = clamp(math.sqrt(2 * BRAKING * along), MIN_SPEED, MAX_SPEED)
            # Steer back onto the side's line, not just along the heading.
            wanted = heading + math.degrees(math.atan2(across, max(along, 100.0)))
            turn = clamp(4.0 * wrap(wanted - p.theta), -0.3 * speed, 0.3 * speed)
            self.robot.drive(round(speed - turn), round(speed + turn))
            time.sleep(PERIOD)
        raise RuntimeError(f"did not reach ({x:.0f}, {y:.0f}) in {LEG_TIME_LIMIT:.0f} s")

    def turn_to(self, heading: float) -> None:
        """Turn on the spot until the odometry heading reads `heading`."""
        deadline = time.monotonic() + LEG_TIME_LIMIT
        while time.monotonic() < deadline:
            error = wrap(heading - self.read().theta)
            if error == 0:
                self.settle()
                return
            wheel = math.copysign(clamp(8.0 * abs(error), TURN_MIN, TURN_MAX), error)
            self.robot.drive(round(-wheel), round(wheel))
            time.sleep(PERIOD)
        raise RuntimeError(f"did not turn to {heading:.0f} degrees in {LEG_TIME_LIMIT:.0f} s")


def plot(path: list[Position], corners: list[Position], side: int, filename: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(5, 5))
    ax.plot([0, side, side, 0, 0], [0, 0, side, side, 0], ":", color="grey", label="square")
    ax.plot([p.x for p in path], [p.y for p in path], "-", label="odometry")
    ax.plot([c.x for c in corners], [c.y for c in corners], "o", label="corners")
    ax.set_aspect("equal")
    ax.set_xlabel("x (mm)")
    ax.set_ylabel("y (mm)")
    ax.legend()
    fig.savefig(filename, dpi=100)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--address", default="127.0.0.1", help="controller address (default 127.0.0.1)")
    parser.add_argument(
        "--port-base", type=int, default=50010, help="motor driver port; the others follow (default 50010)"
    )
    parser.add_argument("--side", type=int, default=1000, help="side of the square in mm (default 1000)")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the path into FILE.png (needs matplotlib)")
    options = parser.parse_args()
    if options.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print(
                "drive_square: --plot needs matplotlib, which is not installed; install it with\n"
                "  sudo apt install python3-matplotlib   or   pip install matplotlib\n"
                "or run without --plot.",
                file=sys.stderr,
            )
            return 2

    side = options.side
    corners: list[Position] = []
    with Robot(options.address, port_base=options.port_base) as robot:
        driver = Driver(robot)
        try:
            robot.servo_on()
            robot.set_position(0, 0, 0)
            start = driver.settle()
            print(f"start: x {start.x} mm, y {start.y} mm, heading {start.theta} deg", flush=True)
            targets = [(side, 0, 0, 90), (side, side, 90, 180), (0, side, 180, -90), (0, 0, -90, 0)]
            for n, (x, y, along, turn) in enumerate(targets, start=1):
                driver.drive_to(x, y, along)
                driver.turn_to(turn)
                corner = driver.settle()
                corners.append(corner)
                print(f"corner {n}: x {corner.x} mm, y {corner.y} mm, heading {corner.theta} deg", flush=True)
        except KeyboardInterrupt:
            print("drive_square: interrupted", file=sys.stderr)
            return 130
        except (kivrel.CallError, RuntimeError) as e:
            print(f"drive_square: {e}", file=sys.stderr)
            return 1
        finally:
            try:
                robot.stop()
            except kivrel.CallError:
                pass
    if options.plot:
        plot(driver.path, corners, side, options.plot)
        print(f"path drawn into {options.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
