"""The official MCP Python SDK client against a host that serves through serve_stdio."""

import asyncio
import base64
import sys
from pathlib import Path

from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client

from helpers.child_env import child_env

HOST = Path(__file__).resolve().parents[2] / "examples" / "example_host.py"


def field(model, snake: str, camel: str):
    """SDK releases name result fields in snake or camel case."""
    return getattr(model, snake) if hasattr(model, snake) else getattr(model, camel)


async def converse():
    env = child_env()
    server = StdioServerParameters(command=sys.executable, args=["-P", str(HOST)], env=env)
    async with stdio_client(server) as (read, write), ClientSession(read, write) as session:
        init = await session.initialize()
        listed = await session.list_tools()
        calls = {
            "echo": await session.call_tool("echo", {"text": "Grüße, \"quoted\"\nline"}),
            "square_png": await session.call_tool("square_png", {"size": 3, "grey": 7}),
            "word_stats": await session.call_tool("word_stats", {"text": "a b\nc"}),
            "fail": await session.call_tool("fail", {}),
        }
        await session.send_ping()
        return init, listed, calls


def test_sdk_client_accepts_every_answer():
    init, listed, calls = asyncio.run(asyncio.wait_for(converse(), timeout=60))
    assert field(init, "server_info", "serverInfo").name == "zanthe-example"
    assert [tool.name for tool in listed.tools] == ["echo", "square_png", "word_stats", "fail"]
    assert field(listed.tools[0], "input_schema", "inputSchema")["required"] == ["text"]

    echo = calls["echo"]
    assert not field(echo, "is_error", "isError")
    assert echo.content[0].type == "text" and echo.content[0].text == 'Grüße, "quoted"\nline'

    image = calls["square_png"].content[0]
    assert image.type == "image" and field(image, "mime_type", "mimeType") == "image/png"
    assert base64.b64decode(image.data).startswith(b"\x89PNG\r\n\x1a\n")

    stats = calls["word_stats"]
    assert field(stats, "structured_content", "structuredContent") == {"characters": 5, "words": 3, "lines": 2}

    failed = calls["fail"]
    assert field(failed, "is_error", "isError")
    assert failed.content[0].text.startswith("zanthe.mcp: Traceback")
    assert failed.content[0].text.endswith("RuntimeError: this tool always fails\n")
