"""`zanthe mcp` flags: what they hand to the server, and the usage errors of the ones that are wrong."""

from __future__ import annotations

import json
import ssl
import subprocess
import sys
import types
import urllib.error
import urllib.request
from pathlib import Path
from typing import Any

import pytest

from helpers.tls import self_signed_certificate
from zanthe import cli


@pytest.fixture
def run(capsys: pytest.CaptureFixture[str]) -> Any:
    """`zanthe ARGS...` in this process: (exit code, stderr)."""

    def call(*argv: str | Path) -> Any:
        code = cli.main([str(a) for a in argv])
        return types.SimpleNamespace(code=code, err=capsys.readouterr().err)

    return call


@pytest.fixture
def served(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> list[dict[str, Any]]:
    """Stands in for zanthe.mcp, in a folder with token files; records what each serve() call is given."""
    calls: list[dict[str, Any]] = []
    fake = types.ModuleType("zanthe.mcp")
    fake.serve = lambda roots, **options: calls.append({"roots": roots, **options}) or 0  # type: ignore[attr-defined]
    monkeypatch.setitem(sys.modules, "zanthe.mcp", fake)
    monkeypatch.setattr(sys.modules["zanthe"], "mcp", fake, raising=False)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tokens").write_text("# issued 2026-12-01\n\n  s3cret-one  \nsecond.token\n")
    (tmp_path / "empty").write_text("")
    (tmp_path / "comments").write_text("# none yet\n\n   \n")
    (tmp_path / "spaced").write_text("two words\n")
    return calls


def test_http_flags_reach_the_server(run, served, tmp_path):
    cert, key = self_signed_certificate(tmp_path)
    argv = ["mcp", "--http", "0.0.0.0:8443", "--allowed-origin", "https://app.example", "--allowed-origin",
            "http://localhost:3000", "--auth-token-file", "tokens", "--auth-server", "https://auth.example/realm",
            "--tls", "--cert", cert, "--key", key, "--hl7-destination", "ris=ris.example:2575",
            "--hl7-destination", "lab.v2-test=[::1]:6661"]  # fmt: skip
    assert run(*argv).code == 0
    (options,) = served
    assert isinstance(options.pop("tls"), ssl.SSLContext)
    assert options == {
        "roots": [str(tmp_path)],
        "http": "0.0.0.0:8443",
        "allowed_origins": ["https://app.example", "http://localhost:3000"],
        "auth_tokens": ["s3cret-one", "second.token"],
        "auth_server": "https://auth.example/realm",
        "destinations": {"ris": ("ris.example", 2575), "lab.v2-test": ("::1", 6661)},
    }


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["--http", "8000"], {"http": "8000"}),
        (["--http", "[::]:8000", "--allow-unauthenticated"], {"http": "[::]:8000", "allow_unauthenticated": True}),
        ([], {}),  # stdio: the server's own defaults
    ],
)
def test_left_out_flags_keep_the_servers_defaults(run, served, tmp_path, argv, expected):
    assert run("mcp", *argv).code == 0
    assert served == [{"roots": [str(tmp_path)], **expected}]


@pytest.mark.parametrize(
    "argv, error",
    [
        (["--tls"], "--tls needs --http"),
        (["--allowed-origin", "https://app.example"], "--allowed-origin needs --http"),
        (["--auth-token-file", "tokens"], "--auth-token-file needs --http"),
        (["--allow-unauthenticated"], "--allow-unauthenticated needs --http"),
        (["--http", "host:port"], "--http host:port: expected HOST:PORT"),
        (["--http", "70000"], "--http 70000: expected"),
        (["--http", "::1:8000"], "--http ::1:8000: expected"),
        (["--http", "0.0.0.0:8000"], "0.0.0.0 is not a loopback address; give --auth-token-file"),
        (["--http", "8000", "--auth-token-file", "empty"], "--auth-token-file empty: holds no token"),
        (["--http", "8000", "--auth-token-file", "comments"], "--auth-token-file comments: holds no token"),
        (["--http", "8000", "--auth-token-file", "spaced"], "a token holds a space"),
        (["--http", "8000", "--auth-token-file", "absent"], "--auth-token-file absent: cannot read"),
        (["--http", "8000", "--allowed-origin", "app.example"], "--allowed-origin app.example: expected an origin"),
        (["--http", "8000", "--allowed-origin", "https://app.example/"], "expected an origin"),
        (["--http", "8000", "--auth-server", "ftp://auth.example"], "--auth-server ftp://auth.example: expected"),
        (["--http", "8000", "--tls"], "--tls needs --cert and --key"),
        (["--http", "8000", "--cert", "cert.pem"], "--cert and --key need --tls"),
        (["--http", "8000", "--tls", "--cert", "absent", "--key", "absent"], "cannot load the TLS certificate"),
        (["--hl7-destination", "ris"], "--hl7-destination ris: expected NAME=HOST:PORT"),
        (["--hl7-destination", "=ris.example:2575"], "expected NAME=HOST:PORT"),
        (["--hl7-destination", "r/s=ris.example:2575"], "NAME of letters, digits"),
        (["--hl7-destination", "ris=ris.example"], "--hl7-destination ris=ris.example: expected HOST:PORT"),
        (["--hl7-destination", "ris=ris.example:0"], "a port from 1 to 65535"),
        (["--hl7-destination", "ris=a:1", "--hl7-destination", "ris=b:2"], "the name ris is given twice"),
    ],
)
def test_wrong_flags_are_usage_errors(run, served, argv, error):
    result = run("mcp", *argv)
    last_line = result.err.splitlines()[-1]
    assert result.code == 2 and result.err.startswith("usage: zanthe mcp")
    assert last_line.startswith("zanthe mcp: error: ") and error in last_line
    assert served == []


def post(url: str, body: dict[str, Any], token: str | None) -> tuple[int, dict[str, Any] | None]:
    headers = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream"}
    if token is not None:
        headers["Authorization"] = f"Bearer {token}"
    request = urllib.request.Request(url, json.dumps(body).encode(), headers)
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            text = response.read().decode()
            status = response.status
    except urllib.error.HTTPError as error:
        return error.code, None
    data = [line[5:] for line in text.splitlines() if line.startswith("data:")]  # an event stream's last event
    return status, json.loads(data[-1] if data else text)


@pytest.mark.timeout(60)
def test_zanthe_mcp_serves_http_to_the_holders_of_its_tokens(tmp_path):
    (tmp_path / "tokens").write_text("# for the tests\ns3cret\n")
    argv = [sys.executable, "-P", "-m", "zanthe", "mcp", "--root", str(tmp_path), "--http", "127.0.0.1:0",
            "--auth-token-file", str(tmp_path / "tokens"), "--hl7-destination", "ris=127.0.0.1:2575"]  # fmt: skip
    with subprocess.Popen(argv, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True) as child:
        try:
            banner = child.stderr.readline()
            if not banner.startswith("zanthe mcp: serving 6 tools at http://127.0.0.1:"):
                pytest.fail(banner + child.stderr.read())
            url = banner.split(" at ")[1].strip()
            listing = {"jsonrpc": "2.0", "id": 1, "method": "tools/list"}
            assert post(url, listing, None) == (401, None)
            assert post(url, listing, "wrong") == (401, None)
            status, answer = post(url, listing, "s3cret")
            assert status == 200 and "hl7_send" in {tool["name"] for tool in answer["result"]["tools"]}
        finally:
            child.terminate()
        assert child.wait(timeout=30) == 0
