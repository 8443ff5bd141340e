"""Drives examples/example_host.py with the official MCP Python SDK client and prints every answer."""

from __future__ import annotations

import asyncio
import sys
from pathlib import Path

from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client

HOST = Path(__file__).with_name("example_host.py")

CALLS = [
    ("echo", {"text": "Grüße from zanthe"}),
    ("square_png", {"size": 4, "grey": 200}),
    ("word_stats", {"text": "one two three\nfour"}),
    ("fail", {}),
]


def describe(block) -> str:
    if block.type == "image":
        return f"image {block.mime_type if hasattr(block, 'mime_type') else block.mimeType}, {len(block.data)} base64 chars"
    return f"text {block.text!r}"


async def main() -> int:
    server = StdioServerParameters(command=sys.executable, args=["-P", str(HOST)])
    async with stdio_client(server) as (read, write), ClientSession(read, write) as session:
        init = await session.initialize()
        print(f"connected to {init.server_info.name if hasattr(init, 'server_info') else init.serverInfo.name}")
        listed = await session.list_tools()
        print("tools:", ", ".join(t.name for t in listed.tools))
        for name, arguments in CALLS:
            result = await session.call_tool(name, arguments)
            is_error = result.is_error if hasattr(result, "is_error") else result.isError
            structured = getattr(result, "structured_content", getattr(result, "structuredContent", None))
            print(f"{name}: error={is_error} {describe(result.content[0])}")
            if structured is not None:
                print(f"  structured content: {structured}")
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
