-- One MCP tools/call of the echo tool, 2026-07-28 envelope, posted on every keep-alive connection.
-- Used by bench/mcp_http_bench.py: wrk -t2 -c8 -d5s --latency -s mcp_echo.lua http://127.0.0.1:PORT/mcp
-- No response hook, so wrk neither buffers nor hands the answers to Lua while timing; it still
-- counts non-2xx answers, and mcp_echo_check.lua reads every answer before timing.

wrk.method = "POST"
wrk.body = '{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"echo","arguments":{"text":"hello"},'
  .. '"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",'
  .. '"io.modelcontextprotocol/clientCapabilities":{}}}}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Accept"] = "application/json, text/event-stream"
wrk.headers["MCP-Protocol-Version"] = "2026-07-28"
wrk.headers["Mcp-Method"] = "tools/call"
wrk.headers["Mcp-Name"] = "echo"
