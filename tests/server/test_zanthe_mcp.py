"""zanthe's own MCP server: its tools, confined file access, and the official SDK client over stdio."""

import asyncio
import json
import os
import shutil
import sys
from pathlib import Path

import pytest
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client

from helpers.child_env import child_env
from pydicom.data import get_testdata_file

from zanthe import _hl7, cli
from zanthe.mcp import ConfinedFiles, build_server, tool_definitions

DATA = Path(__file__).resolve().parents[2] / "examples" / "data"
SAMPLE_DCM = DATA / "sample_ct.dcm"
SAMPLE_HL7 = DATA / "sample_adt.hl7"


@pytest.fixture
def tree(tmp_path):
    """root/ with a DICOM file, a sub folder and links; outside/ with a secret file."""
    root, outside = tmp_path / "root", tmp_path / "outside"
    (root / "sub").mkdir(parents=True)
    outside.mkdir()
    shutil.copy(SAMPLE_DCM, root / "ct.dcm")
    shutil.copy(SAMPLE_DCM, root / "sub" / "nested.dcm")
    shutil.copy(SAMPLE_DCM, outside / "secret.dcm")
    (root / "escape.dcm").symlink_to(outside / "secret.dcm")
    (root / "inner_link.dcm").symlink_to(root / "sub" / "nested.dcm")
    (root / "outside_dir").symlink_to(outside)
    os.mkfifo(root / "pipe.dcm")
    return root, outside


@pytest.mark.parametrize(
    "requested, error",
    [
        ("ct.dcm", None),
        ("sub/nested.dcm", None),
        ("sub/../ct.dcm", None),
        ("inner_link.dcm", None),
        ("{root}/ct.dcm", None),
        ("../outside/secret.dcm", "outside the allowed folders"),
        ("{outside}/secret.dcm", "outside the allowed folders"),
        ("escape.dcm", "outside the allowed folders"),
        ("outside_dir/secret.dcm", "outside the allowed folders"),
        ("/etc/passwd", "outside the allowed folders"),
        ("missing.dcm", "no such file"),
        ("sub", "not a regular file"),
        ("pipe.dcm", "not a regular file"),
        ("", "empty path"),
        ("ct.dcm\x00x", "NUL byte"),
    ],
)
def test_file_access_is_confined_to_the_roots(tree, requested, error):
    root, outside = tree
    files = ConfinedFiles([root])
    requested = requested.format(root=root, outside=outside)
    if error is None:
        assert read_confined(files, requested) == SAMPLE_DCM.read_bytes()
    else:
        with pytest.raises(Exception, match=error):
            read_confined(files, requested)


def read_confined(files: ConfinedFiles, requested: str) -> bytes:
    with os.fdopen(files.open_file(requested), "rb") as opened:
        return opened.read()


def test_relative_paths_are_looked_up_in_every_root(tree, tmp_path):
    root, outside = tree
    files = ConfinedFiles([tmp_path / "outside", root])
    assert read_confined(files, "sub/nested.dcm") == SAMPLE_DCM.read_bytes()
    assert read_confined(files, "secret.dcm") == SAMPLE_DCM.read_bytes()


def test_roots_must_be_folders(tmp_path):
    with pytest.raises(ValueError):
        ConfinedFiles([tmp_path / "absent"])
    with pytest.raises(ValueError):
        ConfinedFiles([])


TOOL_NAMES = ["dicom_to_imaging_study", "dicom_attributes", "dicom_render", "hl7_parse", "hl7_build_oru"]


def test_tool_list_has_schemas_and_descriptions():
    definitions = {d["name"]: d for d in tool_definitions([DATA])}
    assert list(definitions) == TOOL_NAMES
    for definition in definitions.values():
        assert len(definition["description"]) > 40
        assert definition["inputSchema"]["type"] == "object"
    oru = definitions["hl7_build_oru"]["inputSchema"]
    assert oru["required"] == ["config", "context", "observations"]
    assert oru["properties"]["observations"]["items"]["properties"]["status"]["type"] == "string"
    assert oru["properties"]["config"]["additionalProperties"] is False


def test_dicom_tool_answers_a_file_with_the_study_resource_the_command_line_gives(tree, capsys):
    root, _ = tree
    code, output = build_server([root]).dispatch("dicom_to_imaging_study", {"path": "ct.dcm"})
    assert cli.main(["fhir", "--no-progress", str(root / "ct.dcm")]) == 0
    assert (code, output + "\n") == (0, capsys.readouterr().out)
    series = json.loads(output)["series"][0]
    assert series["numberOfInstances"] == 1 and "number" in series["instance"][0]


def test_undeclared_latin1_text_is_read_as_iso_8859_1(tmp_path):
    data = SAMPLE_DCM.read_bytes().replace(b"CT Chest without contrast", b"CT Ch\xe9st without contrast")
    (tmp_path / "latin1.dcm").write_bytes(data)
    code, output = build_server([tmp_path]).dispatch("dicom_to_imaging_study", {"path": "latin1.dcm"})
    assert code == 0 and json.loads(output)["description"] == "CT Chést without contrast"


