"""Receiving and sending instances over DICOM networking: `zanthe dicom listen` against DCMTK's
storescp and a pynetdicom SCP, and `zanthe dicom send` against DCMTK's storescu.

    python bench/dicom_net_bench.py [--build-dir build/bench | --zanthe "CMD"] [--rounds 5]
                                    [--store-parent /tmp] [--quick] [--json PATH]

Inputs, written once per run into a scratch folder under --store-parent (a real disk; the header
names its file system): 500 copies of pydicom's CT_small.dcm (39 KB, explicit VR little endian),
each with a SOP Instance UID of its own, and 20 synthetic CT images of 8 MiB (2048x2048, 16 bits,
noise), also with fresh UIDs; --quick writes 100 and 4.

Receivers, each a subprocess on 127.0.0.1 started afresh for every measurement with an empty store,
ready once DCMTK's echoscu gets an answer:
- zanthe durable: `zanthe dicom listen --store DIR`, which syncs every file and its folders before
  the C-STORE response says success;
- zanthe --no-fsync: the same with --no-fsync;
- storescp: DCMTK's `storescp -od DIR PORT`, with its defaults: one process serving one association
  at a time (no --fork), never syncing;
- pynetdicom: an AE whose C-STORE handler writes the encoded dataset behind its file meta group and
  fsyncs the file (bench/dicom_net_peers.py): the durable peer. It listens with a backlog of 128:
  with socketserver's 5, eight associations opened at once lose one connection for a second.

Every receiver is measured with the same two senders, in the same rounds, so that the receiver is
what is measured; the receivers' figures make one table per sender:
- storescu: DCMTK's storescu, one process per association, each given its share of the files; the
  wall time from the first client's start to the last one's exit.
- one zanthe send process: bench/dicom_net_peers.py --sender, started once per run before the
  rounds with zanthe's Python and PYTHONPATH, calls zanthe.dicom.net.send for each measurement with
  its associations side by side in that one process; the wall and CPU time of that call alone, so
  neither the interpreter's start nor the import is measured. It exists because on a machine of two
  CPUs eight storescu processes take a millisecond or more of CPU per instance between them, most of
  the machine, and the figures over 8 associations then say more about the sender than about the
  receiver. It sends the small instances only: over one association the sender does not limit the
  8 MiB case.
A measurement runs a warm-up (4 other instances over one association, always with storescu), then
`sync`, then the sender: instances per second. DCMTK's tools run with TCP_NODELAY=1 in their
environment (their own default leaves Nagle's algorithm on, which stalls every response on
loopback for the delayed ACK).

The senders' table puts `zanthe dicom send` beside storescu, each a process from start to exit, both
sending the 500 small instances over one association to the same receiver: zanthe --no-fsync (the
fastest receiver, so that the sender is what limits), storescp, and `storescp --ignore`, which
receives and stores nothing.

Checks: every client must exit 0 (storescu stops at the first refused instance; `zanthe dicom send`
exits 1 unless every instance was stored), the one sending process must report every instance
delivered, and after every measurement the store must hold exactly the instances sent (the warm-up
ones too; zanthe's journal file aside), each a file pydicom reads, with the transfer syntax and
pixel data it was sent with. A peer that fails any of this, or does not start, stops the bench; a
zanthe receiver or sender that does loses every figure it had ("-"), is measured no more, and its
reason is printed below the tables. A failure after a good warm-up is the zanthe sender's when one
sent, else the receiver's. Figures are the best of --rounds (5), the receivers measured in turn in
every round. Notes give the CPU time per instance of the server (all its threads, from /proc) or of
the clients, and how busy both kept the CPUs. "Where the time goes" adds what syncing costs zanthe
per instance, what a write and fsync costs on this disk, what each sender takes of CPU per instance,
and what one client process costs to send a single instance. Nothing here asserts on time.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import re
import resource
import select
import shlex
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pydicom
from pydicom.data import get_testdata_file
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import CTImageStorage, ExplicitVRLittleEndian, generate_uid

from common import machine, print_table, stop_server, versions, write_results
from mllp_bench import Program, process_cpu_seconds, storage, zanthe_program, zanthe_version

DURABLE, NO_FSYNC, STORESCP, PYNETDICOM = "zanthe durable", "zanthe --no-fsync", "storescp", "pynetdicom"
STORESCP_IGNORE = "storescp --ignore"
PEERS = (STORESCP, PYNETDICOM)
RECEIVERS = (DURABLE, NO_FSYNC, *PEERS)
ZANTHE_SEND, STORESCU = "zanthe dicom send", "storescu"
ONE_SENDER = "one zanthe send process"
ZANTHE_SENDERS = (ZANTHE_SEND, ONE_SENDER)
ZANTHE_SIDES = (DURABLE, NO_FSYNC, *ZANTHE_SENDERS)
ONE_SENDER_ROW = ", one sending process"  # how run_all.py tells these rows from storescu's
SENDING = "sending "  # the senders' measurements are kept apart from the receivers' of the same files
SMALL_COUNT, BIG_COUNT = 500, 20
QUICK_SMALL_COUNT, QUICK_BIG_COUNT = 100, 4
WARM_UP_COUNT = 4
BIG_SIDE = 2048
ASSOCIATION_COUNTS = (1, 8)
DCMTK_TOOLS = ("storescp", "storescu", "echoscu")
DCMTK_ENV = os.environ | {"TCP_NODELAY": "1"}
START_TIMEOUT = 30.0
CLIENT_TIMEOUT = 600.0
SEND_TIMEOUT = 60.0  # what the one sending process gives each network operation
PEERS_SCRIPT = Path(__file__).resolve().with_name("dicom_net_peers.py")
# zanthe's durable store keeps a write-ahead journal in its root: not an instance, so not checked as one.
RECEIVER_BOOKKEEPING = frozenset({".instances.journal"})


# ---------------------------------------------------------------------------------------------------
# Inputs


@dataclass(frozen=True)
class Instance:
    path: Path
    uid: str
    transfer_syntax: str
    pixels: bytes  # digest of the pixel data


@dataclass(frozen=True)
class Inputs:
    small: list[Instance]
    big: list[Instance]
    warm_up: list[Instance]


def pixel_digest(data: bytes) -> bytes:
    return hashlib.blake2b(data, digest_size=16).digest()


def write_copies(dataset: Dataset, folder: Path, count: int) -> list[Instance]:
    """`count` files of `dataset`, each with a SOP Instance UID of its own."""
    folder.mkdir(parents=True)
    digest = pixel_digest(dataset.PixelData)
    found = []
    for number in range(count):
        uid = generate_uid()
        dataset.SOPInstanceUID = uid
        dataset.file_meta.MediaStorageSOPInstanceUID = uid
        path = folder / f"{number:04d}.dcm"
        dataset.save_as(path, enforce_file_format=True)
        found.append(Instance(path, uid, str(dataset.file_meta.TransferSyntaxUID), digest))
    return found


def synthetic_ct(side: int) -> Dataset:
    """A 16-bit CT slice of noise: pixel data of side * side * 2 bytes."""
    ds = Dataset()
    ds.SOPClassUID, ds.SOPInstanceUID, ds.Modality = CTImageStorage, generate_uid(), "CT"
    ds.StudyInstanceUID, ds.SeriesInstanceUID = generate_uid(), generate_uid()
    ds.PatientName, ds.PatientID, ds.InstanceNumber = "BENCH^NET", "NET-1", 1
    ds.Rows = ds.Columns = side
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 1
    ds.RescaleSlope, ds.RescaleIntercept = 1, 0
    rng = np.random.default_rng(7)
    ds.PixelData = rng.integers(-1024, 3072, (side, side), dtype=np.int16).tobytes()
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = ds.SOPClassUID
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta = meta
    return ds


def make_inputs(folder: Path, small: int, big: int) -> Inputs:
    ct_small = get_testdata_file("CT_small.dcm")
    if not isinstance(ct_small, str):
        raise SystemExit("pydicom's test file CT_small.dcm is missing")
    return Inputs(
        small=write_copies(pydicom.dcmread(ct_small), folder / "small", small),
        big=write_copies(synthetic_ct(BIG_SIDE), folder / "big", big),
        warm_up=write_copies(pydicom.dcmread(ct_small), folder / "warm-up", WARM_UP_COUNT),
    )


def size_label(instances: list[Instance]) -> str:
    size = instances[0].path.stat().st_size
    unit = f"{size / 2**20:.0f} MiB" if size >= 2**20 else f"{size / 1000:.0f} KB"
    return f"{len(instances)} x {unit}"


# ---------------------------------------------------------------------------------------------------
# Receivers and senders


@dataclass(frozen=True)
class Receiver:
    name: str
    command: Callable[[int, Path], list[str]]
    env: dict[str, str] | None
    checks_store: bool = True


@dataclass(frozen=True)
class Sender:
    name: str
    command: Callable[[int, list[Path]], list[str]]
    env: dict[str, str] | None


def receivers(zanthe: Program) -> dict[str, Receiver]:
    def listen(*options: str) -> Callable[[int, Path], list[str]]:
        return lambda port, store: [*zanthe.command, "dicom", "listen", "--host", "127.0.0.1", "--port", str(port),
                                    "--store", str(store), *options]  # fmt: skip

    return {
        DURABLE: Receiver(DURABLE, listen(), zanthe.env),
        NO_FSYNC: Receiver(NO_FSYNC, listen("--no-fsync"), zanthe.env),
        STORESCP: Receiver(STORESCP, lambda port, store: ["storescp", "-od", str(store), str(port)], DCMTK_ENV),
        PYNETDICOM: Receiver(PYNETDICOM, lambda port, store: [sys.executable, str(PEERS_SCRIPT), str(port), str(store)], None),
        STORESCP_IGNORE: Receiver(
            STORESCP_IGNORE, lambda port, store: ["storescp", "--ignore", "-od", str(store), str(port)], DCMTK_ENV,
            checks_store=False,
        ),  # fmt: skip
    }


def senders(zanthe: Program) -> dict[str, Sender]:
    def send(port: int, paths: list[Path]) -> list[str]:
        return [*zanthe.command, "dicom", "send", f"127.0.0.1:{port}", *map(str, paths)]

    def storescu(port: int, paths: list[Path]) -> list[str]:
        return ["storescu", "127.0.0.1", str(port), *map(str, paths)]

    return {ZANTHE_SEND: Sender(ZANTHE_SEND, send, zanthe.env), STORESCU: Sender(STORESCU, storescu, DCMTK_ENV)}


class StartError(RuntimeError):
    """A receiver that did not come to answer C-ECHO."""


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def slug(name: str) -> str:
    return re.sub(r"[^a-z0-9]+", "-", name.lower()).strip("-")


class Running:
    """A receiver subprocess with an empty store, ready once it answers C-ECHO."""

    def __init__(self, receiver: Receiver, scratch: Path, serial: int) -> None:
        self.receiver = receiver
        self.store = scratch / f"store-{serial}"
        self.store.mkdir()
        self.port = free_port()
        self.log = scratch / f"{slug(receiver.name)}-{serial}.log"
        with open(self.log, "wb") as log:
            self.proc = subprocess.Popen(
                receiver.command(self.port, self.store), stdin=subprocess.DEVNULL, stdout=log,
                stderr=subprocess.STDOUT, env=receiver.env, cwd=scratch,
            )  # fmt: skip
        try:
            self.wait_until_answering()
        except StartError:
            self.stop()
            raise

    def wait_until_answering(self) -> None:
        deadline = time.monotonic() + START_TIMEOUT
        echo = ["echoscu", "-to", "5", "127.0.0.1", str(self.port)]
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise StartError(f"exited with status {self.proc.returncode} before answering: {self.log_tail()}")
            answered = subprocess.run(echo, stdin=subprocess.DEVNULL, capture_output=True, env=DCMTK_ENV)
            if answered.returncode == 0:
                return
            time.sleep(0.05)
        raise StartError(f"no answer to C-ECHO after {START_TIMEOUT:.0f} s: {self.log_tail()}")

    def log_tail(self) -> str:
        return self.log.read_bytes()[-1500:].decode(errors="replace").strip() or "(nothing logged)"

    def stop(self) -> None:
        stop_server(self.proc, self.receiver.name, 30)


@dataclass(frozen=True)
class ClientRun:
    seconds: float
    cpu: float  # user and system time of every client process
    failures: list[str]  # one line per client that did not exit 0


def run_clients(sender: Sender, port: int, paths: list[Path], associations: int, scratch: Path) -> ClientRun:
    """One client process per association, the files dealt among them; the wall time from the first
    start to the last exit."""
    groups = [paths[i::associations] for i in range(associations)]
    logs = [scratch / f"client-{i}.log" for i in range(associations)]
    handles = [open(log, "wb") for log in logs]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    processes = [
        subprocess.Popen(sender.command(port, group), stdin=subprocess.DEVNULL, stdout=handle,
                         stderr=subprocess.STDOUT, env=sender.env, cwd=scratch)
        for group, handle in zip(groups, handles)
    ]  # fmt: skip
    try:
        for process in processes:
            process.wait(timeout=CLIENT_TIMEOUT)
        seconds = time.perf_counter() - start
    except subprocess.TimeoutExpired:
        for process in processes:
            process.kill()
            process.wait()
        raise SystemExit(f"{sender.name} did not finish within {CLIENT_TIMEOUT:.0f} s") from None
    finally:
        for handle in handles:
            handle.close()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    failures = [
        f"client {i} exited {process.returncode}: {log.read_bytes()[-600:].decode(errors='replace').strip()}"
        for i, (process, log) in enumerate(zip(processes, logs))
        if process.returncode != 0
    ]
    return ClientRun(seconds, cpu, failures)


def zanthe_python(zanthe: Program) -> list[str]:
    """The interpreter zanthe's command runs in, so that the sending process imports the zanthe
    measured: the command's own Python, else the one a console script's first line names, else this
    one."""
    first = zanthe.command[0]
    if Path(first).name.startswith("python"):
        return [first]
    script = shutil.which(first)
    if script:
        with open(script, "rb") as file:
            line = file.readline(500).decode(errors="replace")
        if line.startswith("#!") and Path(shlex.split(line[2:])[0]).name.startswith("python"):
            return shlex.split(line[2:])
    return [sys.executable]


class SenderError(RuntimeError):
    """The one sending process did not start, died, stalled or answered what is not a reply."""


class OneSender:
    """zanthe's sender as one process for the whole run (dicom_net_peers.py --sender), asked for
    each measurement over a pipe: one JSON line each way. After an error it is stopped, and every
    later request fails at once."""

    def __init__(self, zanthe: Program, scratch: Path) -> None:
        self.log = scratch / "one-sender.log"
        self.unread = b""
        self.broken: str | None = None
        with open(self.log, "wb") as log:
            self.proc = subprocess.Popen(
                [*zanthe_python(zanthe), str(PEERS_SCRIPT), "--sender"], stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=log, env=zanthe.env, cwd=scratch,
            )  # fmt: skip
        try:
            self.read_reply(START_TIMEOUT)  # {"ready": true}, once zanthe is imported
        except SenderError:
            self.close()
            raise

    def send(self, port: int, paths: list[Path], associations: int) -> ClientRun:
        if self.broken:
            return ClientRun(0.0, 0.0, [f"the sending process stopped earlier: {self.broken}"])
        request = {"port": port, "associations": associations, "paths": list(map(str, paths)), "timeout": SEND_TIMEOUT}
        try:
            self.write_line(json.dumps(request))
            reply = self.read_reply(CLIENT_TIMEOUT)
            return ClientRun(float(reply["seconds"]), float(reply["cpu"]), [str(f) for f in reply["failures"]])
        except SenderError as error:
            self.broken = str(error)
        except (KeyError, TypeError, ValueError) as error:  # a reply without its figures
            self.broken = f"answered a reply without its figures: {type(error).__name__}: {error}"
        self.close()
        return ClientRun(0.0, 0.0, [f"the sending process: {self.broken}"])

    def write_line(self, line: str) -> None:
        stdin = self.proc.stdin
        assert stdin is not None
        try:
            stdin.write(line.encode() + b"\n")
            stdin.flush()
        except BrokenPipeError:
            raise SenderError(f"exited before the request: {self.log_tail()}") from None

    def read_reply(self, timeout: float) -> dict:
        """The next JSON line on its stdout, read straight from the pipe so that select sees it all."""
        stdout = self.proc.stdout
        assert stdout is not None
        deadline = time.monotonic() + timeout
        while b"\n" not in self.unread:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise SenderError(f"no answer within {timeout:.0f} s: {self.log_tail()}")
            if select.select([stdout], [], [], remaining)[0]:
                chunk = os.read(stdout.fileno(), 1 << 16)
                if not chunk:
                    raise SenderError(f"exited ({self.proc.poll()}) without answering: {self.log_tail()}")
                self.unread += chunk
        line, self.unread = self.unread.split(b"\n", 1)
        try:
            reply = json.loads(line)
        except ValueError:
            raise SenderError(f"answered what is not JSON: {line[:200]!r}") from None
        if not isinstance(reply, dict):
            raise SenderError(f"answered what is not a reply: {line[:200]!r}")
        return reply

    def log_tail(self) -> str:
        return self.log.read_bytes()[-1500:].decode(errors="replace").strip() or "(nothing logged)"

    def close(self) -> None:
        """Closing its stdin ends it; one that does not end within 10 s is killed."""
        if self.proc.stdin and not self.proc.stdin.closed:
            try:
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        if self.proc.stdout:
            self.proc.stdout.close()


# ---------------------------------------------------------------------------------------------------
# Checking a store


def stored_files(store: Path) -> list[Path]:
    """Every file in the store but the receiver's own bookkeeping at its root."""
    found = (Path(root, name) for root, _, names in os.walk(store) for name in names)
    return sorted(path for path in found if not (path.parent == store and path.name in RECEIVER_BOOKKEEPING))


