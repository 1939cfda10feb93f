"""The installed robot reference, kivrel-robot(7), lists exactly the methods
that the simulator's five services list, with the signatures they describe."""

from __future__ import annotations

import gzip
import re

from conftest import LOOPBACK, program

from kivrel import ServiceProxy
from kivrel.proxy import LIST_METHODS, METHOD_HELP, METHOD_SIGNATURE

CONTROLLER_BASE = 50010
"""The port of the first service on the robot; the page names the real ports."""


def page_methods() -> dict[int, dict[str, tuple[str | None, str | None]]]:
    """Port -> method -> (arguments, result) as the man page gives them."""
    source = gzip.decompress(program("packaging/man/kivrel-robot.7.gz").read_bytes()).decode()
    methods: dict[int, dict[str, tuple[str | None, str | None]]] = {}
    port = None
    for line in source.splitlines():
        if m := re.fullmatch(r'\.SS ".*, port (\d+)"', line):
            port = int(m[1])
            methods[port] = {}
        elif m := re.fullmatch(r"\\fB(\w+)\\fR \\fI(\S+)\\fR \\\(-> \\fI(\S+)\\fR", line):
            assert port is not None, line
            args, result = (None if s == "none" else s for s in (m[2], m[3]))
            methods[port][m[1]] = (args, result)
    return methods


def test_the_man_page_lists_every_method_of_the_simulator_and_no_other(simulator: int):
    page = page_methods()
    assert len(page) == 5
    introspection = {LIST_METHODS, METHOD_SIGNATURE, METHOD_HELP}
    for port, methods in page.items():
        with ServiceProxy(LOOPBACK, simulator + port - CONTROLLER_BASE, timeout=5) as proxy:
            served = [n for n in proxy.methods() if n not in introspection]
            assert sorted(methods) == sorted(served), f"port {port}"
            for name, (args, result) in methods.items():
                described = proxy.describe(name)
                assert (described.args, described.result) == (args, result), name
