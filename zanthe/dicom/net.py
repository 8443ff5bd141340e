"""DICOM networking: a storage SCP that confirms an instance only once it is safe on disk, and
C-ECHO and C-STORE as an SCU.

    from zanthe.dicom.net import StorageServer, echo, send

    with StorageServer("/var/lib/dicom", port=11112, fhir="/var/lib/fhir") as server:
        ...                                              # serves on a background thread
    echo("pacs.example:104", called_ae="PACS")           # 0x0000
    for result in send("pacs.example:104", ["study/"], called_ae="PACS"):
        print(result.path, hex(result.status))

The server writes each instance as a Part 10 file at ``STORE/<Study Instance UID>/<Series Instance
UID>/<SOP Instance UID>.dcm`` (the file meta group made from the command and the accepted transfer
syntax, the dataset bytes as received), and makes it durable before the C-STORE response says 0000:
files up to 4 MiB through the store's journal (``STORE/.instances.journal``), whose appends from every
association storing at that moment share one sync; larger files by syncing the file and its folders.
After a crash, the next start writes back from the journal every confirmed file that is missing or
incomplete. One server at a time uses a store: a second is refused. A second copy of an instance
replaces the first in one rename. The network work runs
natively with the interpreter lock released; Python is entered only for ``on_stored`` and for the
FHIR resources kept with ``fhir``.
"""

from __future__ import annotations

import os
import queue
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from zanthe import _dicom_net
from zanthe._background import BackgroundServer
from zanthe._dicom_net import AssociationError

if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Sequence

__all__ = ["AssociationError", "SendResult", "StorageServer", "StoreOpening", "StoredInstance", "echo", "send"]

DEFAULT_PORT = 11112
DEFAULT_AE_TITLE = "ZANTHE"
# Statuses a sender counts as delivered: success, and the C-STORE warnings (coercion, elements
# discarded, dataset not matching the SOP class).
DELIVERED_STATUSES = frozenset({0x0000, 0xB000, 0xB006, 0xB007})


@dataclass(frozen=True)
class StoredInstance:
    """One instance the server stored, as its ``on_stored`` hook sees it."""

    path: str
    sop_class_uid: str
    sop_instance_uid: str
    study_instance_uid: str
    series_instance_uid: str
    transfer_syntax: str
    size: int
    calling_ae: str
    peer: str


@dataclass(frozen=True)
class StoreOpening:
    """What the server found when it opened its store."""

    indexed: int  # instance files read into the query index
    unreadable: int  # .dcm files it could not read, left where they are
    journal_records: int  # records of the last run's journal not yet known to be in their files
    written_back: int  # of those, files that were missing or differed, written from the journal
    damaged_records: int  # records naming no place in the store, left alone