def store_problems(store: Path, expected: list[Instance]) -> list[str]:
    """What differs between the store and the instances sent: missing, extra, unreadable or changed
    files."""
    wanted = {instance.uid: instance for instance in expected}
    problems, seen = [], set()
    for path in stored_files(store):
        name = path.relative_to(store)
        try:
            dataset = pydicom.dcmread(path)
            uid, syntax, pixels = str(dataset.SOPInstanceUID), str(dataset.file_meta.TransferSyntaxUID), dataset.PixelData
        except Exception as error:  # whatever pydicom cannot read is the finding
            problems.append(f"{name}: not readable: {type(error).__name__}: {error}")
            continue
        instance = wanted.get(uid)
        if instance is None or uid in seen:
            problems.append(f"{name}: {'a second copy of' if uid in seen else 'never sent'}: {uid}")
        elif syntax != instance.transfer_syntax:
            problems.append(f"{name}: stored in {syntax}, sent in {instance.transfer_syntax}")
        elif pixel_digest(pixels) != instance.pixels:
            problems.append(f"{name}: pixel data differs from the file sent")
        seen.add(uid)
    problems += [f"missing: {uid}" for uid in wanted.keys() - seen]
    return problems


# ---------------------------------------------------------------------------------------------------
# Measurements


@dataclass(frozen=True)
class Outcome:
    instances: int
    seconds: float
    server_cpu: float
    client_cpu: float

    def rate(self) -> float:
        return self.instances / self.seconds

    def busy(self) -> float:
        """How busy the server and the clients kept the machine's CPUs."""
        return (self.server_cpu + self.client_cpu) / self.seconds / (os.cpu_count() or 1)


