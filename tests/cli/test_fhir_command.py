"""`zanthe fhir`: batches of DICOM files to ImagingStudy JSON, on stdout or into a folder."""

from __future__ import annotations

import io
import json
import os
import subprocess
import sys
from pathlib import Path, PurePath

import pytest
from cli_inputs import BAD_FILES, GOOD_FILES, dicom_bytes

from zanthe import _fhir, archive, cli


def expected_lines(root: Path, names: list[str]) -> list[str]:
    return [_fhir.imaging_study((root / name).read_bytes()) for name in names]


def failed_names(err: str) -> list[str]:
    """The inputs listed under the failure summary, relative paths as given on the command line."""
    listed = err.split("inputs failed:\n", 1)[1].splitlines()
    return [line.strip().split(": ", 1)[0] for line in listed]


def test_per_file_a_folder_gives_one_line_per_good_file_in_walk_order_and_lists_the_failures(run, mixed_tree):
    result = run("fhir", "--per-file", mixed_tree)
    lines = result.out.splitlines()
    assert lines == expected_lines(mixed_tree, GOOD_FILES)
    assert all(json.loads(line)["resourceType"] == "ImagingStudy" for line in lines)
    assert result.code == 1
    assert f"{len(BAD_FILES)} of {len(GOOD_FILES) + len(BAD_FILES)} inputs failed" in result.err
    assert failed_names(result.err) == [str(mixed_tree / name) for name in BAD_FILES]


def test_each_failure_carries_the_converters_reason(run, mixed_tree):
    err = run("fhir", mixed_tree).err
    reasons = dict(line.strip().split(": ", 1) for line in err.split("inputs failed:\n", 1)[1].splitlines())
    for name in BAD_FILES:
        with pytest.raises(RuntimeError) as raised:
            _fhir.imaging_study((mixed_tree / name).read_bytes())
        assert reasons[str(mixed_tree / name)] == str(raised.value)


def test_files_convert_in_the_order_given(run, mixed_tree):
    names = ["b/IM0001", "a/IM0001", "a/IM0002.dcm"]
    result = run("fhir", "--per-file", *(mixed_tree / name for name in names))
    assert (result.code, result.err) == (0, "")
    assert result.out.splitlines() == expected_lines(mixed_tree, names)


def test_per_file_output_folder_mirrors_the_inputs_and_keeps_same_named_files_apart(run, mixed_tree, tmp_path):
    out = tmp_path / "out"
    result = run("fhir", "--per-file", mixed_tree, mixed_tree / "a" / "IM0001", "--output", out)
    assert result.code == 1 and result.out == ""
    written = sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file())
    assert written == ["IM0001.json", "studies/a/IM0001.json", "studies/a/IM0002.json", "studies/b/IM0001.json"]
    for source, target in [("a/IM0001", "studies/a/IM0001.json"), ("b/IM0001", "studies/b/IM0001.json")]:
        text = (out / target).read_text(encoding="utf-8")
        assert text == _fhir.imaging_study((mixed_tree / source).read_bytes()) + "\n"
    assert (out / "IM0001.json").read_text() == (out / "studies/a/IM0001.json").read_text()


def test_an_output_folder_inside_the_input_folder_is_not_read_back(run, mixed_tree):
    out = mixed_tree / "json"
    first = run("fhir", mixed_tree, "-o", out)
    second = run("fhir", mixed_tree, "-o", out)
    assert failed_names(second.err) == failed_names(first.err)
    assert len(list(out.rglob("*.json"))) == len(GOOD_FILES)


@pytest.mark.parametrize(
    ("names", "expected"),
    [
        (["x.dcm", "x.DICOM", "IM1", "a.b.dcm"], ["x.json", "x-2.json", "IM1.json", "a.b.json"]),
        (["d/x", "d/x.dcm", "e/x"], ["d/x.json", "d/x-2.json", "e/x.json"]),
        (["x", "x-2", "x"], ["x.json", "x-2.json", "x-3.json"]),
    ],
)
def test_output_names_are_unique_and_the_first_keeps_its_name(names, expected):
    sources = [archive.Source(Path(name), archive.json_name(PurePath(name))) for name in names]
    assert [str(s.output_name) for s in archive.with_unique_names(sources)] == expected


def test_jobs_give_the_same_output_as_one_process(run, mixed_tree, write_file, tmp_path):
    for number in range(20, 60):
        write_file(f"studies/c/IM{number:04}", dicom_bytes(number, implicit=number % 2 == 0))
    one, four = run("fhir", mixed_tree, "--jobs", "1"), run("fhir", mixed_tree, "--jobs", "4")
    assert (four.code, four.out, four.err) == (one.code, one.out, one.err)
    assert len(four.out.splitlines()) == len(GOOD_FILES) + 40
    run("fhir", mixed_tree, "--per-file", "-j", "1", "-o", tmp_path / "one")
    run("fhir", mixed_tree, "--per-file", "-j", "3", "-o", tmp_path / "three")
    assert folder_contents(tmp_path / "one") == folder_contents(tmp_path / "three")