class StorageServer(BackgroundServer):
    """A storage and Verification SCP on ``host:port`` storing into the folder ``store``.

    Use it as a context manager (or ``start``/``close``) to serve on a background thread, or call
    ``serve_forever`` to serve on the calling thread until ``stop`` is called from another.
    ``port=0`` picks a free port (see ``port``).

    ``on_stored(instance)`` is called with a ``StoredInstance`` after each instance is durable (on one
    of the server's store threads; an exception it raises is reported, and changes nothing). With
    ``fhir=DIR``, one ImagingStudy per study is kept in ``DIR/<Study Instance UID>.json``, rewritten
    from the stored files when an association that stored into the study ends; ``timezone`` (a UTC
    offset or an IANA zone, as ``zanthe fhir --timezone`` takes) completes the times the files give
    without an offset, which FHIR requires.

    Limits: the A-ASSOCIATE-RQ must arrive within ``artim`` seconds; a PDU begun must end within
    ``pdu_timeout``; an association with nothing in flight is closed after ``idle_timeout``; PDUs over
    ``max_pdu_length`` abort the association; instances over ``max_dataset_bytes`` are refused (A700);
    beyond ``max_associations`` new associations are rejected (transient, local limit exceeded);
    ``allowed_calling_aes`` rejects every other calling AE title. The journal grows to
    ``journal_bytes`` (8 MiB at least) before it syncs the store's file system and starts over.
    ``fsync=False`` syncs and journals nothing: fast, and not safe from a crash (it still writes
    back what a crashed durable run left in the journal, and holds the store's lock).
    """

    def __init__(
        self,
        store: str | os.PathLike[str],
        host: str = "127.0.0.1",
        port: int = DEFAULT_PORT,
        *,
        ae_title: str = DEFAULT_AE_TITLE,
        fsync: bool = True,
        allowed_calling_aes: Sequence[str] | None = None,
        require_called_ae: bool = False,
        artim: float = 30.0,
        idle_timeout: float = 60.0,
        pdu_timeout: float = 30.0,
        max_pdu_length: int = 1 << 20,
        max_dataset_bytes: int = 2 << 30,
        max_associations: int = 256,
        store_threads: int = 16,
        journal_bytes: int = 64 << 20,
        on_stored: Callable[[StoredInstance], object] | None = None,
        fhir: str | os.PathLike[str] | None = None,
        timezone: str | None = None,
    ) -> None:
        self._studies: StudyResources | None = None
        if fhir is not None:
            self._studies = StudyResources(os.fspath(store), os.fspath(fhir), timezone)
        hook = stored_hook(on_stored) if on_stored is not None else None
        self._native: _dicom_net.StorageServer = _dicom_net.StorageServer(
            os.fspath(store), host, port,
            ae_title=ae_title, fsync=fsync,
            allowed_calling_aes=list(allowed_calling_aes) if allowed_calling_aes is not None else None,
            require_called_ae=require_called_ae, artim=artim, idle_timeout=idle_timeout, pdu_timeout=pdu_timeout,
            max_pdu_length=max_pdu_length, max_dataset_bytes=max_dataset_bytes,
            max_associations=max_associations, store_threads=store_threads, journal_bytes=journal_bytes,
            on_stored=hook, on_association_end=self._studies.association_ended if self._studies else None,
        )  # fmt: skip
        self._thread_name = "zanthe-dicom-scp"

    @property
    def port(self) -> int:
        return self._native.port

    @property
    def opening(self) -> StoreOpening:
        """What opening the store found, the journal's write-back after a crash included."""
        return StoreOpening(**self._native.opening)

    @property
    def stored(self) -> int:
        """Instances stored since the server started."""
        return self._native.stored

    def serve_forever(self) -> None:
        if self._studies is not None:
            self._studies.start()
        try:
            self._native.serve()
        finally:
            if self._studies is not None:
                self._studies.close()


def stored_hook(on_stored: Callable[[StoredInstance], object]) -> Callable[[dict[str, Any]], None]:
    def call(event: dict[str, Any]) -> None:
        on_stored(StoredInstance(**event))

    return call


class StudyResources:
    """Keeps ``FHIR/<study>.json`` up to date for the studies associations stored into.

    Associations end on the server's store threads; the rewriting is done here, on a thread of its
    own, so storing never waits for it. A study named by several associations while one rewrite runs
    is rewritten once more after it, not once per association.
    """

    def __init__(self, store: str, folder: str, timezone: str | None) -> None:
        from zanthe.fhir import zone_argument

        zone_argument(timezone)  # a zone that cannot be used is refused now, not at the first study
        os.makedirs(folder, exist_ok=True)
        self.timezone = timezone
        self.store = store
        self.folder = folder
        self.pending: queue.SimpleQueue[str | None] = queue.SimpleQueue()
        self.queued: set[str] = set()
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.run, name="zanthe-dicom-fhir", daemon=True)
        self.failures: list[tuple[str, str]] = []

    def start(self) -> None:
        self.thread.start()

    def association_ended(self, summary: dict[str, Any]) -> None:
        for study in summary["studies"]:
            with self.lock:
                if study in self.queued:
                    continue
                self.queued.add(study)
            self.pending.put(study)

    def run(self) -> None:
        while (study := self.pending.get()) is not None:
            with self.lock:
                self.queued.discard(study)
            self.rewrite(study)

    def rewrite(self, study: str) -> None:
        from zanthe import fhir

        problems: list[tuple[str, str]] = []
        try:
            resources = list(
                fhir.imaging_studies([os.path.join(self.store, study)], jobs=1, timezone=self.timezone, problems=problems)
            )
        except OSError as error:
            self.failures.append((study, str(error)))
            return
        self.failures.extend(problems)
        if not resources:
            return
        target = os.path.join(self.folder, study + ".json")
        temporary = f"{target}.{os.getpid()}.tmp"
        with open(temporary, "w", encoding="utf-8") as file:
            file.write(resources[0])
            file.write("\n")
        os.replace(temporary, target)

    def close(self) -> None:
        """Finishes the rewrites asked for so far, then stops the thread."""
        self.pending.put(None)
        if self.thread.is_alive():
            self.thread.join()


