"""The package installs with pip from its folder, typed, and works installed;
the README's virtual-environment commands work offline as written."""

from __future__ import annotations

import os
import re
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


def test_the_readme_venv_commands_install_the_package_offline(tmp_path: Path):
    readme = (PYTHON_DIR.parent / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"```sh\n(.*?)```", readme, re.S)
    commands = [b for b in blocks if "python3 -m venv" in b]
    assert len(commands) == 1, "the README has one venv block"
    # The README is run from the repository's top; here a copy of python/
    # (its VERSION link followed) in a home of the test's own, with Debian's
    # python3 first on the path and no pip configuration or index.
    shutil.copytree(
        PYTHON_DIR,
        tmp_path / "python",
        ignore=shutil.ignore_patterns("build", "*.egg-info", ".pytest_cache", "__pycache__", "tests"),
    )
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PIP_", "PYTHON", "VIRTUAL_ENV"))}
    env.update(
        HOME=str(tmp_path),
        PATH=f"{Path(sys.executable).parent}:{env.get('PATH', '')}",
        PIP_CONFIG_FILE=os.devnull,
        PIP_DISABLE_PIP_VERSION_CHECK="1",
    )
    run = subprocess.run(
        ["bash", "-euc", commands[0]], capture_output=True, text=True, timeout=600, cwd=tmp_path, env=env
    )
    assert run.returncode == 0, run.stdout + run.stderr
    version = (PYTHON_DIR.parent / "VERSION").read_text(encoding="ascii").strip()
    assert run.stdout.splitlines()[-1] == version
    installed = list((tmp_path / "kivrel-venv").glob("lib/python3*/site-packages/kivrel/__init__.py"))
    assert len(installed) == 1


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
