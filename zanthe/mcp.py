"""zanthe's own MCP server: DICOM to FHIR ImagingStudy and HL7 v2 tools for agents.

    python -m zanthe mcp --root /data/studies --hl7-destination ris=ris.example:2575 \
        --dicom-destination pacs=PACS@pacs.example:104

File access is confined to the allowed root folders: a path is resolved (symbolic links, "..",
relative or absolute) and refused unless the file it names lies inside one of the roots. Messages
go only to the destinations the command line names: the model picks a name, never an address.
"""

from __future__ import annotations

import json
import os
import stat
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Annotated, Any, Literal, TypedDict

from zanthe import __version__, archive, hl7
from zanthe._oserror import os_error_reason
from zanthe.errors import ToolError
from zanthe.fhir import zone_argument
from zanthe.server import Context, Image, ToolServer

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

Destinations = Mapping[str, tuple[str, int]]  # name -> (host, port)
DicomDestinations = Mapping[str, tuple[str, str, int]]  # name -> (called AE title, host, port)

# What every tool but hl7_send does: reads its arguments (and allowed files) and answers, nothing else.
READS_ONLY = {"readOnlyHint": True, "destructiveHint": False, "idempotentHint": True, "openWorldHint": False}
# hl7_send hands a message to a system outside: it adds, never deletes, and a repeat is a second message.
SENDS = {"readOnlyHint": False, "destructiveHint": False, "idempotentHint": False, "openWorldHint": True}
SEND_TIMEOUT = 30.0  # seconds for the whole delivery: connecting, resending, waiting for the ACK
SEND_ATTEMPTS = 3
CANCEL_POLL = 0.2  # seconds between looks at whether the client has gone
RENDER_MAX_SIZE = 1024  # pixels on the larger side of a rendered image: enough to read, small to send


# --- output schemas: the shapes the tools answer with (FHIR members are closed sets in JSON)

FhirElement = dict[str, Any]  # Identifier, Coding, Reference, CodeableConcept, ... as FHIR R4 defines them


class ImagingStudyInstance(TypedDict, total=False):
    id: str
    extension: list[FhirElement]
    modifierExtension: list[FhirElement]
    uid: str
    sopClass: FhirElement
    number: int
    title: str


class ImagingStudySeries(TypedDict, total=False):
    id: str
    extension: list[FhirElement]
    modifierExtension: list[FhirElement]
    uid: str
    number: int
    modality: FhirElement
    description: str
    numberOfInstances: int
    endpoint: list[FhirElement]
    bodySite: FhirElement
    laterality: FhirElement
    specimen: list[FhirElement]
    started: str
    performer: list[FhirElement]
    instance: list[ImagingStudyInstance]


class _ImagingStudyMembers(TypedDict, total=False):
    id: str
    meta: FhirElement
    implicitRules: str
    language: str
    text: FhirElement
    contained: list[FhirElement]
    extension: list[FhirElement]
    modifierExtension: list[FhirElement]
    identifier: list[FhirElement]
    status: str
    modality: list[FhirElement]
    subject: FhirElement
    encounter: FhirElement
    started: str
    basedOn: list[FhirElement]
    referrer: FhirElement
    interpreter: list[FhirElement]
    endpoint: list[FhirElement]
    numberOfSeries: int
    numberOfInstances: int
    procedureReference: FhirElement
    procedureCode: list[FhirElement]
    location: FhirElement
    reasonCode: list[FhirElement]
    reasonReference: list[FhirElement]
    note: list[FhirElement]
    description: str
    series: list[ImagingStudySeries]


class ImagingStudy(_ImagingStudyMembers):
    """A FHIR R4 ImagingStudy resource."""

    resourceType: Literal["ImagingStudy"]


class StudiesAnswer(_ImagingStudyMembers, total=False):
    """For a file, its ImagingStudy (resourceType and the resource's members); for a folder, studies
    and problems. One object type for both, as clients of the handshake era need an object schema."""

    resourceType: Annotated[Literal["ImagingStudy"], "Present when a file was converted."]
    studies: Annotated[list[ImagingStudy], "For a folder: one ImagingStudy per study found."]
    problems: Annotated[list[str], "For a folder: files that failed, instances met twice, values that disagree."]


class DicomAttribute(TypedDict, total=False):
    """One attribute of the DICOM JSON model."""

    vr: Annotated[str, "The value representation (PN, DA, US, SQ, OB, ...)."]
    Value: Annotated[list[Any], "The values; for SQ one object of attributes per item, for PN component groups."]
    InlineBinary: Annotated[str, "A binary value in base64, when short enough."]


