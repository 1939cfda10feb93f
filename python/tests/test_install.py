"""The package installs with pip from its folder, typed, and works installed."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

from conftest import PYTHON_DIR


def test_pip_installs_the_package_from_its_folder(tmp_path: Path):
    # A copy of the folder, so that the build leaves nothing in the tree.
    source = tmp_path / "src"
    shutil.copytree(
        PYTHON_DIR,
        source,
        ignore=shutil.ignore_patterns("build", "*.egg-info", ".pytest_cache", "__pycache__"),
    )
    target = tmp_path / "site"
    # Offline: the build backend is the system's setuptools, nothing is fetched.
    install = subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "install",
            "--quiet",
            "--no-build-isolation",
            "--no-index",
            "--no-deps",
            "--target",
            str(target),
            str(source),
        ],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
    )
    assert install.returncode == 0, install.stderr
    assert (target / "kivrel" / "py.typed").is_file()
    probe = (
        "import kivrel, kivrel.robot, kivrel.wire; "
        "print(kivrel.__file__); "
        "print(kivrel.wire.frame(kivrel.wire.encode_call('PowerUp', [1]))[:15].decode().strip())"
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONPATH"] = str(target)
    run = subprocess.run(
        [sys.executable, "-c", probe], capture_output=True, text=True, timeout=60, cwd=tmp_path, env=env
    )
    assert run.returncode == 0, run.stderr
    where, header = run.stdout.splitlines()
    assert Path(where).is_relative_to(target)
    assert header == "KIVREL-1.1:216"


def test_the_package_type_checks_strictly(tmp_path: Path):
    check = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--cache-dir",
            str(tmp_path),
            str(PYTHON_DIR / "kivrel"),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert check.returncode == 0, check.stdout + check.stderr
    assert "no issues found" in check.stdout