class Bench:
    def __init__(self, args: argparse.Namespace, zanthe: Program, inputs: Inputs, scratch: Path) -> None:
        self.args, self.inputs, self.scratch, self.zanthe = args, inputs, scratch, zanthe
        self.receivers, self.senders = receivers(zanthe), senders(zanthe)
        self.one_sender: OneSender | None = None
        self.serial = 0
        self.failed: dict[str, str] = {}  # zanthe's receivers and senders that failed, and why
        self.best: dict[tuple[str, str, str], Outcome] = {}  # (case, receiver, sender)

    def measure(self, case: str, receiver_name: str, sender_name: str, paths: list[Instance], associations: int) -> None:
        if receiver_name in self.failed or sender_name in self.failed:
            return
        receiver = self.receivers[receiver_name]
        self.serial += 1
        try:
            server = Running(receiver, self.scratch, self.serial)
        except StartError as error:
            return self.give_up(receiver_name, f"did not start: {error}")
        try:
            warm_up = run_clients(self.senders[STORESCU], server.port, [i.path for i in self.inputs.warm_up], 1, self.scratch)
            os.sync()  # what earlier runs left to write back does not land in this one
            cpu = process_cpu_seconds(server.proc.pid)
            run = self.send(sender_name, server.port, [i.path for i in paths], associations)
            server_cpu = process_cpu_seconds(server.proc.pid) - cpu
        finally:
            server.stop()
        where = f"{case}: {sender_name} to {receiver_name}"
        # The warm-up is storescu's: a failure there is the receiver's; a failure of zanthe's sender is its own.
        blamed = sender_name if sender_name in ZANTHE_SENDERS and not warm_up.failures else receiver_name
        if warm_up.failures or run.failures:
            failures = "\n".join([*warm_up.failures, *run.failures])
            return self.give_up(blamed, f"{where}: a client failed\n{failures}\nreceiver log: {server.log_tail()}")
        if receiver.checks_store:
            problems = store_problems(server.store, [*self.inputs.warm_up, *paths])
            if problems:
                listed = "\n  ".join(problems[:10])
                return self.give_up(blamed, f"{where}: the store is not what was sent ({len(problems)} problems):\n  {listed}")
        shutil.rmtree(server.store)
        outcome = Outcome(len(paths), run.seconds, server_cpu, run.cpu)
        print(f"  {where}: {outcome.rate():,.0f} instances/s", file=sys.stderr)
        key = (case, receiver_name, sender_name)
        if key not in self.best or outcome.rate() > self.best[key].rate():
            self.best[key] = outcome

    def send(self, sender_name: str, port: int, paths: list[Path], associations: int) -> ClientRun:
        if sender_name == ONE_SENDER:
            assert self.one_sender is not None  # measure() skips it when it did not start
            return self.one_sender.send(port, paths, associations)
        return run_clients(self.senders[sender_name], port, paths, associations, self.scratch)

    def start_one_sender(self) -> None:
        try:
            self.one_sender = OneSender(self.zanthe, self.scratch)
        except SenderError as error:
            self.give_up(ONE_SENDER, f"did not start: {error}")

    def give_up(self, name: str, reason: str) -> None:
        """Stops the bench over a peer; over zanthe, drops every figure of that receiver or sender
        (none is kept from a round that failed) and measures it no more."""
        if name not in ZANTHE_SIDES:
            raise SystemExit(f"{name}: {reason}")
        print(f"{name}: {reason}", file=sys.stderr)
        self.failed[name] = reason
        self.best = {key: outcome for key, outcome in self.best.items() if name not in key[1:]}

    def receiving_cases(self) -> list[tuple[str, list[Instance], int]]:
        small, big = self.inputs.small, self.inputs.big
        cases = [(f"{size_label(small)}, {n} association{'s' if n > 1 else ''}", small, n) for n in ASSOCIATION_COUNTS]
        return [*cases, (f"{size_label(big)}, 1 association", big, 1)]

    def sending_targets(self) -> list[str]:
        return [NO_FSYNC, STORESCP, STORESCP_IGNORE]

    def sending_case(self) -> str:
        return f"{size_label(self.inputs.small)}, 1 association"

    def senders_of(self, instances: list[Instance]) -> tuple[str, ...]:
        """Both senders for the small instances; storescu alone for the large ones, over one
        association, where the sender does not limit."""
        return (STORESCU, ONE_SENDER) if instances is self.inputs.small else (STORESCU,)

    def run(self) -> None:
        self.start_one_sender()  # once, so that its start and import stay out of every measurement
        try:
            for round_number in range(self.args.rounds):
                print(f"round {round_number + 1} of {self.args.rounds}", file=sys.stderr)
                self.run_round()
        finally:
            if self.one_sender is not None:
                self.one_sender.close()

    def run_round(self) -> None:
        for case, instances, associations in self.receiving_cases():
            for name in RECEIVERS:
                for sender in self.senders_of(instances):
                    self.measure(case, name, sender, instances, associations)
        for target in self.sending_targets():
            for sender in (ZANTHE_SEND, STORESCU):
                self.measure(SENDING + self.sending_case(), target, sender, self.inputs.small, 1)

    def figure(self, case: str, receiver: str, sender: str = STORESCU) -> Outcome | None:
        return self.best.get((case, receiver, sender))

    def one_instance_costs(self, runs: int = 5) -> dict[str, ClientRun]:
        """Each sender sending one instance to storescp --ignore, from its start to its exit (the
        median wall and CPU time of `runs`): what every client process pays before its first file."""
        self.serial += 1
        server = Running(self.receivers[STORESCP_IGNORE], self.scratch, self.serial)
        path = [self.inputs.warm_up[0].path]
        found = {}
        try:
            for name in (STORESCU, ZANTHE_SEND):
                done = [run_clients(self.senders[name], server.port, path, 1, self.scratch) for _ in range(runs)]
                if not any(run.failures for run in done):
                    found[name] = ClientRun(statistics.median(r.seconds for r in done), statistics.median(r.cpu for r in done), [])
        finally:
            server.stop()
        return found