class RenderedFrame(TypedDict):
    """What a rendered image shows."""

    rows: Annotated[int, "Rows of the file's frames."]
    columns: Annotated[int, "Columns of the file's frames."]
    frames: Annotated[int, "Number of frames in the file."]
    width: Annotated[int, "Width of the image sent, after shrinking."]
    height: Annotated[int, "Height of the image sent, after shrinking."]
    window: Annotated[list[float] | None, "The window [center, width] applied; null for colour and VOI LUTs."]
    photometric: Annotated[str, "The file's Photometric Interpretation (MONOCHROME2, RGB, PALETTE COLOR, ...)."]


class ParsedSegment(TypedDict):
    id: Annotated[str, "The segment ID (MSH, PID, ...)."]
    fields: Annotated[list[str], "fields[0] is the ID; then the fields as written, escapes and all."]


class ParsedMessage(TypedDict):
    segments: list[ParsedSegment]


class ParsedText(TypedDict, total=False):
    """One message's segments, or the messages of a batch of several."""

    segments: Annotated[list[ParsedSegment], "The segments of the one message given."]
    messages: Annotated[list[ParsedMessage], "The messages of a batch of several, in order."]


class Acknowledgment(TypedDict):
    code: Annotated[str, "MSA-1: AA accepted, AE error, AR rejected (CA, CE, CR: commit acknowledgments)."]
    control_id: Annotated[str, "MSA-2: the control ID (MSH-10) of the message acknowledged."]
    text: Annotated[str, "MSA-3: the receiver's text about the message, often empty."]


class EchoAnswer(TypedDict):
    status: Annotated[int, "The C-ECHO response status: 0 when the peer answered success."]
    milliseconds: Annotated[float, "Time from connecting to the release of the association."]


class SentInstance(TypedDict):
    path: Annotated[str, "The file sent."]
    sop_instance_uid: Annotated[str, "Its SOP Instance UID (empty when the file could not be read)."]
    status: Annotated[int | None, "The C-STORE response status (0 stored, B000/B006/B007 warnings); null: not sent."]
    comment: Annotated[str, "The peer's error comment, or why the file was not sent."]


class SendAnswer(TypedDict):
    delivered: Annotated[int, "Instances the peer stored (status 0 or a warning)."]
    failed: Annotated[int, "Instances not stored: refused, failed, or never sent."]
    instances: list[SentInstance]


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


