"""zanthe's own MCP server: DICOM to FHIR ImagingStudy and HL7 v2 tools for agents.

    python -m zanthe mcp --root /data/studies

File access is confined to the allowed root folders: a path is resolved (symbolic links, "..",
relative or absolute) and refused unless the file it names lies inside one of the roots.
"""

from __future__ import annotations

import json
import os
import stat
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Annotated, Any, TypedDict

from zanthe import __version__, archive, hl7
from zanthe._oserror import os_error_reason
from zanthe.errors import ToolError
from zanthe.fhir import zone_argument
from zanthe.server import ToolServer

__all__ = ["build_server", "serve"]


def described_record(name: str, fields: tuple[tuple[str, str], ...]) -> Any:
    """A TypedDict of optional strings whose members carry their descriptions into the tool schema."""
    members = {key: Annotated[str, description] for key, description in fields}
    return TypedDict(name, members, total=False)  # type: ignore[operator]


if TYPE_CHECKING:
    from zanthe._hl7 import OruConfig, OruContext, OruObservation
else:
    # The builder's own table of keys: the schema offers exactly what the builder accepts.
    OruConfig = described_record("OruConfig", hl7.ORU_FIELDS["config"])
    OruContext = described_record("OruContext", hl7.ORU_FIELDS["context"])
    # Callers that give every observation one record shape may carry the order's time in each; the
    # builder ignores it there, so the schema lets it through rather than failing the call.
    IGNORED_IN_OBSERVATIONS = (
        ("observation_datetime", "Ignored here: the time of the results is context.observation_datetime (OBR-7)."),
    )
    OruObservation = described_record("OruObservation", (*hl7.ORU_FIELDS["observation"], *IGNORED_IN_OBSERVATIONS))