# ---------------------------------------------------------------------------------------------------
# The SCU


def split_address(address: str) -> tuple[str, int]:
    from zanthe.hl7._address import split_host_port

    return split_host_port(address)


def echo(
    address: str,
    *,
    calling_ae: str = DEFAULT_AE_TITLE,
    called_ae: str = "ANY-SCP",
    timeout: float = 30.0,
) -> int:
    """C-ECHO to ``HOST:PORT``: the status of the response (0x0000 when the peer is there).

    Raises ``AssociationError`` when the association is rejected or fails, ``OSError`` when the peer
    cannot be reached.
    """
    host, port = split_address(address)
    return _dicom_net.echo(host, port, calling_ae=calling_ae, called_ae=called_ae, timeout=timeout)


@dataclass(frozen=True)
class SendResult:
    """What became of one file: the C-STORE status (None when it was never sent) and why."""

    path: str
    sop_instance_uid: str
    status: int | None
    comment: str

    @property
    def delivered(self) -> bool:
        return self.status in DELIVERED_STATUSES


def files_to_send(paths: Iterable[str | os.PathLike[str]]) -> tuple[list[str], list[tuple[str, str]]]:
    """Files and folders to a list of files, folders walked as ``zanthe fhir`` walks them."""
    from zanthe.archive import gather_inputs

    inputs = gather_inputs([os.fspath(p) for p in paths], None, output_names=False)
    return inputs.paths, inputs.problems


def send(
    address: str,
    paths: Iterable[str | os.PathLike[str]],
    *,
    calling_ae: str = DEFAULT_AE_TITLE,
    called_ae: str = "ANY-SCP",
    timeout: float = 60.0,
    associations: int = 1,
    on_result: Callable[[SendResult], object] | None = None,
) -> list[SendResult]:
    """C-STORE of every file in ``paths`` (folders walked) to ``HOST:PORT``, each in its own transfer
    syntax (nothing is transcoded): one ``SendResult`` per file, also handed to ``on_result`` as its
    response arrives.

    Files that cannot be read, whose SOP class and transfer syntax the peer refused, or that an
    association ended before, have status None and the reason. Raises ``AssociationError`` when no
    association can be made at all, ``OSError`` when the peer cannot be reached. With
    ``associations=N`` the files are dealt out to N associations sending side by side (results then
    arrive in the order the peer answers).
    """
    host, port = split_address(address)
    files, problems = files_to_send(paths)
    results: list[SendResult] = []

    def record(result: SendResult) -> None:
        results.append(result)
        if on_result is not None:
            on_result(result)

    for path, reason in problems:
        record(SendResult(path, "", None, reason))
    if files:
        _dicom_net.send(
            host, port, files, calling_ae=calling_ae, called_ae=called_ae, timeout=timeout,
            associations=associations, on_result=lambda *fields: record(SendResult(*fields)),
        )  # fmt: skip
    return results
