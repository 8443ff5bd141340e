"""`zanthe fhir` on a whole DICOM archive against the same job done by a pydicom program, side by side.

    python bench/archive_bench.py [--data /tmp/zanthe-bench-archive] [-j N] [--rounds 3] [--json PATH]
                                  [--build-dir build/bench | --zanthe "CMD"] [--quick]

Both sides run as subprocesses over the same folders and write one ImagingStudy per study as JSON
Lines into a file: `zanthe fhir -j N FOLDER` (N worker threads in one process) and
`python bench/archive_peer.py -j N FOLDER` (pydicom's dcmread(path, stop_before_pixels=True) in a
multiprocessing Pool of N processes, grouped by study; see that file). The archives are written once
by bench/archive_data.py under --data and reused:
- big: 2 studies x 3 series x 50 CT images of 8 MiB native pixel data, plus one multi-frame image of
  1.2 GiB (a hole on disk): 301 files, 3.5 GiB;
- small-N: N header-only files of 1.4 KiB, 100 a series, 10 series a study, for N = 10,000, 30,000
  and 100,000.

The first row is what starting each side costs with nothing to read (`zanthe --version`, the peer's
--help with its imports), part of every time below it. Measured per side: wall time, CPU time (in
the notes), and the bytes read from storage (ru_inblock of the finished subprocess and its reaped
children, x 512). Cold: before each run every file of the archive is written back (os.sync) and
dropped from the page cache (posix_fadvise DONTNEED); inodes and folders stay cached. Warm: one
zanthe run fills the cache, then the best of --rounds of each side; a case's rounds stop once a
side's runs have taken --budget seconds, and a run past --timeout is killed with all it started.

The script checks once per archive that both outputs hold the same studies, series and instances
(UIDs, numbers, modality, SOP class) and the same counts, and says so in the note column; where they
differ, the row is of unequal work. With `--dask` in `zanthe fhir --help`, the largest small-file
archive is also converted with `--dask local` (a LocalCluster), in files per second beside the local
run (skipped with the reason when that fails, for example without dask.distributed). Nothing here
asserts on time.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import archive_data
from common import ROOT, checkout_command, machine, print_table, ratio_text, versions, write_results

PEER = str(Path(__file__).resolve().parent / "archive_peer.py")
START_UP_RUNS = 10
START_UP_COMMANDS = [
    ("zanthe fhir FILE", ["fhir", "--no-progress", str(ROOT / "examples" / "data" / "sample_ct.dcm")]),
    ("zanthe hl7 parse FILE", ["hl7", "parse", str(ROOT / "examples" / "data" / "sample_adt.hl7")]),
]


@dataclass(frozen=True)
class Program:
    """A command line and what it runs with (every run starts in the scratch folder, so a
    `python -m zanthe` there cannot pick up the checkout's package, without its native modules)."""

    command: list[str]
    env: dict[str, str] | None = None


@dataclass
class Run:
    seconds: float
    cpu_seconds: float
    bytes_read: int
    output: Path
    failure: str = ""


@dataclass
class Side:
    """Best figures of one side on one case, and the output of its first run."""

    seconds: float | None = None
    cpu_seconds: float | None = None  # of the fastest run
    bytes_read: int | None = None
    failure: str = ""
    output: Path | None = None


def zanthe_program(args: argparse.Namespace, scratch: Path) -> Program:
    """`zanthe` as asked: a given command, the checkout with a build tree's native modules, or the
    one installed beside this Python."""
    if args.zanthe:
        return Program(shlex.split(args.zanthe))
    if args.build_dir:
        return Program(*checkout_command(args.build_dir, scratch))
    script = Path(sys.executable).parent / "zanthe"
    return Program([str(script)] if script.exists() else [sys.executable, "-m", "zanthe"])


def evict(files: list[str]) -> None:
    """Write back, then drop every page of these files from the page cache."""
    os.sync()
    for path in files:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def run_once(program: Program, arguments: list[str], output: Path, files: list[str] | None, timeout: float) -> Run:
    """One run with stdout into `output`; `files` are evicted first (a cold run) unless None. A run
    past `timeout` seconds is killed with every process it started."""
    if files is not None:
        evict(files)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    with open(output, "wb") as out:
        child = subprocess.Popen([*program.command, *arguments], stdout=out, stderr=subprocess.PIPE,
                                 stdin=subprocess.DEVNULL, cwd=output.parent, env=program.env, start_new_session=True)  # fmt: skip
        try:
            _, errors = child.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            child.communicate()
            errors = f"timed out after {timeout:.0f} s".encode()
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    failure = ""
    if child.returncode != 0:
        lines = errors.decode(errors="replace").strip().splitlines()
        failure = f"exit {child.returncode}: {lines[-1] if lines else 'no message'}"
    return Run(seconds, cpu, (after.ru_inblock - before.ru_inblock) * 512, output, failure)


def run_quietly(program: Program, folder: Path) -> float:
    """Seconds one run of `program` takes, its output thrown away."""
    start = time.perf_counter()
    subprocess.run(program.command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                   cwd=folder, env=program.env, check=True)  # fmt: skip
    return time.perf_counter() - start


def measure(program: Program, arguments: list[str], output: Path, files: list[str], cold: bool, args: argparse.Namespace,
            warm_up: bool = True) -> Side:  # fmt: skip
    """Best time and fewest bytes read over up to --rounds runs (warm: after a warming run, unless
    `warm_up` is false because the files were just read); the rounds stop once they have taken
    --budget seconds."""
    side, spent = Side(), 0.0
    warming = not cold and warm_up
    for n in range(args.rounds + warming):
        run = run_once(program, arguments, output.with_suffix(f".{n}.ndjson"), files if cold else None, args.timeout)
        if side.output is None:
            side.output = run.output
        else:
            run.output.unlink()
        if run.failure:
            side.failure = run.failure
            return side
        if n == 0 and warming:
            continue
        if side.seconds is None or run.seconds < side.seconds:
            side.seconds, side.cpu_seconds = run.seconds, run.cpu_seconds
        side.bytes_read = run.bytes_read if side.bytes_read is None else min(side.bytes_read, run.bytes_read)
        spent += run.seconds
        if spent > args.budget:
            break
    return side


# ---------------------------------------------------------------------------------------------------
# Do both sides find the same studies?


def study_uid(study: dict) -> str:
    for identifier in study.get("identifier", ()):
        if identifier.get("system") == "urn:dicom:uid":
            value = identifier.get("value", "")
            return value[8:] if value.startswith("urn:oid:") else value
    return study.get("id", "")


def summary(path: Path) -> dict[str, tuple]:
    """Per study UID: its counts and its series (UID, number, modality, count, instances) in order."""
    studies = {}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            study = json.loads(line)
            series = tuple(
                (
                    s.get("uid"),
                    s.get("number"),
                    s.get("modality", {}).get("code"),
                    s.get("numberOfInstances"),
                    tuple((i.get("uid"), i.get("sopClass", {}).get("code"), i.get("number")) for i in s.get("instance", ())),
                )
                for s in study.get("series", ())
            )
            uid = study_uid(study)
            if uid in studies:
                return {"(study written twice)": (uid,)}
            studies[uid] = (study.get("numberOfSeries"), study.get("numberOfInstances"), series)
    return studies


def agreement(ours: Path, theirs: Path, expected: archive_data.Expected) -> str:
    """The note on whether both sides found the same studies, series and instances."""
    try:
        a, b = summary(ours), summary(theirs)
        same_resources = resources(ours) == resources(theirs)
    except (OSError, ValueError) as error:
        return f"output not read: {error}"
    series = sum(len(s[2]) for s in b.values())
    instances = sum(len(i[4]) for s in b.values() for i in s[2])
    if (len(b), series, instances) != (expected.studies, expected.series, expected.files):
        return f"pydicom finds {len(b)} studies, {series} series, {instances} instances: not what was written"
    found = f"{len(b):,} studies, {series:,} series, {instances:,} instances"
    if same_resources:
        return f"same resources: {found}"
    if a == b:
        return f"same {found}, counts and order; other members differ"
    if a.keys() != b.keys():
        return f"differ: studies ({len(a)} against {len(b)})"
    for uid in a:
        if a[uid][:2] != b[uid][:2]:
            return f"differ: study counts of {uid}"
        if [s[0] for s in a[uid][2]] != [s[0] for s in b[uid][2]]:
            return f"differ: series (or their order) of {uid}"
    what = ["uid", "number", "modality", "numberOfInstances", "instances"]
    differing = {w for uid in a for mine, peer in zip(a[uid][2], b[uid][2]) for w, x, y in zip(what, mine, peer) if x != y}
    if differing == {"numberOfInstances"} and all(s[3] is None for study in a.values() for s in study[2]):
        return f"same {found}; zanthe's series lack numberOfInstances"
    return "differ: series " + ", ".join(w for w in what if w in differing)


def resources(path: Path) -> list[dict]:
    with open(path, encoding="utf-8") as lines:
        return [json.loads(line) for line in lines]


# ---------------------------------------------------------------------------------------------------


def zanthe_says(program: Program, arguments: list[str], scratch: Path) -> str:
    done = subprocess.run([*program.command, *arguments], capture_output=True, text=True, cwd=scratch, env=program.env)
    return done.stdout if done.returncode == 0 else ""


def storage(folder: Path) -> str:
    """The file system and device under `folder`, and the device's read-ahead."""
    done = subprocess.run(["df", "--output=fstype,source", str(folder)], capture_output=True, text=True)
    fields = done.stdout.split()[-2:] if done.returncode == 0 else ["?", "?"]
    device = Path(fields[1]).name
    try:
        ahead = Path(f"/sys/block/{device}/queue/read_ahead_kb").read_text().strip()
        return f"{fields[0]} on {fields[1]}, read-ahead {ahead} KiB"
    except OSError:
        return f"{fields[0]} on {fields[1]}"


def seconds_text(value: float | None) -> str:
    return "-" if value is None else f"{value:.3f}" if value < 10 else f"{value:.1f}"


def mib_text(value: float | None) -> str:
    return "-" if value is None else f"{value:.1f}"


def rate_text(value: float | None) -> str:
    return "-" if not value else f"{value:,.0f}"


def mib(value: int | None) -> float | None:
    return None if value is None else value / 2**20


class Bench:
    """The cases, run one after another into rows (for --json) and a printed table."""

    def __init__(self, args: argparse.Namespace, zanthe: Program, scratch: Path) -> None:
        self.args, self.zanthe, self.scratch = args, zanthe, scratch
        self.peer = Program([sys.executable, PEER])
        self.rows: list[dict] = []
        self.growth: list[dict] = []
        self.table: list[list[str]] = []

    def case(self, name: str, archive: Path, expected: archive_data.Expected, workers: int, cold: bool, check: bool) -> tuple[Side, Side, list[str]]:
        """Both sides on one archive; the notes say whether they agree and the CPU time each took."""
        files = archive_data.files_under(archive)
        tag = f"{archive.name}-{workers}-{'cold' if cold else 'warm'}"
        arguments = ["-j", str(workers), str(archive)]
        print(f"  {name}", file=sys.stderr)
        ours = measure(self.zanthe, ["fhir", *arguments], self.scratch / f"zanthe-{tag}", files, cold, self.args)
        # Warm, zanthe's runs have just brought every file into the cache; the peer's long runs
        # need no warming run of their own.
        theirs = measure(self.peer, arguments, self.scratch / f"peer-{tag}", files, cold, self.args, warm_up=False)
        sides = (("zanthe", ours), ("pydicom", theirs))
        if ours.failure or theirs.failure:
            return ours, theirs, [f"{who} fails: {side.failure}" for who, side in sides if side.failure]
        notes = [agreement(ours.output, theirs.output, expected)] if check and ours.output and theirs.output else []
        return ours, theirs, [*notes, "CPU s: " + ", ".join(f"{who} {seconds_text(side.cpu_seconds)}" for who, side in sides)]

    def add(self, name: str, unit: str, ours: float | None, theirs: float | None, notes: list[str]) -> None:
        self.rows.append({"case": name, "unit": unit, "zanthe": ours, "peers": {"pydicom": theirs}})
        shown = {"s": seconds_text, "MiB": mib_text, "files/s": rate_text}[unit]
        ratio = ratio_text(ours, theirs) if unit.endswith("/s") else ratio_text(theirs, ours)
        self.table.append([name, unit, shown(ours), shown(theirs), ratio, "; ".join(notes)])

    def start_up(self) -> None:
        """What starting each side costs with no file to read: `zanthe --version` and the peer's
        --help (its imports: pydicom), best of five; part of every time below."""
        figures = []
        for program, arguments in ((self.zanthe, ["--version"]), (self.peer, ["--help"])):
            times = []
            for n in range(5):
                run = run_once(program, arguments, self.scratch / f"start-up.{n}.txt", None, self.args.timeout)
                run.output.unlink()
                times += [] if run.failure else [run.seconds]
            figures.append(min(times, default=None))
        self.add("start-up alone (--version, --help)", "s", figures[0], figures[1], ["in every time below"])
        self.start_up_over_bare_interpreter()

    def start_up_over_bare_interpreter(self) -> None:
        """What a short command costs beyond starting the interpreter itself: `zanthe fhir FILE` and
        `zanthe hl7 parse FILE` against `python -c pass`, run in turn, median of START_UP_RUNS each."""
        bare = Program([sys.executable, "-c", "pass"], self.zanthe.env)
        commands = {name: Program([*self.zanthe.command, *arguments], self.zanthe.env) for name, arguments in START_UP_COMMANDS}
        times: dict[str, list[float]] = {name: [] for name in ["bare", *commands]}
        for _ in range(START_UP_RUNS):
            for name, program in [("bare", bare), *commands.items()]:
                times[name].append(run_quietly(program, self.scratch))
        bare_ms = statistics.median(times["bare"]) * 1000
        for name in commands:
            over = statistics.median(times[name]) * 1000 - bare_ms
            self.rows.append({"case": f"start-up over a bare interpreter: {name}", "unit": "ms", "zanthe": over,
                              "peers": {"bare interpreter": bare_ms}})  # fmt: skip
            notes = f"median of {START_UP_RUNS}; the bare interpreter (python -c pass) takes {bare_ms:.1f} ms"
            self.table.append([f"start-up over a bare interpreter: {name}", "ms", f"{over:.1f}", "-", "-", notes])

    def big_archive(self, big: Path, jobs: int) -> None:
        for workers in dict.fromkeys([1, jobs]):
            for cold in (True, False):
                name = f"big archive, {'cold' if cold else 'warm'}, -j {workers}"
                check = workers == 1 and cold  # once, on the first case
                ours, theirs, notes = self.case(name, big, archive_data.big_expected(), workers, cold, check)
                self.add(name, "s", ours.seconds, theirs.seconds, notes)
                if cold:
                    self.add(f"{name}: read from storage", "MiB", mib(ours.bytes_read), mib(theirs.bytes_read), [])

    def small_archives(self, small: dict[int, Path], jobs: int) -> None:
        for size, archive in small.items():
            name = f"{size:,} small files, warm, -j {jobs}"
            ours, theirs, notes = self.case(name, archive, archive_data.small_expected(size), jobs, cold=False, check=True)
            rates = [size / side.seconds if side.seconds else None for side in (ours, theirs)]
            self.add(name, "s", ours.seconds, theirs.seconds, [*notes, f"files/s: zanthe {rate_text(rates[0])}, pydicom {rate_text(rates[1])}"])
            for who, side in (("zanthe", ours), ("pydicom", theirs)):
                growth = side.seconds * 1e6 if side.seconds else None
                self.growth.append({"series": f"Archive, {who}, small files warm", "size": size, "per_call_us": growth})
        largest = max(small)
        name = f"{largest:,} small files, cold, -j {jobs}"
        ours, theirs, notes = self.case(name, small[largest], archive_data.small_expected(largest), jobs, cold=True, check=False)
        self.add(name, "s", ours.seconds, theirs.seconds, notes)
        self.add(f"{name}: read from storage", "MiB", mib(ours.bytes_read), mib(theirs.bytes_read), [])

    def dask(self, small: dict[int, Path], jobs: int, help_text: str) -> None:
        """zanthe over a Dask LocalCluster on the largest small-file archive, in files/s beside its
        local run; the pydicom column is the peer's local run."""
        size = max(small)
        name = f"{size:,} small files, warm, --dask local"
        local = next(row for row in self.rows if row["case"] == f"{size:,} small files, warm, -j {jobs}")
        local_rate, peer_rate = (size / value if value else None for value in (local["zanthe"], local["peers"]["pydicom"]))
        if "--dask" not in help_text:
            self.add(name, "files/s", None, peer_rate, ["skipped: zanthe fhir here has no --dask"])
            return
        print(f"  {name}", file=sys.stderr)
        output = self.scratch / "zanthe-dask"
        side = measure(self.zanthe, ["fhir", "--dask", "local", str(small[size])], output, [], False, self.args)
        if side.failure or not side.seconds or not side.output:
            self.add(name, "files/s", None, peer_rate, [f"skipped: {side.failure}"])
            return
        peer_output = self.scratch / f"peer-{small[size].name}-{jobs}-warm.0.ndjson"
        agrees = agreement(side.output, peer_output, archive_data.small_expected(size))
        self.add(name, "files/s", size / side.seconds, peer_rate, [agrees, f"zanthe -j {jobs} without Dask: {rate_text(local_rate)} files/s"])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", default=archive_data.DEFAULT_DATA, help="where the archives are kept")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1, help="workers on each side (default: CPUs)")
    parser.add_argument("--rounds", type=int, default=3, help="timed runs per case and side, best kept")
    parser.add_argument("--budget", type=float, default=60.0, help="stop a case's rounds after this many seconds")
    parser.add_argument("--timeout", type=float, default=1800.0, help="kill a run after this many seconds")
    parser.add_argument("--sizes", default="10000,30000,100000", help="sizes of the small-file archives")
    parser.add_argument("--build-dir", default=os.environ.get("ZANTHE_BUILD_DIR"))
    parser.add_argument("--zanthe", help="the zanthe command to run, e.g. '.venv/bin/zanthe' (default: this Python's)")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--quick", action="store_true", help="one round and small archives: a smoke run")
    args = parser.parse_args()
    if args.quick:
        args.rounds, args.sizes = 1, "1000,3000,10000"

    data = Path(args.data)
    data.mkdir(parents=True, exist_ok=True)
    print("writing the archives (once)", file=sys.stderr)
    big = archive_data.write_big(data)
    small = {size: archive_data.write_small(data, size) for size in map(int, args.sizes.split(","))}

    with tempfile.TemporaryDirectory(prefix="zanthe-archive-bench-") as folder:
        scratch = Path(folder)
        zanthe = zanthe_program(args, scratch)
        help_text = zanthe_says(zanthe, ["fhir", "--help"], scratch)
        version = zanthe_says(zanthe, ["--version"], scratch).strip() or "zanthe (version unknown)"
        print(f"zanthe: {version}, as `zanthe fhir -j {args.jobs} FOLDER`" + (f", from {args.build_dir}" if args.build_dir else ""))
        print(f"peers: {versions('pydicom')} (bench/archive_peer.py -j {args.jobs}: a multiprocessing Pool)")
        print(f"machine: {machine()}")
        print(f"storage: {storage(data)}")
        print()
        bench = Bench(args, zanthe, scratch)
        bench.start_up()
        bench.big_archive(big, args.jobs)
        bench.small_archives(small, args.jobs)
        bench.dask(small, args.jobs, help_text)

    print_table(["case", "unit", "zanthe", "pydicom", "ratio", "note"], bench.table)
    print("\nratio = pydicom / zanthe for times and bytes read, zanthe / pydicom for files/s. -j: workers on each side,")
    print("threads in one process for zanthe, processes for pydicom. Cold: every file's pages dropped before each run")
    print(f"(inodes and folders stay cached); warm: best of up to {args.rounds} (fewer past {args.budget:.0f} s) after a warming")
    print("run. Read from storage: ru_inblock x 512 of the run and its children. The Dask row's pydicom figure is")
    print("its local run's.")
    if "--per-file" not in help_text:
        print("note: this zanthe fhir has no --per-file: it writes one resource per file, not one per study")
    for series, sizes, exponent in fit_growth(bench.growth):
        print(f"growth {series} ({sizes}): k = {exponent:.2f}")
    write_results(args.json, bench.rows, bench.growth)


def fit_growth(growth: list[dict]) -> list[tuple[str, str, float]]:
    """Per growth series: its sizes and the exponent k of cost ~ files^k, fitted as run_all does."""
    from run_all import slope

    series: dict[str, list[tuple[float, float]]] = {}
    for point in growth:
        if point["per_call_us"]:
            series.setdefault(point["series"], []).append((point["size"], point["per_call_us"]))
    return [
        (name, f"{min(points)[0]:,.0f} to {max(points)[0]:,.0f} files", slope(sorted(points)))
        for name, points in series.items()
        if len(points) > 1
    ]


if __name__ == "__main__":
    main()
