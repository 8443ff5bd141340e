"""`zanthe hl7 parse` and `zanthe hl7 oru`, and the wiring of `zanthe mcp`."""

from __future__ import annotations

import io
import json
import subprocess
import sys
import types

import hl7
import pytest
from helpers.er7 import message, peer_segments

from zanthe import _hl7, cli

SAMPLE = message("PID|1||PAT-7^^^HOSP||DOE^JANE||19800101|F", "OBX|1|TX|FINDING^Findings||No acute finding.||||||F")

ORU_INPUT = {
    "config": {"our_app": "ZANTHE", "their_app": "RIS", "control_id": "42", "timestamp": "20240131093000"},
    "context": {"patient_id": "PAT-7", "patient_name": "DOE^JANE", "accession_number": "ACC-1", "modality": "CT"},
    "observations": [
        {"observation_id": "FINDING^Findings", "value": "Line one.\nLine two | with a bar."},
        {"observation_id": "IMPRESSION^Impression", "value": "Normal.", "status": "P"},
    ],
}


def stdin_of(monkeypatch: pytest.MonkeyPatch, data: bytes) -> None:
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))


@pytest.mark.parametrize("end", ["\r", "\n", "\r\n"])
def test_parse_prints_the_segments_whatever_the_line_ends(run, write_file, end):
    path = write_file("message.hl7", SAMPLE.replace("\r", end).encode())
    result = run("hl7", "parse", path)
    assert (result.code, result.err) == (0, "")
    assert json.loads(result.out) == {"segments": peer_segments(SAMPLE)}


def test_parse_reads_stdin_for_a_dash(run, monkeypatch):
    stdin_of(monkeypatch, SAMPLE.encode())
    result = run("hl7", "parse", "-")
    assert json.loads(result.out) == {"segments": _hl7.parse(SAMPLE)}


def test_parse_decodes_by_msh_18_unless_an_encoding_is_given(run, write_file):
    undeclared = write_file("latin1.hl7", message("PID|1||7||MÜLLER^JÖRG").encode("latin-1"))
    msh_18 = "2.5" + "|" * 6 + "8859/1"  # MSH-13 to MSH-17 empty
    declared = write_file("8859-1.hl7", message("PID|1||7||MÜLLER^JÖRG", version=msh_18).encode("latin-1"))
    assert run("hl7", "parse", undeclared).code == 1
    for argv in [(undeclared, "--encoding", "latin-1"), (declared,)]:
        result = run("hl7", "parse", *argv)
        assert json.loads(result.out)["segments"][1]["fields"][5] == "MÜLLER^JÖRG"


BATCH_MEMBERS = [SAMPLE, message("PID|2||PAT-8", end="\n"), message("OBX|1|TX|X||y", end="\r\n")]


@pytest.mark.parametrize("bom", [b"", b"\xef\xbb\xbf"], ids=["no_bom", "bom"])
@pytest.mark.parametrize(
    ("opening", "between", "closing"),
    [("", "\n", ""), ("FHS|^~\\&|A\rBHS|^~\\&|A\r", "", "BTS|3\rFTS|1\r")],
    ids=["one_after_another", "enveloped"],
)
def test_parse_prints_every_message_of_a_batch_file(run, write_file, bom, opening, between, closing):
    text = opening + between.join(BATCH_MEMBERS) + closing
    result = run("hl7", "parse", write_file("batch.hl7", bom + text.encode()))
    assert (result.code, result.err) == (0, "")
    assert json.loads(result.out) == {"messages": [{"segments": peer_segments(m)} for m in BATCH_MEMBERS]}


@pytest.mark.parametrize(
    ("data", "reason"),
    [
        (b"PID|1||7\r", "bad.hl7: hl7.parse: no_msh"),
        (b"MSH|^~\\&|A\xff", "bad.hl7: hl7.parse: undecodable: not utf-8 text"),
        (SAMPLE.encode() + b"MSH|^~\\&|A\r", "bad.hl7: message 2: hl7.parse: unsupported_version"),
        (None, "cannot read"),
    ],
)
def test_parse_failures_exit_with_1_and_say_why(run, write_file, tmp_path, data, reason):
    path = tmp_path / "absent.hl7" if data is None else write_file("bad.hl7", data)
    result = run("hl7", "parse", path)
    assert (result.code, result.out) == (1, "")
    assert reason in result.err


def test_an_unknown_encoding_is_a_usage_error(run, write_file):
    result = run("hl7", "parse", write_file("m.hl7", SAMPLE.encode()), "--encoding", "no-such-codec")
    assert result.code == 2 and "unknown encoding" in result.err


def test_oru_prints_the_built_message_with_cr_separators(run, write_file):
    result = run("hl7", "oru", write_file("oru.json", json.dumps(ORU_INPUT).encode()))
    assert (result.code, result.err) == (0, "")
    assert result.out == _hl7.build_oru(ORU_INPUT["config"], ORU_INPUT["context"], ORU_INPUT["observations"])
    assert "\n" not in result.out


def test_oru_with_newlines_and_parse_round_trip(run, monkeypatch, write_file):
    built = run("hl7", "oru", write_file("oru.json", json.dumps(ORU_INPUT).encode()), "--newlines").out
    assert "\r" not in built and built.endswith("\n")
    stdin_of(monkeypatch, built.encode())
    segments = json.loads(run("hl7", "parse", "-").out)["segments"]
    assert [s["id"] for s in segments] == ["MSH", "PID", "ORC", "OBR", "OBX", "OBX"]
    peer = hl7.parse(built.replace("\n", "\r"))
    assert str(peer.segment("PID")[3]) == "PAT-7"
    assert [peer.unescape(str(obx[5])) for obx in peer.segments("OBX")] == [
        observation["value"] for observation in ORU_INPUT["observations"]
    ]