class ConfinedFiles:
    """Opens files only inside a fixed set of root folders."""

    def __init__(self, roots: Iterable[str | os.PathLike[str]]) -> None:
        self.roots = [Path(os.path.realpath(root)) for root in roots]
        if not self.roots:
            raise ValueError("at least one root folder is needed")
        for root in self.roots:
            if not root.is_dir():
                raise ValueError(f"not a folder: {root}")

    def _inside(self, path: str) -> bool:
        return any(os.path.commonpath([path, str(root)]) == str(root) for root in self.roots)

    def resolve(self, requested: str) -> str:
        """The real path of `requested` (relative paths are taken from each root in turn)."""
        if not requested or "\x00" in requested:
            raise ToolError("empty path or NUL byte in path")
        candidates = [requested] if os.path.isabs(requested) else [str(root / requested) for root in self.roots]
        for candidate in candidates:
            real = os.path.realpath(candidate)
            if self._inside(real) and os.path.exists(real):
                return real
        for candidate in candidates:
            if not self._inside(os.path.realpath(candidate)):
                raise ToolError(f"{requested}: outside the allowed folders")
        raise ToolError(f"{requested}: no such file")

    def open_file(self, requested: str, real: str | None = None) -> int:
        """An open descriptor of the regular file `requested` names, checked to lie inside the roots."""
        real = real or self.resolve(requested)
        try:
            fd = os.open(real, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
        except OSError as error:
            raise ToolError(f"{requested}: cannot open: {error.strerror}") from None
        try:
            self._check_opened(fd, requested)
        except BaseException:
            os.close(fd)
            raise
        return fd

    def files_below(self, folder: str) -> list[str]:
        """The regular files below a resolved folder, in walk order, that really lie inside the roots."""
        problems: list[tuple[str, str]] = []
        found = archive.walk_folder(folder, None, problems)
        return [path for path in found if self._inside(os.path.realpath(path))]

    def _check_opened(self, fd: int, requested: str) -> None:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise ToolError(f"{requested}: not a regular file")
        # What was opened, not what the name pointed at when it was checked (a link swapped meanwhile).
        opened = f"/proc/self/fd/{fd}"
        if os.path.exists(opened) and not self._inside(os.path.realpath(opened)):
            raise ToolError(f"{requested}: outside the allowed folders")


def build_server(roots: Iterable[str | os.PathLike[str]]) -> ToolServer:
    files = ConfinedFiles(roots)
    server = ToolServer("zanthe", __version__)

    @server.tool
    def dicom_to_imaging_study(
        path: Annotated[
            str, "A DICOM Part 10 file, or a folder of them, relative to an allowed folder or absolute inside one."
        ],
        timezone: Annotated[
            str | None, "UTC offset (+01:00, Z) or IANA zone (Europe/Berlin) for times the files give without one."
        ] = None,
    ) -> str:
        """Convert DICOM files into FHIR R4 ImagingStudy resources (JSON).

        For a file: the ImagingStudy of its study with the study's identifiers (Study Instance UID,
        accession number, study ID), the patient reference Patient/<Patient ID>, the study date,
        description, referring physician, modality, and the file's series and instance (numbers, SOP
        Instance and Class UIDs), as a folder holding only that file gives it. For a folder:
        {"studies": [one ImagingStudy per study, with all its series and instances], "problems": [files
        that failed, duplicates, disagreements]}. Only file headers are read, so files of any size
        convert. Files that are not DICOM or have no Study Instance UID give an error result.
        """
        try:
            zone = zone_argument(timezone)
        except ValueError as error:
            raise ToolError(str(error)) from None
        real = files.resolve(path)
        if os.path.isdir(real):
            return studies_in_folder(files, real, zone)
        fd = files.open_file(path, real)
        try:
            # The descriptor's own link names the very file that was checked, whatever its path does now.
            return study_of_file(f"/proc/self/fd/{fd}", path, zone)
        finally:
            os.close(fd)

    @server.tool
    def hl7_parse(
        message: Annotated[
            str, "An HL7 v2 message in ER7 encoding (segments end in CR, LF or CR LF), or a batch of them."
        ],
    ) -> dict[str, Any]:
        """Parse an HL7 v2 message into its segments and fields.

        Returns {"segments": [{"id": "MSH", "fields": [...]}, ...]}. fields[0] is the segment ID; for
        MSH, fields[1] holds the encoding characters and fields[n] is MSH-(n+1); for other segments
        fields[n] is field n. Components, repetitions and escapes are left as written. The header,
        delimiters, version (2.3 to 2.9) and segment IDs are checked. A batch (FHS/BHS envelopes, or
        messages one after another) of several messages gives {"messages": [{"segments": [...]}, ...]}.
        """
        try:
            return hl7.batch_document(hl7.parse_batch(message))
        except hl7.ParseError as error:
            raise ToolError(error) from None

    @server.tool
    def hl7_build_oru(
        config: Annotated[OruConfig, "Message header values: sender, receiver, control ID, timestamp."],
        context: Annotated[OruContext, "Patient and order the results belong to."],
        observations: Annotated[list[OruObservation], "The results, one OBX segment each, in order."],
    ) -> str:
        """Build an HL7 v2.5 ORU^R01 result message (MSH, PID, ORC, OBR, one OBX per observation).

        Values are escaped for ER7 (CR and LF included); patient_name, ordering_provider and
        observation_id keep their ^ components. Segments are separated by CR. Absent values are
        written as empty fields.
        """
        return hl7.build_oru(config, context, observations)

    return server


def study_of_file(opened: str, requested: str, zone: Any) -> str:
    """The study-level ImagingStudy of one file, as `zanthe fhir FILE` and a folder of it give it."""
    run = archive.ArchiveRun([opened], timezone=zone, jobs=1)
    try:
        results = list(run.results())
    except OSError as error:
        raise ToolError(f"{requested}: cannot read: {os_error_reason(error)}") from None
    if not results:
        reason = run.report.failures[0][1] if run.report.failures else "no ImagingStudy"
        raise ToolError(f"{requested}: {reason}")
    return results[0].study_json


def studies_in_folder(files: ConfinedFiles, folder: str, zone: Any) -> str:
    """One ImagingStudy per study of the files below `folder`, with the problems met, as JSON text."""
    paths = files.files_below(folder)
    if not paths:
        raise ToolError(f"{folder}: no files in this folder")
    run = archive.ArchiveRun(paths, timezone=zone)
    studies = [json.loads(result.study_json) for result in run.results()]
    problems = [f"{name}: {reason}" for name, reason in run.report.failures]
    problems += run.report.duplicates + run.report.conflicts
    return json.dumps({"studies": studies, "problems": problems}, ensure_ascii=False, separators=(",", ":"))


def serve(roots: Iterable[str | os.PathLike[str]] | None = None, verbose: bool = False) -> int:
    """Serve zanthe's tools over stdin and stdout until stdin ends."""
    return build_server(list(roots) if roots else [os.getcwd()]).run(verbose)


def tool_definitions(roots: Iterable[str | os.PathLike[str]] | None = None) -> list[dict[str, Any]]:
    """The tools/list entries, for documentation and tests."""
    server = build_server(list(roots) if roots else [os.getcwd()])
    return [json.loads(definition) for _, definition, _ in server.tool_table()]
