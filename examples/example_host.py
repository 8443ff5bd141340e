"""A small host program that serves its own tools over stdio with zanthe._agent.serve_stdio.

Each tool answers through the shape of its output: plain text, an image data URL, or a JSON object
(which also becomes structured content). Run it under any MCP client:

    python examples/example_host.py
"""

from __future__ import annotations

import base64
import json
import struct
import sys
import zlib

from zanthe import _agent


def tool(name: str, description: str, properties: dict, required: list[str]) -> tuple[str, str, str]:
    schema = {"type": "object", "properties": properties, "required": required}
    definition = {"name": name, "description": description, "inputSchema": schema}
    return name, json.dumps(definition, separators=(",", ":")), ""


TOOLS = [
    tool("echo", "Echo the given text back.", {"text": {"type": "string"}}, ["text"]),
    tool(
        "square_png",
        "A square PNG image of the given size, filled with one grey level.",
        {"size": {"type": "integer", "minimum": 1, "maximum": 64}, "grey": {"type": "integer"}},
        ["size"],
    ),
    tool(
        "word_stats",
        "Counts of characters, words and lines in a text, as a JSON object.",
        {"text": {"type": "string"}},
        ["text"],
    ),
    tool("fail", "Always raises, to show how a failing tool is reported.", {}, []),
]


def png_data_url(size: int, grey: int) -> str:
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b"".join(b"\x00" + bytes([grey % 256]) * size for _ in range(size))
    header = struct.pack(">IIBBBBB", size, size, 8, 0, 0, 0, 0)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")
    return "data:image/png;base64," + base64.b64encode(png).decode("ascii")


def dispatch(name: str, args: dict | None) -> tuple[int, str]:
    args = args or {}
    if name == "echo":
        return 0, str(args.get("text", ""))
    if name == "square_png":
        return 0, png_data_url(int(args.get("size", 8)), int(args.get("grey", 128)))
    if name == "word_stats":
        text = str(args.get("text", ""))
        stats = {"characters": len(text), "words": len(text.split()), "lines": len(text.splitlines())}
        return 0, json.dumps(stats)
    if name == "fail":
        raise RuntimeError("this tool always fails")
    return 1, f"no such tool: {name}"


if __name__ == "__main__":
    sys.exit(_agent.serve_stdio(TOOLS, dispatch, server_name="zanthe-example", verbose="-v" in sys.argv))