@pytest.mark.parametrize(
    "make_file, message",
    [
        (lambda p: p.write_bytes(b"not dicom at all"), "no readable DICOM dataset"),
        (lambda p: shutil.copy(get_testdata_file("no_meta.dcm"), p), "no readable DICOM dataset"),
        (lambda p: p.write_bytes(SAMPLE_DCM.read_bytes()[:400]), "missing StudyInstanceUID"),
    ],
)
def test_unusable_files_give_error_results_and_serving_goes_on(tmp_path, make_file, message):
    make_file(tmp_path / "file.dcm")
    server = build_server([tmp_path])
    code, output = server.dispatch("dicom_to_imaging_study", {"path": "file.dcm"})
    assert code == 1 and message in output
    shutil.copy(SAMPLE_DCM, tmp_path / "good.dcm")
    assert server.dispatch("dicom_to_imaging_study", {"path": "good.dcm"})[0] == 0


def test_hl7_tools_match_the_native_functions():
    server = build_server([DATA])
    text = SAMPLE_HL7.read_text()
    code, output = server.dispatch("hl7_parse", {"message": text})
    assert code == 0 and json.loads(output) == {"segments": _hl7.parse(text)}
    assert server.dispatch("hl7_parse", {"message": "PID|1"}) == (1, "hl7_parse: hl7.parse: no_msh")
    request = json.loads((DATA / "sample_oru_request.json").read_text())
    code, output = server.dispatch("hl7_build_oru", request)
    assert (code, output) == (0, _hl7.build_oru(request["config"], request["context"], request["observations"]))
    code, output = server.dispatch("hl7_build_oru", {**request, "observations": [{"value": 5}]})
    assert code == 1 and "value: expected a string" in output


async def converse(root: Path):
    env = child_env()
    params = StdioServerParameters(command=sys.executable, args=["-P", "-m", "zanthe", "mcp", "--root", str(root)],
                                   env=env)
    async with stdio_client(params) as (read, write), ClientSession(read, write) as session:
        await session.initialize()
        listed = await session.list_tools()
        request = json.loads((DATA / "sample_oru_request.json").read_text())
        answers = [
            await session.call_tool("dicom_to_imaging_study", {"path": "sample_ct.dcm"}),
            await session.call_tool("dicom_to_imaging_study", {"path": "../../etc/passwd"}),
            await session.call_tool("hl7_parse", {"message": SAMPLE_HL7.read_text()}),
            await session.call_tool("hl7_build_oru", request),
        ]
        return listed, answers


def structured(result):
    return getattr(result, "structured_content", getattr(result, "structuredContent", None))


def is_error(result):
    return getattr(result, "is_error", getattr(result, "isError", None))


def test_sdk_client_drives_python_m_zanthe_mcp():
    listed, (study, refused, parsed, built) = asyncio.run(asyncio.wait_for(converse(DATA), timeout=60))
    assert [tool.name for tool in listed.tools] == TOOL_NAMES
    assert structured(study)["resourceType"] == "ImagingStudy" and not is_error(study)
    assert is_error(refused) and "outside the allowed folders" in refused.content[0].text
    assert structured(parsed)["segments"][0]["id"] == "MSH"
    assert built.content[0].text.startswith("MSH|^~\\&|ZANTHE|DEMO|RIS|HOSPITAL|")


def sparse_multiframe(path: Path, study_uid: str, size: int) -> None:
    """An instance whose pixel data make the file `size` bytes long, as a hole that costs no disk."""
    from pydicom.dataset import Dataset, FileMetaDataset
    from pydicom.uid import ExplicitVRLittleEndian

    ds = Dataset()
    ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.SOPInstanceUID = study_uid, study_uid + ".1", study_uid + ".1.1"
    ds.SOPClassUID, ds.Modality = "1.2.840.10008.5.1.4.1.1.2.1", "CT"
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID, ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPClassUID, ds.SOPInstanceUID
    ds.save_as(path, enforce_file_format=True)
    header = path.stat().st_size + 12
    with path.open("ab") as file:  # (7FE0,0010) OW with its length; the value itself stays a hole
        file.write(b"\xe0\x7f\x10\x00OW\x00\x00" + (size - header).to_bytes(4, "little"))
    os.truncate(path, size)


def test_files_over_a_gibibyte_convert_from_their_header_and_folders_give_one_resource_per_study(tmp_path):
    sparse_multiframe(tmp_path / "huge.dcm", "1.2.826.0.1.3680043.8.498.901", (1 << 30) + (1 << 28))
    shutil.copy(SAMPLE_DCM, tmp_path / "ct.dcm")
    shutil.copy(SAMPLE_DCM, tmp_path / "ct-copy.dcm")
    server = build_server([tmp_path])
    code, output = server.dispatch("dicom_to_imaging_study", {"path": "huge.dcm"})
    assert code == 0 and json.loads(output)["id"] == "1.2.826.0.1.3680043.8.498.901"
    code, output = server.dispatch("dicom_to_imaging_study", {"path": ".", "timezone": "Europe/Berlin"})
    assert code == 0
    answer = json.loads(output)
    assert sorted(study["numberOfInstances"] for study in answer["studies"]) == [1, 1]
    assert any("counted once" in problem for problem in answer["problems"])  # the copy is one instance
