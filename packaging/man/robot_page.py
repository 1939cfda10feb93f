"""Writes the man page kivrel-robot(7) from its template and the method table
of the simulator's README, so that the two cannot drift apart.

    robot_page.py README TEMPLATE OUTPUT VERSION SEE_ALSO_FILE
"""

import os
import re
import sys
import time
from pathlib import Path

HEADER = ["Service", "Method", "Arguments", "Result", "Meaning"]


def table_rows(readme: str) -> list[list[str]]:
    """The rows of the README's method table, cells stripped."""
    rows: list[list[str]] = []
    inside = False
    for line in readme.splitlines():
        if not line.startswith("|"):
            if inside:
                break
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if cells == HEADER:
            inside = True
        elif inside and not all(set(c) <= {"-"} for c in cells):
            if len(cells) != len(HEADER):
                sys.exit(f"robot_page: a table row has {len(cells)} cells: {line}")
            rows.append(cells)
    if not rows:
        sys.exit("robot_page: no method table (| Service | Method | ... |) in the README")
    return rows


def roff(text: str) -> str:
    """Markdown cell text as roff: `code` in bold, minus signs, +- as the sign."""
    text = text.replace("\\", "\\e")
    text = re.sub(r"`([^`]*)`", r"\\fB\1\\fR", text)
    text = re.sub(r"(?<![\w])-(?=\d)", r"\\-", text)
    text = text.replace("+\\-", "\\(+-")
    if text.startswith((".", "'")):
        text = "\\&" + text
    return text


def main() -> None:
    readme, template, output, version, see_also = sys.argv[1:6]
    rows = table_rows(Path(readme).read_text(encoding="utf-8"))
    services: list[str] = []
    methods: list[str] = []
    for service, method, args, result, meaning in rows:
        name, _, port = service.rpartition(" ")
        if not port.isdigit():
            sys.exit(f"robot_page: the service '{service}' does not end in its port")
        if service not in services:
            services.append(service)
            methods.append(f'.SS "{name}, port {port}"')
        method, args, result = (c.strip("`") for c in (method, args, result))
        methods += [".TP", f"\\fB{method}\\fR \\fI{args}\\fR \\(-> \\fI{result}\\fR", roff(meaning)]
    service_lines: list[str] = []
    for service in services:
        name, _, port = service.rpartition(" ")
        service_lines += [".TP", f".B {port}", name]
    # The month of the build, or of SOURCE_DATE_EPOCH for a reproducible one.
    date = time.strftime("%B %Y", time.gmtime(int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))))
    page = (
        Path(template)
        .read_text(encoding="utf-8")
        .replace("@DATE@", date)
        .replace("@VERSION@", version)
        .replace("@SERVICES@", "\n".join(service_lines))
        .replace("@METHODS@", "\n".join(methods))
        .replace("@SEE_ALSO@", Path(see_also).read_text(encoding="utf-8").replace("[SEE ALSO]", "").strip())
    )
    Path(output).write_text(page, encoding="utf-8")


if __name__ == "__main__":
    main()
