"""The square-driving example against the simulator, headless."""

from __future__ import annotations

import importlib.util
import math
import re
import subprocess
import sys
from pathlib import Path

from conftest import PYTHON_DIR

EXAMPLE = PYTHON_DIR / "examples" / "drive_square.py"
CORNER = re.compile(r"corner (\d): x (-?\d+) mm, y (-?\d+) mm, heading (-?\d+) deg")


def test_drive_square_reaches_every_corner(fresh_simulator, tmp_path: Path):
    has_matplotlib = importlib.util.find_spec("matplotlib") is not None
    picture = tmp_path / "path.png"
    command = [sys.executable, str(EXAMPLE), "--port-base", str(fresh_simulator)]
    if not has_matplotlib:
        refused = subprocess.run(
            [*command, "--plot", str(picture)], capture_output=True, text=True, timeout=30
        )
        assert refused.returncode == 2 and "matplotlib" in refused.stderr and "install" in refused.stderr
    else:
        command += ["--plot", str(picture)]
    run = subprocess.run(command, capture_output=True, text=True, timeout=240)
    assert run.returncode == 0, run.stderr
    corners = [tuple(int(g) for g in m.groups()) for m in CORNER.finditer(run.stdout)]
    square = [(1, 1000, 0, 90), (2, 1000, 1000, 180), (3, 0, 1000, -90), (4, 0, 0, 0)]
    assert len(corners) == 4, run.stdout
    for (n, x, y, theta), (want_n, want_x, want_y, want_theta) in zip(corners, square):
        assert n == want_n
        assert math.hypot(x - want_x, y - want_y) <= 20, run.stdout
        assert abs((theta - want_theta + 180) % 360 - 180) <= 3, run.stdout
    assert picture.is_file() == has_matplotlib