# ---------------------------------------------------------------------------------------------------
# Output


def rate_text(outcome: Outcome | None) -> str:
    return "-" if outcome is None else f"{outcome.rate():,.0f}"


def ratio_of(ours: Outcome | None, theirs: Outcome | None) -> float | None:
    return ours.rate() / theirs.rate() if ours and theirs else None


def ratio_cell(value: float | None) -> str:
    return "-" if value is None else f"{value:.1f}x"


def per_instance_us(seconds: float, outcome: Outcome) -> str:
    return f"{seconds / outcome.instances * 1e6:,.0f}"


def cpu_note(outcomes: list[Outcome | None], cpu: Callable[[Outcome], float]) -> str:
    return " / ".join("-" if o is None else per_instance_us(cpu(o), o) for o in outcomes)


def busy_note(outcomes: list[Outcome | None]) -> str:
    return " / ".join("-" if o is None else f"{o.busy():.0%}" for o in outcomes)


def receiving_table(bench: Bench, rows: list[dict], sender: str = STORESCU) -> list[list[str]]:
    """The receivers' figures with one sender, over the cases it sent."""
    table = []
    row_suffix = "" if sender == STORESCU else ONE_SENDER_ROW
    for case, instances, associations in bench.receiving_cases():
        if sender not in bench.senders_of(instances):
            continue
        peers = {name: bench.figure(case, name, sender) for name in PEERS}
        for name, mode in ((DURABLE, "durable"), (NO_FSYNC, "--no-fsync")):
            ours = bench.figure(case, name, sender)
            label = f"receiving {case}, {mode}"
            rows.append({"case": f"{label}{row_suffix}, instances/s", "unit": "inst/s", "zanthe": ours and ours.rate(),
                         "peers": {peer: o and o.rate() for peer, o in peers.items()}})  # fmt: skip
            outcomes = [ours, *peers.values()]
            note = f"server us/instance {cpu_note(outcomes, lambda o: o.server_cpu)}; CPUs busy {busy_note(outcomes)}"
            if associations > 1 and mode == "durable":
                note += "; storescp serves one association at a time"
            table.append([label, "inst/s", rate_text(ours), *(rate_text(o) for o in peers.values()),
                          *(ratio_cell(ratio_of(ours, o)) for o in peers.values()), note])  # fmt: skip
    return table


