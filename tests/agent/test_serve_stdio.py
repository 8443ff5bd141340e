"""serve_stdio as a host program uses it: real stdin and stdout of a child interpreter."""

import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from helpers.agent_host import call, host_source, run_host
from zanthe import _agent


def first_text(run):
    (response,) = run.responses
    result = response["result"]
    return result["isError"], result["content"][0]["text"]


def test_signature_and_doc():
    assert _agent.serve_stdio.__doc__.endswith(
        "Run the brellix MCP server over stdio; dispatch(name, args) -> (code, output) per tools/call. "
        "Blocks until stdin EOF."
    )
    signature = _agent.serve_stdio.__doc__.splitlines()[0]
    assert "tools: collections.abc.Sequence[tuple[str, str, str]]" in signature
    assert "dispatch: collections.abc.Callable" in signature
    assert "server_name: str = 'zanthe', server_version: str = '0.1', verbose: bool = False) -> int" in signature


def test_empty_stdin_returns_zero_and_writes_nothing():
    run = run_host("return 0, ''", tools=[])
    assert (run.returncode, run.raw_stdout, run.stderr) == (0, b"", "returned 0\n")


def test_verbose_banner():
    run = run_host("return 0, ''", tools=[], verbose=True)
    assert run.stderr == "brellix mcp: zanthe serving 0 tools (JSON-RPC, MCP 2025-06-18)\nreturned 0\n"


def test_a_second_call_after_end_of_input_returns_at_once():
    source = host_source("return 0, ''") + "print('again', _agent.serve_stdio([], dispatch), file=sys.stderr)\n"
    proc = subprocess.run([sys.executable, "-P", "-c", source], input=b"", capture_output=True, timeout=60)
    assert proc.stderr.decode().splitlines() == ["returned 0", "again 0"]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (([], print), {"verbose": 1}),
        (([], print), {"verbose": None}),
        (([("a", "b")], print), {}),
        (([("a", "b", 3)], print), {}),
        (([], "not callable"), {}),
        (([], print), {"server_name": b"x"}),
        ((None, print), {}),
    ],
)
def test_wrong_argument_types_raise_type_error_before_serving(args, kwargs):
    with pytest.raises(TypeError):
        _agent.serve_stdio(*args, **kwargs)


@pytest.mark.parametrize(
    "body, expected",
    [
        ("return 0, 'ok'", (False, "ok")),
        ("return [0, 'ok']", (False, "ok")),
        ("return 3, 'no'", (True, "no")),
        ("return True, 'x'", (True, "x")),
        ("return 'ok'", (True, "zanthe.mcp: std::bad_cast")),
        ("return (0,)", (True, "zanthe.mcp: std::bad_cast")),
        ("return 0, b'x'", (True, "zanthe.mcp: std::bad_cast")),
        ("return 1.5, 'x'", (True, "zanthe.mcp: std::bad_cast")),
        ("return 2**40, 'x'", (True, "zanthe.mcp: std::bad_cast")),
        ("return 0, 'x', 'y'", (True, "zanthe.mcp: std::bad_cast")),
        ("return None", (True, "zanthe.mcp: std::bad_cast")),
    ],
)
def test_dispatch_results_are_converted(body, expected):
    assert first_text(run_host(body, [call("echo", {})])) == expected


def test_a_raising_callable_gives_its_traceback_as_an_error_result():
    is_error, text = first_text(run_host("raise ValueError('bad')", [call("echo", {})]))
    assert is_error
    assert text.startswith("zanthe.mcp: Traceback (most recent call last):\n")
    assert text.endswith("ValueError: bad\n")


def test_serving_continues_after_a_failing_tool():
    run = run_host(
        "if args['n'] == 1: raise KeyError('k')\nreturn 0, str(args['n'])",
        [call("echo", {"n": 1}, 1), call("echo", {"n": 2}, 2)],
    )
    assert [r["result"]["isError"] for r in run.responses] == [True, False]
    assert run.responses[1]["result"]["content"][0]["text"] == "2"


@pytest.mark.parametrize(
    "arguments_json, expected",
    [
        (None, "None"),
        (b'{"a":1,"a":2}', "{'a': 2}"),
        (b'{"i":-5,"f":1.5,"big":1e400,"t":true,"n":null,"s":"M\\u00fcller","l":[1,[2]]}',
         "{'i': -5, 'f': 1.5, 'big': inf, 't': True, 'n': None, 's': 'Müller', 'l': [1, [2]]}"),
        (b'"text"', "'text'"),
        (b"[1,2.0]", "[1, 2.0]"),
        (b"12345678901234567890123", "1.2345678901234568e+22"),
    ],
)
def test_arguments_reach_the_callable_as_python_objects(arguments_json, expected):
    params = b'{"name":"echo"' + (b',"arguments":' + arguments_json if arguments_json else b"") + b"}"
    line = b'{"jsonrpc":"2.0","id":1,"method":"tools/call","params":' + params + b"}"
    assert first_text(run_host("return 0, repr(args)", [line])) == (False, expected)


def test_invalid_utf8_in_arguments_is_reported_without_calling_the_host():
    line = b'{"id":1,"method":"tools/call","params":{"name":"echo","arguments":{"s":"\xff"}}}'
    is_error, text = first_text(run_host("raise SystemExit('host must not be called')", [line]))
    assert is_error and text.startswith("zanthe.mcp: ") and "UnicodeDecodeError" in text


def test_dispatch_receives_the_tool_name_as_str():
    tools = [("naïve", '{"name":"naïve"}', "")]
    run = run_host("return 0, type(name).__name__ + ':' + name", [call("naïve", {})], tools=tools)
    assert first_text(run) == (False, "str:naïve")