def build_server(
    roots: Iterable[str | os.PathLike[str]],
    destinations: Destinations | None = None,
    dicom_destinations: DicomDestinations | None = None,
) -> ToolServer:
    """zanthe's tools over files below `roots`; hl7_send too when there are `destinations`, and
    dicom_echo and dicom_send when there are `dicom_destinations`."""
    files = ConfinedFiles(roots)
    server = ToolServer("zanthe", __version__)

    @server.tool(title="DICOM to FHIR ImagingStudy", annotations=READS_ONLY)
    def dicom_to_imaging_study(
        path: Annotated[
            str, "A DICOM file, or a folder of them, relative to an allowed folder or absolute inside one."
        ],
        timezone: Annotated[
            str | None, "UTC offset (+01:00, Z) or IANA zone (Europe/Berlin) for times the files give without one."
        ] = None,
        *,
        ctx: Context,
    ) -> StudiesAnswer:
        """Convert DICOM files into FHIR R4 ImagingStudy resources (JSON).

        For a file: the ImagingStudy of its study with the study's identifiers (Study Instance UID,
        accession number, study ID), the patient reference Patient/<Patient ID>, the study date,
        description, referring physician, modality, and the file's series and instance (numbers, SOP
        Instance and Class UIDs), as a folder holding only that file gives it. For a folder:
        {"studies": [one ImagingStudy per study, with all its series and instances], "problems": [files
        that failed, duplicates, disagreements]}, with progress reported as files are read. Only file
        headers are read, so files of any size convert. Files that are not DICOM or have no Study
        Instance UID give an error result.
        """
        try:
            zone = zone_argument(timezone)
        except ValueError as error:
            raise ToolError(str(error)) from None
        real = files.resolve(path)
        if os.path.isdir(real):
            return studies_in_folder(files, real, zone, ctx)
        fd = files.open_file(path, real)
        try:
            # The descriptor's own link names the very file that was checked, whatever its path does now.
            return study_of_file(f"/proc/self/fd/{fd}", path, zone)
        finally:
            os.close(fd)

    @server.tool(title="Every attribute of a DICOM file", annotations=READS_ONLY)
    def dicom_attributes(
        path: Annotated[str, "A DICOM file, relative to an allowed folder or absolute inside one."],
        inline_limit: Annotated[
            int, "Most base64 characters of a binary value given inline; longer ones carry their VR alone."
        ] = 1024,
    ) -> dict[str, DicomAttribute]:
        """Read every attribute of a DICOM file as the DICOM JSON model.

        Returns {"<tag>": {"vr": ..., "Value": [...]}, ...}: tags as eight uppercase hex digits (e.g.
        "00100010" Patient's Name) in tag order, without the file meta group. Person names hold
        {"Alphabetic", "Ideographic", "Phonetic"} groups, sequences one such object per item, IS and DS
        numbers. Binary values (OB, OW, UN, ...) are "InlineBinary" base64 only up to inline_limit
        characters, so Pixel Data is usually left out. Text is decoded by the file's character set. A
        file that is not DICOM gives an error result.
        """
        from zanthe.dicom import attributes

        if inline_limit < 0:
            raise ToolError("inline_limit must be 0 or more")
        fd = files.open_file(path)
        try:
            return attributes(f"/proc/self/fd/{fd}", inline_limit=inline_limit)
        except OSError as error:
            raise ToolError(f"{path}: cannot read: {os_error_reason(error)}") from None
        except RuntimeError as error:  # NotDicomError among them
            raise ToolError(f"{path}: {error}") from None
        finally:
            os.close(fd)

    @server.tool(title="Render a DICOM image", annotations=READS_ONLY)
    def dicom_render(
        path: Annotated[str, "A DICOM file, relative to an allowed folder or absolute inside one."],
        frame: Annotated[int, "The frame to show, from 0."] = 0,
        window: Annotated[
            tuple[float, float] | None, "[center, width] of the grey window; the file's own when absent."
        ] = None,
    ) -> tuple[Image, RenderedFrame]:
        """Show one frame of a DICOM image as a PNG, as a viewer displays it.

        Grey images pass the rescale (or Modality LUT) and the window given, else the file's own
        window, else its VOI LUT, else the range of its values; MONOCHROME1 is inverted. Palette and
        YBR colour images are converted to RGB. The image is shrunk so its larger side is at most
        1024 pixels. The structured result gives the file's rows, columns and frames, the image's
        width and height and the window used.
        """
        if frame < 0:
            raise ToolError("frame must be 0 or more")
        if window is not None and not window[1] > 0:
            raise ToolError("the window width must be above 0")
        fd = files.open_file(path)
        try:
            with os.fdopen(os.dup(fd), "rb") as file:
                data = file.read()
        except OSError as error:
            raise ToolError(f"{path}: cannot read: {os_error_reason(error)}") from None
        finally:
            os.close(fd)
        from zanthe.dicom import render_with_summary

        try:
            png, summary = render_with_summary(data, frame, window=window, max_size=RENDER_MAX_SIZE)
        except (RuntimeError, ValueError) as error:  # NotDicomError and PixelDataError among them
            raise ToolError(f"{path}: {str(error).removeprefix('dicom.render: ')}") from None
        return Image(png, "image/png"), summary

    @server.tool(title="Parse an HL7 v2 message", annotations=READS_ONLY)
    def hl7_parse(
        message: Annotated[
            str, "An HL7 v2 message in ER7 encoding (segments end in CR, LF or CR LF), or a batch of them."
        ],
    ) -> ParsedText:
        """Parse an HL7 v2 message into its segments and fields.

        Returns {"segments": [{"id": "MSH", "fields": [...]}, ...]}. fields[0] is the segment ID; for
        MSH, fields[1] holds the encoding characters and fields[n] is MSH-(n+1); for other segments
        fields[n] is field n. Components, repetitions and escapes are left as written. The header,
        delimiters, version (2.3 to 2.9) and segment IDs are checked. A batch (FHS/BHS envelopes, or
        messages one after another) of several messages gives {"messages": [{"segments": [...]}, ...]}.
        """
        try:
            return hl7.batch_document(hl7.parse_batch(message))  # type: ignore[return-value]  # the same shape
        except hl7.ParseError as error:
            raise ToolError(error) from None

    @server.tool(title="Build an HL7 v2 ORU^R01 result message", annotations=READS_ONLY)
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

    if destinations:
        add_hl7_send(server, dict(destinations))
    if dicom_destinations:
        add_dicom_network_tools(server, files, dict(dicom_destinations))
    return server