def sending_table(bench: Bench, rows: list[dict]) -> list[list[str]]:
    table = []
    case = bench.sending_case()
    for target in bench.sending_targets():
        ours, theirs = (bench.figure(SENDING + case, target, sender) for sender in (ZANTHE_SEND, STORESCU))
        label = f"sending {case}, to {target}"
        rows.append({"case": f"{label}, instances/s", "unit": "inst/s", "zanthe": ours and ours.rate(),
                     "peers": {STORESCU: theirs and theirs.rate()}})  # fmt: skip
        note = f"client us/instance {cpu_note([ours, theirs], lambda o: o.client_cpu)}; CPUs busy {busy_note([ours, theirs])}"
        table.append([label, "inst/s", rate_text(ours), rate_text(theirs), ratio_cell(ratio_of(ours, theirs)), note])
    return table


def print_receiving_tables(bench: Bench, rows: list[dict]) -> None:
    headers = ["case", "unit", "zanthe", *PEERS, *(f"x {peer}" for peer in PEERS), "note"]
    print("Receiving, sent by storescu: one storescu process per association")
    print_table(headers, receiving_table(bench, rows))
    print("\nThe sender is storescu for every receiver, one process per association; instances per second from the")
    print("first client's start to the last one's exit. x = zanthe rate / peer rate (higher is better for zanthe).")
    print("CPU per instance and CPUs busy (server and clients): zanthe / storescp / pynetdicom, over the best run.\n")
    print(f"Receiving, sent by {ONE_SENDER}: N associations side by side in that one process")
    print_table(headers, receiving_table(bench, rows, ONE_SENDER))
    print(f"\nThe sender is {ONE_SENDER} for every receiver (zanthe.dicom.net.send in bench/dicom_net_peers.py")
    print("--sender), started once before the rounds; instances per second over each send() call alone, so no process")
    print("start or import is in the figures. Columns as above; CPUs busy counts that process's CPU over the call.")
    print("The 8 MiB instances are sent by storescu alone: over one association the sender does not limit.\n")