def test_the_tool_table_is_a_copy():
    source = """
import sys
from zanthe import _agent
tools = [("echo", '{"name":"echo"}', "")]
def dispatch(name, args):
    tools.clear()
    return 0, "called"
_agent.serve_stdio(tools, dispatch)
"""
    requests = b"".join(json.dumps(call("echo", {}, i)).encode() + b"\n" for i in range(2))
    proc = subprocess.run([sys.executable, "-P", "-c", source], input=requests, capture_output=True, timeout=60)
    texts = [json.loads(line)["result"]["content"][0]["text"] for line in proc.stdout.splitlines()]
    assert texts == ["called", "called"]


def test_interpreter_lock_is_released_while_waiting_on_stdin():
    source = """
import sys, threading, time
from zanthe import _agent
ticks = 0
def count():
    global ticks
    while True:
        ticks += 1
        time.sleep(0.001)
threading.Thread(target=count, daemon=True).start()
def dispatch(name, args):
    return 0, str(ticks)
_agent.serve_stdio([("ticks", '{"name":"ticks"}', "")], dispatch)
"""
    proc = subprocess.Popen([sys.executable, "-P", "-c", source], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        readings = []
        for request_id in (1, 2):
            proc.stdin.write(json.dumps(call("ticks", {}, request_id)).encode() + b"\n")
            proc.stdin.flush()
            readings.append(int(json.loads(proc.stdout.readline())["result"]["content"][0]["text"]))
            if request_id == 1:
                import time

                time.sleep(0.5)  # the server now blocks in its read of stdin
        proc.stdin.close()
        assert proc.wait(timeout=30) == 0
    finally:
        proc.kill()
    assert readings[1] - readings[0] > 50


def test_signature_parameters_accept_keywords():
    run = run_host("return 0, ''", tools=[], server_name="n", server_version="v", verbose=True)
    assert run.stderr.startswith("brellix mcp: n serving 0 tools")


@pytest.fixture(scope="module")
def comma_decimal_locale(tmp_path_factory):
    """A locale whose decimal point is a comma, compiled into a private directory (no root needed)."""
    if not shutil.which("localedef") or not Path("/usr/share/i18n/locales/de_DE").exists():
        pytest.skip("no localedef or de_DE locale source")
    directory = tmp_path_factory.mktemp("locales")
    subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(directory / "de_DE.UTF-8")], check=False)
    if not (directory / "de_DE.UTF-8").exists():
        pytest.skip("localedef could not build de_DE.UTF-8")
    return directory


def test_numbers_read_the_same_whatever_locale_the_host_has_set(comma_decimal_locale):
    prelude = f"""
    import locale, os
    os.environ["LOCPATH"] = {str(comma_decimal_locale)!r}
    locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
    assert locale.localeconv()["decimal_point"] == ","
    """
    line = b'{"jsonrpc":"2.0","id":2.5,"method":"tools/call","params":{"name":"echo","arguments":{"x":1.5,"y":-2e-3}}}'
    run = run_host("return 0, repr(args)", [line], prelude=prelude)
    (response,) = run.responses
    assert response["id"] == 2.5
    assert response["result"]["content"][0]["text"] == "{'x': 1.5, 'y': -0.002}"


def start_waiting_host(dispatch_body: str, prelude: str) -> subprocess.Popen:
    """A host that has answered one ping and is now blocked in its read of stdin."""
    source = host_source(dispatch_body, prelude=prelude)
    proc = subprocess.Popen(
        [sys.executable, "-P", "-c", source], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    proc.stdin.write(b'{"jsonrpc":"2.0","id":1,"method":"ping"}\n')
    proc.stdin.flush()
    assert json.loads(proc.stdout.readline())["id"] == 1
    time.sleep(0.5)
    return proc


def test_ctrl_c_while_waiting_on_stdin_raises_keyboard_interrupt_in_the_host():
    # The host's handlers run when a signal interrupts the wait; one that raises ends serving and its
    # exception leaves serve_stdio. Handler and mask are set explicitly: a child may inherit SIGINT
    # ignored or blocked.
    prelude = """
    import signal
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    """
    proc = start_waiting_host("return 0, ''", prelude)
    try:
        proc.send_signal(signal.SIGINT)
        stderr = b""
        deadline = time.monotonic() + 20
        while b"KeyboardInterrupt" not in stderr and time.monotonic() < deadline:  # stdin stays open
            if select.select([proc.stderr], [], [], 0.1)[0]:
                chunk = os.read(proc.stderr.fileno(), 4096)
                if not chunk:
                    break
                stderr += chunk
    finally:
        proc.kill()
        proc.stdin.close()
        proc.wait()
    assert b"KeyboardInterrupt" in stderr


def test_a_signal_whose_handler_does_not_raise_leaves_the_server_serving():
    prelude = """
    import signal
    seen = []
    signal.signal(signal.SIGUSR1, lambda number, frame: seen.append(number))
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGUSR1})
    """
    proc = start_waiting_host("return 0, str(len(seen))", prelude)
    try:
        proc.send_signal(signal.SIGUSR1)
        time.sleep(0.2)
        proc.stdin.write(json.dumps(call("echo", {}, 2)).encode() + b"\n")
        proc.stdin.close()
        response = json.loads(proc.stdout.readline())
        assert proc.wait(timeout=20) == 0
    finally:
        proc.kill()
    assert response["id"] == 2 and response["result"]["content"][0]["text"] == "1"
