#!/usr/bin/env python3
"""The Python service under attack, on 127.0.0.1: the share of a well-behaved
client's calls answered (one call every 100 ms, a connection each) beside 64
silent connections, a reconnecting attacker, 64 keep-alive attackers and 64
connections each announcing 16 MiB and sending 15 MiB of it, and the
service's peak memory (VmHWM) after each. The service runs in a process of
its own; --package picks the kivrel package to measure (default: this tree's).

    python3 python/bench/bench_service.py [--package DIR] [--seconds 10]
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE.parent / "tests"))

from attackers import Attack, answered_share, peak_bytes, start_child_service  # noqa: E402

SERVER = """
import sys
sys.path.insert(0, sys.argv[1])
import kivrel
service = kivrel.Service()
service.add_method("Add", lambda a, b: [a + b], args="[{i}{i}]", result="[{i}]")
with service.serve():
    print(service.port, flush=True)
    sys.stdin.read()
"""

MIB = 1024 * 1024
ATTACKS = [
    ("none", {"kind": "silent", "count": 0}),
    ("64 silent", {"kind": "silent"}),
    ("reconnecting", {"kind": "reconnecting"}),
    ("64 keep-alive", {"kind": "keep_alive"}),
    ("64 x 16 MiB", {"kind": "large", "announce": 16 * MIB, "send": 15 * MIB}),
]




def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--package", default=str(HERE.parent), help="directory holding the kivrel package")
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each attack (default 10)")
    options = parser.parse_args()
    print(f"{'attack':<16}{'answered':>10}{'peak MiB':>10}")
    for name, attack in ATTACKS:
        server, port = start_child_service(SERVER, options.package)
        try:
            with Attack(port, **attack):  # type: ignore[arg-type]
                share = answered_share(port, round(options.seconds * 10), timeout=1.0)
                peak = peak_bytes(server.pid)
            print(f"{name:<16}{share:>10.1%}{peak / MIB:>10.0f}", flush=True)
        finally:
            server.communicate("", timeout=60)
    return 0


if __name__ == "__main__":
    sys.exit(main())