def write_and_sync_ms(folder: Path, size: int, count: int) -> float:
    """The median milliseconds to write a new file of `size` bytes and fsync it, on the store's disk."""
    data = os.urandom(size)
    folder.mkdir()
    times = []
    for number in range(count):
        start = time.perf_counter()
        with open(folder / str(number), "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        times.append(time.perf_counter() - start)
    shutil.rmtree(folder)
    return statistics.median(times) * 1e3


def sync_cost_lines(bench: Bench) -> list[str]:
    """What syncing costs zanthe per instance: the durable and --no-fsync times per instance apart,
    with each sender."""
    lines = []
    for case, instances, _ in bench.receiving_cases():
        for sender in bench.senders_of(instances):
            durable, loose = bench.figure(case, DURABLE, sender), bench.figure(case, NO_FSYNC, sender)
            if durable and loose:
                cost = (1 / durable.rate() - 1 / loose.rate()) * 1e6
                shown = f"{cost:,.0f} us per instance" if cost > 0 else "no cost seen, less than the spread between rounds"
                lines.append(f"  syncing, {case}, from {sender}: {shown} "
                             f"({durable.rate():,.0f} durable against {loose.rate():,.0f} --no-fsync instances/s)")  # fmt: skip
    return lines


def client_cpu_lines(bench: Bench) -> list[str]:
    """What each sender takes of CPU per instance, beside what zanthe --no-fsync takes to receive."""
    lines = []
    for case, instances, associations in bench.receiving_cases():
        for sender in bench.senders_of(instances):
            run = bench.figure(case, NO_FSYNC, sender)
            if run is None:
                continue
            processes = f" ({associations} process{'es' if associations > 1 else ''})" if sender == STORESCU else ""
            lines.append(f"  the client, {case}: {sender} takes {per_instance_us(run.client_cpu, run)} us of CPU per "
                         f"instance{processes}, zanthe --no-fsync {per_instance_us(run.server_cpu, run)} (its best run)")  # fmt: skip
    return lines


def print_where_the_time_goes(bench: Bench, scratch: Path) -> None:
    print("\nwhere the time goes")
    print(*sync_cost_lines(bench), sep="\n")
    small = bench.inputs.small[0].path.stat().st_size
    big = bench.inputs.big[0].path.stat().st_size
    print(f"  this disk: writing a new file and fsyncing it takes {write_and_sync_ms(scratch / 'sync-small', small, 100):.2f} ms "
          f"at {small / 1000:.0f} KB, {write_and_sync_ms(scratch / 'sync-big', big, 5):.1f} ms at {big / 2**20:.0f} MiB "
          "(median, one file at a time)")  # fmt: skip
    print(*client_cpu_lines(bench), sep="\n")
    costs = ", ".join(f"{name} {run.seconds * 1e3:.0f} ms ({run.cpu * 1e3:.0f} ms of CPU)"
                      for name, run in bench.one_instance_costs().items())  # fmt: skip
    print(f"  one instance to storescp --ignore, process start to exit (median of 5): {costs};")
    print(f"  every client process pays this once, so {ASSOCIATION_COUNTS[-1]} storescu processes pay it "
          f"{ASSOCIATION_COUNTS[-1]} times over the same {len(bench.inputs.small)} instances")  # fmt: skip
    print(f"  load average {os.getloadavg()[0]:.2f} at the end (other work on the machine shows as spread between rounds)")


def dcmtk_version() -> str:
    done = subprocess.run(["storescp", "--version"], capture_output=True, text=True, check=False)
    found = re.search(r"v(\d+\.\d+\.\d+)", done.stdout)
    return f"DCMTK {found[1] if found else '(version unknown)'}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("ZANTHE_BUILD_DIR"))
    parser.add_argument("--zanthe", help="the zanthe command to run, e.g. '.venv/bin/zanthe' (default: this Python's)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds per case, receiver and sender; best kept")
    parser.add_argument("--store-parent", default="/tmp", help="where the inputs and stores are made (a real disk)")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--quick", action="store_true", help="one round of fewer instances: a smoke run, not figures to keep")
    args = parser.parse_args()
    missing = [tool for tool in DCMTK_TOOLS if shutil.which(tool) is None]
    if missing:
        raise SystemExit(f"needs DCMTK's {', '.join(missing)} (Debian package dcmtk)")
    small, big = (QUICK_SMALL_COUNT, QUICK_BIG_COUNT) if args.quick else (SMALL_COUNT, BIG_COUNT)
    if args.quick:
        args.rounds = 1

    with tempfile.TemporaryDirectory(prefix="zanthe-dicom-net-bench-", dir=args.store_parent) as folder:
        scratch = Path(folder)
        zanthe = zanthe_program(args, scratch)
        origin = f", from {args.build_dir}" if args.build_dir else ""
        print(f"zanthe: {zanthe_version(zanthe, scratch)}, as `zanthe dicom listen` and `zanthe dicom send`{origin}")
        print(f"peers: {dcmtk_version()} storescp, storescu, echoscu (TCP_NODELAY=1); {versions('pynetdicom', 'pydicom')}")
        print(f"machine: {machine()}, load average {os.getloadavg()[0]:.2f} at the start")
        print(f"store: {storage(scratch)}")
        inputs = make_inputs(scratch / "inputs", small, big)
        print(f"inputs: {size_label(inputs.small)} (CT_small.dcm, fresh SOP Instance UIDs), {size_label(inputs.big)} "
              f"(synthetic CT {BIG_SIDE}x{BIG_SIDE}, 16 bits), explicit VR little endian; best of {args.rounds}")  # fmt: skip
        print()
        bench = Bench(args, zanthe, inputs, scratch)
        bench.run()
        rows: list[dict] = []
        print_receiving_tables(bench, rows)
        print_table(["case", "unit", ZANTHE_SEND, STORESCU, "ratio", "note"], sending_table(bench, rows))
        print(f"\nEach sender a process from start to exit; ratio = {ZANTHE_SEND} rate / storescu rate. CPU per instance")
        print(f"of the client and CPUs busy: {ZANTHE_SEND} / storescu. storescp --ignore receives and stores nothing.")
        for name, reason in bench.failed.items():
            print(f"NOT MEASURED: {name}: {reason}")
        print_where_the_time_goes(bench, scratch)
    write_results(args.json, rows, [])


if __name__ == "__main__":
    main()