def add_dicom_network_tools(server: ToolServer, files: ConfinedFiles, destinations: dict[str, tuple[str, str, int]]) -> None:
    """dicom_echo and dicom_send, their destination one of the configured names."""
    destination_hint = named_choice(tuple(destinations), f"The DICOM peer: {', '.join(destinations)}.")

    def dicom_echo(destination: str) -> EchoAnswer:
        """Check that a configured DICOM peer answers: a C-ECHO over a new association.

        Not reaching the peer, or an association it rejects, gives an error result naming why.
        """
        import time

        called_ae, host, port = destinations[destination]
        started = time.perf_counter()
        status = dicom_call(destination, lambda net: net.echo(f"{host}:{port}", called_ae=called_ae, timeout=SEND_TIMEOUT))
        return {"status": status, "milliseconds": round((time.perf_counter() - started) * 1000, 3)}

    def dicom_send(destination: str, path: str, *, ctx: Context) -> SendAnswer:
        """Send DICOM files to a configured peer with C-STORE, each in its own transfer syntax.

        `path` is a file or a folder (walked) inside the allowed folders. Every file gets an entry with
        the peer's status; files it could not take, or that could not be read, have status null and
        the reason. Progress is files answered of files found.
        """
        called_ae, host, port = destinations[destination]
        real = files.resolve(path)
        found = files.files_below(real) if os.path.isdir(real) else [real]
        if not found:
            raise ToolError(f"{path}: no files in this folder")
        ctx.report_progress(0, len(found))
        instances: list[SentInstance] = []

        def answered(result: Any) -> None:
            instances.append(
                {"path": result.path, "sop_instance_uid": result.sop_instance_uid, "status": result.status,
                 "comment": result.comment}
            )  # fmt: skip
            ctx.report_progress(len(instances), len(found))

        results = dicom_call(
            destination,
            lambda net: net.send(f"{host}:{port}", found, called_ae=called_ae, timeout=SEND_TIMEOUT, on_result=answered),
        )
        delivered = sum(1 for result in results if result.delivered)
        return {"delivered": delivered, "failed": len(results) - delivered, "instances": instances}

    for tool, title in ((dicom_echo, "Check a DICOM peer (C-ECHO)"), (dicom_send, "Send DICOM files (C-STORE)")):
        # The names exist only now, so the hints are objects rather than the module's deferred texts.
        tool.__annotations__ = {**tool.__annotations__, "destination": destination_hint}
        if tool is dicom_send:
            tool.__annotations__.update(
                path=Annotated[str, "A DICOM file, or a folder of them, relative to an allowed folder or absolute inside one."],
                ctx=Context, **{"return": SendAnswer},
            )  # fmt: skip
        else:
            tool.__annotations__["return"] = EchoAnswer
        server.tool(title=title, annotations=READS_ONLY if tool is dicom_echo else SENDS)(tool)


def named_choice(names: tuple[str, ...], description: str) -> Any:
    """The type of an argument that must be one of `names`, known only once the server is built."""
    return Annotated[Literal[names], description]


def dicom_call(destination: str, call: Callable[[Any], Any]) -> Any:
    """Runs a network call of zanthe.dicom.net; its failures become a ToolError naming the destination."""
    from zanthe.dicom import net

    try:
        return call(net)
    except (net.AssociationError, OSError) as error:
        raise ToolError(f"destination {destination}: {error}") from None


def add_hl7_send(server: ToolServer, destinations: dict[str, tuple[str, int]]) -> None:
    """The hl7_send tool, its destination one of the configured names."""
    names = ", ".join(destinations)

    async def hl7_send(destination: str, message: str, *, ctx: Context) -> Acknowledgment:
        """Send one HL7 v2 message (ER7) over MLLP to a configured destination and return its acknowledgment.

        The answer is the receiver's MSA segment: {"code": MSA-1 (AA accepted, AE error, AR rejected),
        "control_id": MSA-2, "text": MSA-3}. The message goes as written, segments separated by CR; its
        MSH-10 control ID must be unique, since the receiver may drop a message it has seen. A message
        that is not acknowledged in time may be sent again. Failing to connect or no acknowledgment
        within 30 seconds gives an error result.
        """
        host, port = destinations[destination]
        return await send_acknowledged(destination, host, port, message, lambda: ctx.cancelled)

    # The names exist only now, so the hints are objects rather than the module's deferred texts.
    hl7_send.__annotations__ = {
        "destination": Annotated[Literal[tuple(destinations)], f"Where to send the message: {names}."],
        "message": Annotated[str, "The HL7 v2 message in ER7 encoding (segments end in CR, LF or CR LF)."],
        "ctx": Context,
        "return": Acknowledgment,
    }
    server.tool(title="Send an HL7 v2 message over MLLP", annotations=SENDS)(hl7_send)


