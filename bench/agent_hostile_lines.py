"""How long the MCP server takes to answer hostile 1 MiB request lines, beside Python's json.

zanthe: a host serving through zanthe._agent.serve_stdio in a child process; the time from writing
the line to reading its answer, less the round trip of a ping (pipe and process overhead). peer: json.loads of the same line in
this process (the parse that a pure-Python MCP server would do first). Prints a table; asserts nothing.

    python bench/agent_hostile_lines.py [--repeat N]
"""

from __future__ import annotations

import argparse
import json
import platform
import statistics
import subprocess
import sys
import time

MIB = 1 << 20

HOST = """
from zanthe import _agent
_agent.serve_stdio([("echo", '{"name":"echo"}', "")], lambda name, args: (0, "ok"))
"""

PING = b'{"jsonrpc":"2.0","id":0,"method":"ping"}\n'


def request_around(arguments: bytes) -> bytes:
    head = b'{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"echo","arguments":'
    return head + arguments + b"}}"


def pad_to(line: bytes, filler: bytes) -> bytes:
    return line + filler * ((MIB - len(line)) // len(filler))


def hostile_lines() -> dict[str, bytes]:
    count = 120_000
    while len(many := request_around(b"{" + b",".join(b'"k%d":%d' % (i, i) for i in range(count)) + b"}")) > MIB:
        count -= 2_000
    return {
        "open brackets [[[...": b"[" * MIB,
        "open objects {\"a\":{...": (b'{"a":' * (MIB // 5)),
        "deep then wide [x500 {},{},...": pad_to(b"[" * 500, b"{},"),
        "nested pairs [[],[[],[[],...": b"[[]," * (MIB // 4),
        "many members (valid call)": many,
        "wide array of ints (valid)": request_around(b"[" + b"1," * (MIB // 2 - 40) + b"1]"),
    }


def time_zanthe(line: bytes, repeat: int) -> float:
    """Every case here is answered with one line (a result or the parse error)."""
    proc = subprocess.Popen([sys.executable, "-P", "-c", HOST], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        def round_trip(payload: bytes) -> float:
            start = time.perf_counter()
            proc.stdin.write(payload)
            proc.stdin.flush()
            if not proc.stdout.readline():
                raise RuntimeError("the server stopped answering")
            return time.perf_counter() - start

        round_trip(PING)
        ping = statistics.median(round_trip(PING) for _ in range(20))
        samples = [round_trip(line + b"\n") - ping for _ in range(repeat)]
        return max(statistics.median(samples), 0.0)
    finally:
        proc.stdin.close()
        proc.wait(timeout=60)


def time_peer(line: bytes, repeat: int) -> tuple[float, str]:
    samples, outcome = [], "ok"
    for _ in range(repeat):
        start = time.perf_counter()
        try:
            json.loads(line)
        except RecursionError:
            outcome = "RecursionError"
        except ValueError:
            outcome = "ValueError"
        samples.append(time.perf_counter() - start)
    return statistics.median(samples), outcome


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    import zanthe

    print(f"zanthe {zanthe.__version__}, Python {platform.python_version()}, {platform.machine()}, {platform.processor() or platform.system()}")
    print(f"{'case':38} {'bytes':>9} {'zanthe ms':>10} {'json.loads ms':>14} {'ratio':>7}  peer outcome")
    for name, line in hostile_lines().items():
        ours = time_zanthe(line, args.repeat)
        peer, outcome = time_peer(line, args.repeat)
        ratio = ours / peer if peer else float("inf")
        print(f"{name:38} {len(line):>9} {ours * 1e3:>10.2f} {peer * 1e3:>14.2f} {ratio:>7.2f}  {outcome}")


if __name__ == "__main__":
    main()
