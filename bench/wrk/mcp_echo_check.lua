-- mcp_echo.lua's request, with every answer read: it must be a 200 whose body is a result carrying
-- the echoed text and no error. done() prints "answers: GOOD good, BAD bad" and the first bad one.
-- Run from this folder (dofile reads mcp_echo.lua beside it).

dofile("mcp_echo.lua")

local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  good, bad, first_bad = 0, 0, ""
end

function response(status, headers, body)
  local ok = status == 200
    and body:find('"result"', 1, true)
    and body:find('"text":"hello"', 1, true)
    and not body:find('"isError":true', 1, true)
  if ok then
    good = good + 1
  else
    bad = bad + 1
    if first_bad == "" then
      first_bad = status .. " " .. string.sub(body, 1, 300)
    end
  end
end

function done(summary, latency, requests)
  local good_total, bad_total, example = 0, 0, ""
  for _, thread in ipairs(threads) do
    good_total = good_total + thread:get("good")
    bad_total = bad_total + thread:get("bad")
    if example == "" then
      example = thread:get("first_bad")
    end
  end
  io.write(string.format("answers: %d good, %d bad\n", good_total, bad_total))
  if example ~= "" then
    io.write("first bad answer: " .. example .. "\n")
  end
end