def test_oru_reads_stdin_and_missing_sections_count_as_empty(run, monkeypatch):
    stdin_of(monkeypatch, b'{"context": {"patient_id": "1"}}')
    result = run("hl7", "oru", "-")
    assert result.code == 0
    assert result.out == _hl7.build_oru({}, {"patient_id": "1"}, [])


@pytest.mark.parametrize(
    ("document", "reason"),
    [
        ("{not json", "is not valid JSON"),
        ("[1, 2]", "expected an object with config, context, observations; got an array"),
        ('{"config": {}, "contexts": {}}', "unexpected key 'contexts'"),
        ('{"config": []}', "config: expected an object, got an array"),
        ('{"config": {"control_id": 42}}', "config.control_id: expected a string, got a number"),
        ('{"context": {"patient_id": null}}', "context.patient_id: expected a string, got null"),
        ('{"observations": {"value": "x"}}', "observations: expected an array, got an object"),
        ('{"observations": [{"value": "x"}, "y"]}', "observations[1]: expected an object, got a string"),
        ('{"observations": [{"value": true}]}', "observations[0].value: expected a string, got true/false"),
        ('{"context": {"patient_nmae": "X"}}', "unknown key in context: 'patient_nmae'"),
        ('{"observations": [{"value": "x", "a": "", "b": ""}]}', "unknown keys in observations[0]: 'a', 'b'"),
    ],
)
def test_oru_input_errors_exit_with_1_and_name_the_place(run, write_file, document, reason):
    result = run("hl7", "oru", write_file("in.json", document.encode()))
    assert (result.code, result.out) == (1, "")
    assert reason in result.err


@pytest.mark.parametrize(
    "argv", [["hl7"], ["hl7", "parse"], ["hl7", "oru"], ["hl7", "build", "x"], ["hl7", "oru", "x", "--crlf"]]
)
def test_hl7_usage_errors_exit_with_2(run, argv):
    result = run(*argv)
    assert result.code == 2 and "usage: zanthe" in result.err and "error:" in result.err


@pytest.mark.parametrize(
    "argv", [[], ["mcp"], ["fhir"], ["hl7"], ["hl7", "parse"], ["hl7", "oru"]], ids=lambda a: " ".join(a) or "top"
)
def test_every_command_has_help(run, argv):
    result = run(*argv, "--help")
    assert result.code == 0
    assert result.out.startswith(f"usage: zanthe {' '.join(argv)}".rstrip())


def test_oru_help_lists_every_key_the_builder_reads(run):
    help_text = run("hl7", "oru", "--help").out
    for section in _hl7.ORU_FIELDS.values():
        for key, description in section:
            assert f"  {key}" in help_text and description in help_text


def test_version(run):
    result = run("--version")
    assert (result.code, result.out.strip()) == (0, f"zanthe {cli.__version__}")


@pytest.fixture
def served_roots(monkeypatch: pytest.MonkeyPatch) -> list[list[str]]:
    """Stands in for zanthe.mcp and records the roots each serve() call is given."""
    calls: list[list[str]] = []
    fake = types.ModuleType("zanthe.mcp")
    fake.serve = lambda roots: calls.append(list(roots)) or 7  # type: ignore[attr-defined]
    monkeypatch.setitem(sys.modules, "zanthe.mcp", fake)
    monkeypatch.setattr(sys.modules["zanthe"], "mcp", fake, raising=False)
    return calls


def test_mcp_serves_the_current_folder_by_default(run, served_roots, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert run("mcp").code == 7
    assert served_roots == [[str(tmp_path)]]


def test_mcp_passes_every_root(run, served_roots, tmp_path, monkeypatch):
    (tmp_path / "a").mkdir()
    (tmp_path / "b" / "c").mkdir(parents=True)
    monkeypatch.chdir(tmp_path)
    assert run("mcp", "--root", "a", "--root", "b/c").code == 7
    assert served_roots == [["a", "b/c"]]


@pytest.mark.parametrize("root", ["absent", "file.txt"])
def test_mcp_refuses_a_root_that_is_not_a_folder(run, served_roots, tmp_path, monkeypatch, root):
    (tmp_path / "file.txt").write_text("x")
    monkeypatch.chdir(tmp_path)
    result = run("mcp", "--root", ".", "--root", root)
    assert result.code == 2 and f"--root {root}: not a folder" in result.err
    assert served_roots == []


def test_python_dash_m_zanthe_mcp_lists_its_tools_over_stdio(tmp_path):
    hello = {"protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}
    requests = [
        {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": hello},
        {"jsonrpc": "2.0", "method": "notifications/initialized"},
        {"jsonrpc": "2.0", "id": 2, "method": "tools/list"},
    ]
    child = subprocess.run(
        [sys.executable, "-P", "-m", "zanthe", "mcp", "--root", str(tmp_path)],
        input="".join(json.dumps(r) + "\n" for r in requests),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert child.returncode == 0, child.stderr
    answers = {answer["id"]: answer for answer in map(json.loads, child.stdout.splitlines())}
    names = {tool["name"] for tool in answers[2]["result"]["tools"]}
    assert names == {"dicom_to_imaging_study", "dicom_attributes", "dicom_render", "hl7_parse", "hl7_build_oru"}


def test_python_dash_m_zanthe_builds_an_oru_from_stdin():
    child = subprocess.run(
        [sys.executable, "-P", "-m", "zanthe", "hl7", "oru", "-"],
        input=json.dumps(ORU_INPUT).encode(),
        capture_output=True,
        timeout=60,
    )
    assert child.returncode == 0, child.stderr
    expected = _hl7.build_oru(ORU_INPUT["config"], ORU_INPUT["context"], ORU_INPUT["observations"])
    assert child.stdout == expected.encode()
