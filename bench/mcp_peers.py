"""The peer MCP servers of mcp_bench.py: the official Python SDK serving one echo tool over stdio.

    python bench/mcp_peers.py lowlevel    # the SDK's low-level Server, list/call handlers
    python bench/mcp_peers.py fastmcp     # the SDK's decorator server (FastMCP; MCPServer from mcp 2)

Each serves until standard input ends. Both are written as the SDK's documentation shows, with its
defaults; they run under SDK 1.x and 2.x, whose registration APIs differ.
"""

from __future__ import annotations

import sys

ECHO_SCHEMA = {
    "type": "object",
    "properties": {"text": {"type": "string"}},
    "required": ["text"],
}
DESCRIPTION = "Return the text unchanged."


def serve_lowlevel() -> None:
    import anyio
    from mcp import types
    from mcp.server.lowlevel import Server
    from mcp.server.stdio import stdio_server

    echo_tool = types.Tool(name="echo", description=DESCRIPTION, input_schema=ECHO_SCHEMA) if _sdk2() else None

    async def list_tools(ctx, params):
        return types.ListToolsResult(tools=[echo_tool])

    async def call_tool(ctx, params):
        text = (params.arguments or {})["text"]
        return types.CallToolResult(content=[types.TextContent(type="text", text=text)])

    if _sdk2():
        server = Server("bench-lowlevel", on_list_tools=list_tools, on_call_tool=call_tool)
    else:
        server = Server("bench-lowlevel")

        @server.list_tools()
        async def list_tools_v1() -> list:
            return [types.Tool(name="echo", description=DESCRIPTION, inputSchema=ECHO_SCHEMA)]

        @server.call_tool()
        async def call_tool_v1(name: str, arguments: dict) -> list:
            return [types.TextContent(type="text", text=arguments["text"])]

    async def main() -> None:
        async with stdio_server() as (read_stream, write_stream):
            await server.run(read_stream, write_stream, server.create_initialization_options())

    anyio.run(main)


def serve_fastmcp() -> None:
    try:
        from mcp.server.fastmcp import FastMCP
    except ModuleNotFoundError:  # renamed in mcp 2
        from mcp.server.mcpserver import MCPServer as FastMCP

    mcp = FastMCP("bench-fastmcp")

    @mcp.tool()
    def echo(text: str) -> str:
        """Return the text unchanged."""
        return text

    mcp.run(transport="stdio")


def _sdk2() -> bool:
    from importlib.metadata import version

    return int(version("mcp").split(".")[0]) >= 2


SERVERS = {"lowlevel": serve_lowlevel, "fastmcp": serve_fastmcp}

if __name__ == "__main__":
    SERVERS[sys.argv[1]]()