async def send_acknowledged(
    name: str, host: str, port: int, message: str, cancelled: Callable[[], bool]
) -> Acknowledgment:
    """Delivers one message to host:port and returns its MSA fields; ToolError naming `name` otherwise."""
    import asyncio  # only hl7_send needs an event loop, and serving starts faster without it

    from zanthe.errors import MllpError
    from zanthe.hl7.sender import Retry, connect, outgoing

    try:
        outgoing(message)  # refused before any connection is made
    except ValueError as error:
        raise ToolError(str(error)) from None
    # The link retries a dropped connection; the loop below bounds the whole delivery.
    link = connect(host, port, timeout=SEND_TIMEOUT, retry=Retry(attempts=SEND_ATTEMPTS))

    async def deliver() -> Acknowledgment:
        async with link:
            ack = await link.send(message)
        return {"code": ack.code, "control_id": ack.control_id, "text": ack.text}

    loop = asyncio.get_running_loop()
    give_up = loop.time() + SEND_TIMEOUT
    sending = asyncio.ensure_future(deliver())
    try:
        while not (await asyncio.wait({sending}, timeout=CANCEL_POLL))[0]:
            if cancelled():
                raise ToolError("cancelled")
            if loop.time() > give_up:
                raise ToolError(f"destination {name}: no acknowledgment within {SEND_TIMEOUT:g} s")
        return sending.result()
    except MllpError as error:
        raise ToolError(f"destination {name}: {error}") from None
    except ValueError as error:
        raise ToolError(str(error)) from None
    finally:
        if not sending.done():
            sending.cancel()
            await asyncio.wait({sending})


def study_of_file(opened: str, requested: str, zone: Any) -> StudiesAnswer:
    """The study-level ImagingStudy of one file, as `zanthe fhir FILE` and a folder of it give it."""
    run = archive.ArchiveRun([opened], timezone=zone, jobs=1)
    try:
        results = list(run.results())
    except OSError as error:
        raise ToolError(f"{requested}: cannot read: {os_error_reason(error)}") from None
    if not results:
        reason = run.report.failures[0][1] if run.report.failures else "no ImagingStudy"
        raise ToolError(f"{requested}: {reason}")
    study: StudiesAnswer = json.loads(results[0].study_json)
    return study


def studies_in_folder(files: ConfinedFiles, folder: str, zone: Any, ctx: Context) -> StudiesAnswer:
    """One ImagingStudy per study of the files below `folder`, with the problems met; progress is
    files read of files found, and a client that has gone stops the reading."""
    paths = files.files_below(folder)
    if not paths:
        raise ToolError(f"{folder}: no files in this folder")
    ctx.report_progress(0, len(paths))
    run = archive.ArchiveRun(
        paths,
        timezone=zone,
        on_progress=lambda done, total, _failed: ctx.report_progress(done, total),
        cancelled=lambda: ctx.cancelled,
    )
    try:
        studies = [json.loads(result.study_json) for result in run.results()]
    except archive.Cancelled:
        raise ToolError("cancelled") from None
    problems = [f"{name}: {reason}" for name, reason in run.report.failures]
    problems += run.report.duplicates + run.report.conflicts
    return {"studies": studies, "problems": problems}


def serve(
    roots: Iterable[str | os.PathLike[str]] | None = None,
    verbose: bool = False,
    *,
    destinations: Destinations | None = None,
    dicom_destinations: DicomDestinations | None = None,
    **transport: Any,
) -> int:
    """Serve zanthe's tools until the client goes: over stdin and stdout, or over HTTP with
    `transport` (the keyword arguments of ToolServer.run: http, allowed_origins, auth_tokens, ...)."""
    server = build_server(list(roots) if roots else [os.getcwd()], destinations, dicom_destinations)
    return server.run(verbose, **transport)


def tool_definitions(
    roots: Iterable[str | os.PathLike[str]] | None = None,
    destinations: Destinations | None = None,
    dicom_destinations: DicomDestinations | None = None,
) -> list[dict[str, Any]]:
    """The tools/list entries, for documentation and tests."""
    server = build_server(list(roots) if roots else [os.getcwd()], destinations, dicom_destinations)
    return [json.loads(definition) for _, definition, _ in server.tool_table()]
