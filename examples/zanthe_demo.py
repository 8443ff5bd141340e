"""The main demonstration: zanthe's MCP server, driven by the official MCP Python SDK client.

Starts `python -m zanthe mcp --root examples/data`, lists its tools and calls each one on the bundled
synthetic data (tools/make_samples.py wrote it), printing every answer.
"""

from __future__ import annotations

import asyncio
import json
import os
import sys
import textwrap
from pathlib import Path

from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client

DATA = Path(__file__).resolve().parent / "data"


def show(title: str, result) -> None:
    is_error = getattr(result, "is_error", getattr(result, "isError", False))
    structured = getattr(result, "structured_content", getattr(result, "structuredContent", None))
    print(f"\n== {title}{'  [error result]' if is_error else ''}")
    if structured is not None:
        print(textwrap.indent(json.dumps(structured, indent=2, ensure_ascii=False), "  "))
    else:
        print(textwrap.indent(result.content[0].text.replace("\r", "\n").rstrip("\n"), "  "))


async def main() -> int:
    # The SDK gives the server a minimal environment; keep our module path (and a sanitizer runtime).
    passed_on = ("PYTHONPATH", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")
    env = {name: os.environ[name] for name in passed_on if name in os.environ}
    server = StdioServerParameters(
        command=sys.executable, args=["-P", "-m", "zanthe", "mcp", "--root", str(DATA)], env=env
    )
    async with stdio_client(server) as (read, write), ClientSession(read, write) as session:
        init = await session.initialize()
        info = getattr(init, "server_info", getattr(init, "serverInfo", None))
        print(f"connected to {info.name} {info.version}")
        for tool in (await session.list_tools()).tools:
            print(f"- {tool.name}: {tool.description.splitlines()[0]}")
        show("dicom_to_imaging_study sample_ct.dcm",
             await session.call_tool("dicom_to_imaging_study", {"path": "sample_ct.dcm"}))
        show("dicom_to_imaging_study ../../etc/passwd (outside the allowed folder)",
             await session.call_tool("dicom_to_imaging_study", {"path": "../../etc/passwd"}))
        show("hl7_parse sample_adt.hl7",
             await session.call_tool("hl7_parse", {"message": (DATA / "sample_adt.hl7").read_text()}))
        request = json.loads((DATA / "sample_oru_request.json").read_text())
        show("hl7_build_oru sample_oru_request.json", await session.call_tool("hl7_build_oru", request))
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
