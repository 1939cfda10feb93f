#!/usr/bin/env python3
"""Calls per second of the Python client, fresh and kept connections, against
C services (the robot simulator, and a service on the library's server half),
beside Python's own xmlrpc.client against xmlrpc.server, in one run on this
machine. Everything runs on 127.0.0.1; each server is a process of its own.

    python3 python/bench/bench_calls.py [--build-dir build] [--seconds 2] [--rounds 3]
"""

from __future__ import annotations

import argparse
import random
import socket
import subprocess
import sys
import time
import xmlrpc.client
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import kivrel  # noqa: E402

LOOPBACK = "127.0.0.1"
socket.setdefaulttimeout(10)  # bounds every xmlrpc call; kivrel calls have their own

XMLRPC_SERVER = """
import sys
from socketserver import ThreadingMixIn
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer

class Handler(SimpleXMLRPCRequestHandler):
    protocol_version = "HTTP/1.1"  # lets a client keep its connection

# A thread per connection, as the kivrel service has: a kept connection
# must not hold off the others.
class Server(ThreadingMixIn, SimpleXMLRPCServer):
    daemon_threads = True

server = Server(("127.0.0.1", 0), requestHandler=Handler, logRequests=False)
server.register_function(lambda a, b: a + b, "add")
print("port", server.server_address[1], flush=True)
server.serve_forever()
"""

KIVREL_SERVER = """
import sys
sys.path.insert(0, sys.argv[1])
import kivrel, time
service = kivrel.Service()
service.add_method("Add", lambda a, b: [a + b], args="[{i}{i}]", result="[{i}]")
service.serve()
print("port", service.port, flush=True)
while True:
    time.sleep(3600)
"""


def rate(call: Callable[[], object], seconds: float) -> float:
    """Calls per second over about `seconds`, after a short warm-up."""
    for _ in range(20):
        call()
    count = 0
    start = time.perf_counter()
    end = start + seconds
    while True:
        for _ in range(50):
            call()
        count += 50
        now = time.perf_counter()
        if now >= end:
            return count / (now - start)


def start(command: list[str]) -> tuple[subprocess.Popen[str], int]:
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    line = proc.stdout.readline()
    if not line.startswith("port "):
        proc.terminate()
        raise SystemExit(f"{command[0]} did not start: {line!r}")
    return proc, int(line.split()[1])


def start_simulator(exe: Path) -> tuple[subprocess.Popen[str], int]:
    for _ in range(8):
        base = random.randrange(20000, 30000, 20)
        try:
            for offset in (0, 1, 2, 7, 12):
                with socket.socket() as s:
                    s.bind(("0.0.0.0", base + offset))
        except OSError:
            continue
        proc = subprocess.Popen(
            [str(exe), "--no-terminal", "--port-base", str(base)], stdout=subprocess.PIPE, text=True
        )
        assert proc.stdout is not None
        if "serving" in proc.stdout.readline():
            return proc, base
        proc.terminate()
        proc.wait()
    raise SystemExit("no free port base for the simulator")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=str(HERE.parent.parent / "build"))
    parser.add_argument("--seconds", type=float, default=2.0, help="seconds per measurement (default 2)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds over all cases (default 3)")
    parser.add_argument(
        "--host-example",
        help="the C service host's add_service program (default: examples/add_service of the build, if built)",
    )
    options = parser.parse_args()
    build = Path(options.build_dir)
    seconds = options.seconds

    procs: list[subprocess.Popen[str]] = []
    try:
        sim, sim_base = start_simulator(build / "tools/robot-sim/robot-sim")
        procs.append(sim)
        c_proc, c_port = start([str(build / "tests/c_echo_service")])
        procs.append(c_proc)
        host_exe = Path(options.host_example or build / "examples/add_service")
        host_port = None
        if host_exe.is_file():
            h_proc = subprocess.Popen([str(host_exe), "0"], stdout=subprocess.PIPE, text=True)
            procs.append(h_proc)
            assert h_proc.stdout is not None
            host_port = int(h_proc.stdout.readline().rsplit(":", 1)[1])
        py_proc, py_port = start([sys.executable, "-c", KIVREL_SERVER, str(HERE.parent)])
        procs.append(py_proc)
        x_proc, x_port = start([sys.executable, "-c", XMLRPC_SERVER])
        procs.append(x_proc)

        url = f"http://{LOOPBACK}:{x_port}/"

        def fresh_xmlrpc() -> object:
            with xmlrpc.client.ServerProxy(url) as proxy:
                return proxy.add(2, 3)

        kept_xmlrpc = xmlrpc.client.ServerProxy(url)
        ports = [p for p in (sim_base, c_port, py_port, host_port) if p is not None]
        kept = {port: kivrel.Client(LOOPBACK, port, keep_alive=True) for port in ports}

        def kivrel_pair(
            port: int, method: str, *args: int
        ) -> tuple[Callable[[], object], Callable[[], object]]:
            fresh = kivrel.Client(LOOPBACK, port)
            return (lambda: fresh.call(method, *args)), (lambda: kept[port].call(method, *args))

        cases = [
            ("kivrel client -> robot-sim ReadPosition (C)", *kivrel_pair(sim_base, "ReadPosition")),
            ("kivrel client -> C service Add (thread each)", *kivrel_pair(c_port, "Add", 2, 3)),
            ("kivrel client -> kivrel.Service Add (Python)", *kivrel_pair(py_port, "Add", 2, 3)),
            ("xmlrpc.client -> xmlrpc.server add (Python)", fresh_xmlrpc, lambda: kept_xmlrpc.add(2, 3)),
        ]
        if host_port is not None:
            cases.insert(1, ("kivrel client -> C host add_service Add", *kivrel_pair(host_port, "Add", 2, 3)))
        # Rounds interleave the cases, so that a busy moment on a shared
        # machine does not land on one case alone; the best round counts.
        best = {label: [0.0, 0.0] for label, _, _ in cases}
        for _ in range(options.rounds):
            for label, fresh_call, kept_call in cases:
                best[label][0] = max(best[label][0], rate(fresh_call, seconds))
                best[label][1] = max(best[label][1], rate(kept_call, seconds))
        for client in kept.values():
            client.close()
        kept_xmlrpc("close")()

        print(f"calls per second, best of {options.rounds} rounds of {seconds:g} s")
        print(f"{'':48} {'fresh':>8} {'kept':>8}")
        for label, (fresh_rate, kept_rate) in best.items():
            print(f"{label:48} {fresh_rate:8.0f} {kept_rate:8.0f}")
    finally:
        for proc in procs:
            proc.terminate()
            proc.wait(timeout=10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