def folder_contents(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


def test_a_missing_input_is_a_failure_that_does_not_stop_the_others(run, mixed_tree, tmp_path):
    result = run("fhir", tmp_path / "absent.dcm", mixed_tree / "a")
    assert result.code == 1
    assert len(result.out.splitlines()) == 2
    assert f"{tmp_path / 'absent.dcm'}: no such file or folder" in result.err


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["fhir"],
        ["fhir", "{tree}", "--jobs", "0"],
        ["fhir", "{tree}", "--jobs", "many"],
        ["fhir", "{tree}", "--colour"],
        ["fhir", "{tmp}/absent"],
        ["fhir", "{tmp}/empty"],
        ["fhir", "{tree}", "--output", "{tree}/notes.txt"],
        ["convert", "{tree}"],
    ],
)
def test_usage_errors_and_no_input_files_exit_with_2(run, mixed_tree, tmp_path, argv):
    (tmp_path / "empty" / ".hidden").mkdir(parents=True)
    result = run(*(a.format(tree=mixed_tree, tmp=tmp_path) for a in argv))
    assert result.code == 2
    assert result.out == ""
    assert "usage: zanthe" in result.err and "error:" in result.err


def test_a_folder_holding_only_hidden_entries_counts_as_no_input(run, tmp_path):
    (tmp_path / "only_hidden" / ".git").mkdir(parents=True)
    (tmp_path / "only_hidden" / ".git" / "IM1").write_bytes(dicom_bytes(1))
    result = run("fhir", tmp_path / "only_hidden")
    assert result.code == 2 and "no input files found" in result.err


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize("terminal", [True, False])
def test_the_progress_bar_is_drawn_only_on_a_terminal(mixed_tree, monkeypatch, capsys, terminal):
    stderr = Terminal() if terminal else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stderr)
    assert cli.main(["fhir", str(mixed_tree)]) == 1
    drawn = f"] {len(GOOD_FILES) + len(BAD_FILES)}/{len(GOOD_FILES) + len(BAD_FILES)} files" in stderr.getvalue()
    assert drawn == terminal
    assert "\r" not in capsys.readouterr().out


@pytest.mark.parametrize(
    ("argv", "stdout_is_terminal"),
    [(["--no-progress"], False), ([], True), (["--output", "{tmp}/out"], True)],
)
def test_the_bar_stays_off_when_asked_or_when_the_results_share_the_screen(
    mixed_tree, monkeypatch, tmp_path, argv, stdout_is_terminal
):
    stderr = Terminal()
    monkeypatch.setattr(sys, "stderr", stderr)
    monkeypatch.setattr(sys, "stdout", Terminal() if stdout_is_terminal else io.StringIO())
    cli.main(["fhir", str(mixed_tree), *(a.format(tmp=tmp_path) for a in argv)])
    drawn = " files" in stderr.getvalue().split("inputs failed")[0]
    assert drawn == ("--output" in argv)


def run_module(*argv: str | Path, cwd: Path) -> subprocess.CompletedProcess[str]:
    command = [sys.executable, "-P", "-m", "zanthe", *map(str, argv)]
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=120, env=os.environ.copy())


def test_python_dash_m_zanthe_converts_a_tree_with_worker_threads(run, mixed_tree, tmp_path):
    in_process = run("fhir", mixed_tree)
    child = run_module("fhir", "studies", "--jobs", "2", cwd=tmp_path)
    assert child.returncode == 1
    assert child.stdout == in_process.out
    assert failed_names(child.stderr) == [str(Path("studies") / name) for name in BAD_FILES]


def test_a_folder_that_cannot_be_listed_is_a_failure(run, mixed_tree, monkeypatch):
    locked, real_scandir = mixed_tree / "b", os.scandir

    def scandir(path):  # what a folder without read permission gives (root would still list it)
        if os.fspath(path) == str(locked):
            raise PermissionError(13, "Permission denied", os.fspath(path))
        return real_scandir(path)

    monkeypatch.setattr(os, "scandir", scandir)
    result = run("fhir", "--per-file", mixed_tree)
    assert result.code == 1
    assert result.out.splitlines() == expected_lines(mixed_tree, ["a/IM0001", "a/IM0002.dcm"])
    assert f"{locked}: cannot list folder: Permission denied" in result.err


def test_links_to_folders_are_not_followed_so_a_loop_ends(run, mixed_tree):
    (mixed_tree / "a" / "loop").symlink_to(mixed_tree, target_is_directory=True)
    (mixed_tree / "b" / "linked.dcm").symlink_to(mixed_tree / "a" / "IM0001")
    result = run("fhir", "--per-file", mixed_tree)
    names = ["a/IM0001", "a/IM0002.dcm", "b/IM0001", "b/linked.dcm"]
    assert result.out.splitlines() == expected_lines(mixed_tree, names)


@pytest.mark.parametrize("zone", [[], ["--timezone", "Europe/Berlin"]])
def test_local_times_without_a_zone_are_announced_once(run, write_file, tmp_path, zone):
    import pydicom

    for number in (1, 2):
        ds = pydicom.dcmread(io.BytesIO(dicom_bytes(number)))
        ds.StudyTime = "093000"
        write_file(f"timed/IM{number}", to_bytes(ds))
    result = run("fhir", tmp_path / "timed", *zone)
    assert result.code == 0
    assert result.err.count("local time without a UTC offset") == (0 if zone else 1)
    assert all(json.loads(line)["started"].endswith("+01:00" if zone else "T09:30:00") for line in result.out.splitlines())


def to_bytes(ds) -> bytes:
    out = io.BytesIO()
    ds.save_as(out, enforce_file_format=True)
    return out.getvalue()
