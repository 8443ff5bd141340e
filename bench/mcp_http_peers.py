"""The peer MCP server of mcp_http_bench.py: the official Python SDK's MCPServer serving one echo tool
over Streamable HTTP at /mcp.

    python bench/mcp_http_peers.py PORT

Stateless, with JSON responses (no SSE), on 127.0.0.1, as the SDK's documentation shows, with its
defaults (uvicorn with the pure-Python HTTP parser unless uvloop and httptools are installed) but for
the log level: WARNING, so that uvicorn writes no access-log line per request, as zanthe writes none.
Serves until terminated.
"""

from __future__ import annotations

import sys


def serve(port: int) -> None:
    from mcp.server.mcpserver import MCPServer

    server = MCPServer("bench-http", version="1", log_level="WARNING")

    @server.tool()
    def echo(text: str) -> str:
        """Return the text unchanged."""
        return text

    server.run("streamable-http", host="127.0.0.1", port=port, streamable_http_path="/mcp",
               stateless_http=True, json_response=True)


if __name__ == "__main__":
    serve(int(sys.argv[1]))
