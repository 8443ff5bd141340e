"""Every benchmark in one run: zanthe beside its peers, the targets, and how cost grows with size.

    python bench/run_all.py [--build-dir build/bench] [--quick] [--markdown docs/performance.md]

Runs bench/mcp_bench.py, bench/mcp_http_bench.py (which needs wrk), bench/hl7_bench.py,
bench/mllp_bench.py, bench/fhir_bench.py, bench/archive_bench.py, bench/pixels_bench.py and bench/dicom_net_bench.py
(which needs DCMTK's storescp, storescu and echoscu) one after another, prints their
tables, then the targets (zanthe against the peer each is set against) and, for every growth series, the exponent k of cost ~ size^k fitted over
its points (1 is linear). The archive bench writes its archives once under /tmp/zanthe-bench-archive
(about 3 GiB on disk) and takes some minutes, most of them the pydicom side's; the MLLP bench keeps
its durable listener's journal in a scratch folder under /tmp, which must be a real disk. With ZANTHE_BASELINE_BUILD_DIR naming the build
tree of an earlier commit, the DICOM bench also counts the instructions of both builds on ASCII files.
With --markdown it also writes
the whole report and a log-log plot of the growth series (PNG beside it, needs matplotlib).
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from common import ROOT, machine

BENCHES = [
    ("MCP tool calls over stdio", "mcp_bench.py"),
    ("MCP tool calls over Streamable HTTP", "mcp_http_bench.py"),
    ("HL7 v2", "hl7_bench.py"),
    ("HL7 v2 over MLLP with acknowledgments", "mllp_bench.py"),
    ("DICOM to FHIR", "fhir_bench.py"),
    ("DICOM archive to FHIR", "archive_bench.py"),
    ("DICOM frames to PNG", "pixels_bench.py"),
    ("DICOM networking: C-STORE received and sent", "dicom_net_bench.py"),
]
# The first word of the growth series names of each bench that has them: one plot panel each.
PLOT_PREFIXES = {"mcp_bench.py": "MCP", "hl7_bench.py": "HL7", "mllp_bench.py": "MLLP", "fhir_bench.py": "DICOM",
                 "archive_bench.py": "Archive"}
QUICK_OPTIONS = {"mcp_bench.py": ["--quick"], "mcp_http_bench.py": ["--quick"], "mllp_bench.py": ["--quick"],
                 "archive_bench.py": ["--quick"], "pixels_bench.py": ["--quick"], "dicom_net_bench.py": ["--quick"]}
MLLP_PEER = "python-hl7 asyncio"
START_UP_MAX_MS = 20
# pixels_bench.py's cases (the native CT and every compressed file) and the ratio each should reach.
PIXELS_TARGETS = {"CT 512x512, native": 5, "CT 512x512, JPEG 2000 lossless": 2, "CT 512x512, JPEG 2000 lossy (693_J2KI)": 2,
                  "MG 2000x2500, JPEG 2000 lossless": 2, "MG 2000x2500, JPEG 2000 lossless, max_size 1024": 2}
MLLP_TARGETS = {("8 connections", "durable"): 4, ("8 connections", "--no-fsync"): 6}
# dicom_net_bench.py: instances per second received against each peer SCP, and sent against storescu.
DICOM_NET_TARGETS = {("8 associations", "durable", "storescp"): 2, ("8 associations", "durable", "pynetdicom"): 5}
DICOM_NET_SCU_TARGET = 1
DICOM_NET_ONE_SENDER = ", one sending process"  # dicom_net_bench.py's rows sent by one zanthe send process


def run_bench(script: str, build_dir: str | None, quick: bool, results: Path) -> tuple[str, dict]:
    command = [sys.executable, str(ROOT / "bench" / script), "--json", str(results)]
    if build_dir:
        command += ["--build-dir", build_dir]
    if quick:
        command += QUICK_OPTIONS.get(script, ["--seconds", "0.02"])
    baseline = os.environ.get("ZANTHE_BASELINE_BUILD_DIR")
    if script == "fhir_bench.py" and baseline:
        command += ["--baseline-build-dir", baseline]  # ASCII cost against an earlier build
    print(f"running {script}", file=sys.stderr)
    done = subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True)
    return done.stdout, json.loads(results.read_text())


def find_row(figures: dict, *words: str) -> dict | None:
    return next((row for row in figures["rows"] if all(w in row["case"] for w in words)), None)


def ratio(row: dict | None, peer: str) -> float | None:
    """How many times better zanthe is than `peer` on this row (times: lower is better; rates: higher)."""
    if not row or not row.get("zanthe") or not row["peers"].get(peer):
        return None
    theirs, ours = row["peers"][peer], row["zanthe"]
    return ours / theirs if row["unit"].endswith("/s") else theirs / ours


def archive_row(figures: dict, start: str, read: bool = False) -> dict | None:
    """The archive bench's row whose case starts with `start`, at the most workers it ran (the last
    such row): its time, or with `read` the bytes it read from storage."""
    found = [r for r in figures["rows"] if r["case"].startswith(start) and r["case"].endswith("read from storage") == read]
    return found[-1] if found else None


def targets(figures: dict[str, dict]) -> list[tuple[str, float | None, float | None, str]]:
    """(what, the target or None for a figure shown beside the targets, what was measured, its unit):
    ratios ("x") and the start-up times (" ms")."""
    archive = figures.get("archive_bench.py", {"rows": []})
    return [(*target, "x") for target in ratio_targets(figures)] + start_up_targets(archive)


def ratio_targets(figures: dict[str, dict]) -> list[tuple[str, float | None, float | None]]:
    """(what, the target ratio or None for a figure shown beside the targets, the ratio measured)."""
    mcp, hl7, fhir = figures["mcp_bench.py"], figures["hl7_bench.py"], figures["fhir_bench.py"]
    http = figures.get("mcp_http_bench.py", {"rows": []})
    archive = figures.get("archive_bench.py", {"rows": []})
    mllp = figures.get("mllp_bench.py", {"rows": []})
    pixels = figures.get("pixels_bench.py", {"rows": []})
    dicom_net = figures.get("dicom_net_bench.py", {"rows": []})
    return [
        ("MCP pipelined calls/s, x SDK low-level Server", 20, ratio(find_row(mcp, "pipelined"), "SDK lowlevel")),
        ("MCP p50 latency, SDK low-level Server / zanthe", 10, ratio(find_row(mcp, "p50"), "SDK lowlevel")),
        (
            "MCP stdio pipelined calls/s, 2026-07-28 envelope / handshake era (at most 10% slower)",
            0.9,
            ratio(find_row(mcp, "envelope", "handshake era"), "handshake era"),
        ),
        (
            "MCP over HTTP, ToolServer requests/s at 8 connections, x SDK MCPServer",
            20,
            ratio(find_row(http, "ToolServer", "requests/s"), "SDK MCPServer"),
        ),
        (
            "MCP over HTTP, p50 latency at 8 connections, SDK MCPServer / ToolServer",
            10,
            ratio(find_row(http, "ToolServer", "p50"), "SDK MCPServer"),
        ),
        ("HL7 parse, realistic corpus, x python-hl7", 10, ratio(find_row(hl7, "3 realistic"), "python-hl7")),
        *mllp_targets(mllp),
        ("imaging_study, pydicom files, x pydicom pipeline", 50, ratio(find_row(fhir, "pydicom files"), "pydicom")),
        ("zanthe fhir, big archive cold, x pydicom pipeline", 2, ratio(archive_row(archive, "big archive, cold"), "pydicom")),
        (
            "zanthe fhir, big archive cold, bytes read, pydicom / zanthe (at most 2x the peer's)",
            0.5,
            ratio(archive_row(archive, "big archive, cold", read=True), "pydicom"),
        ),
        ("zanthe fhir, big archive warm, x pydicom pipeline", 6, ratio(archive_row(archive, "big archive, warm"), "pydicom")),
        (
            "zanthe fhir, 100,000 small files warm, x pydicom pipeline",
            20,
            ratio(archive_row(archive, "100,000 small files, warm, -j"), "pydicom"),
        ),
        (
            "imaging_study, ASCII files, instructions baseline / now (at most 5% more)",
            1 / 1.05,
            ratio(find_row(fhir, "instructions", "the 6 files"), "zanthe baseline"),
        ),
        *pixels_targets(pixels),
        *dicom_net_targets(dicom_net),
    ]


def pixels_targets(pixels: dict) -> list[tuple[str, float | None, float | None]]:
    """A frame rendered to PNG against the pydicom and numpy pipeline, file by file."""
    return [
        (f"render to PNG, {case}, x pydicom pipeline", target, ratio(find_row(pixels, f"{case}: render to PNG"), "pydicom"))
        for case, target in PIXELS_TARGETS.items()
    ]


def start_up_targets(archive: dict) -> list[tuple[str, float | None, float | None, str]]:
    """Milliseconds a short command takes beyond a bare interpreter, against the most it may take."""
    found = []
    for command in ("zanthe fhir FILE", "zanthe hl7 parse FILE"):
        row = find_row(archive, "start-up over a bare interpreter", command)
        found.append((f"{command} start-up over a bare interpreter (at most)", START_UP_MAX_MS, row and row["zanthe"], " ms"))
    return found


def mllp_targets(mllp: dict) -> list[tuple[str, float | None, float | None]]:
    """Messages per second with acknowledgments against the peer: targets over 8 connections, the
    figures over 1 connection beside them."""
    found = []
    for connections in ("8 connections", "1 connection"):
        for mode in ("durable", "--no-fsync"):
            row = find_row(mllp, f"{connections}, {mode}, messages/s")
            found.append((f"HL7 MLLP {connections} {mode}, x {MLLP_PEER}", MLLP_TARGETS.get((connections, mode)), ratio(row, MLLP_PEER)))
    for mode in ("durable", "--no-fsync"):
        row = find_row(mllp, "minimal", f"8 connections, {mode}, messages/s")
        found.append((f"HL7 MLLP 8 connections {mode}, minimal message, x {MLLP_PEER}", None, ratio(row, MLLP_PEER)))
    return found


def dicom_net_row(net: dict, size: str, associations: str, mode: str, one_sender: bool) -> dict | None:
    """The receiving row of one case, sent by storescu processes or by the one zanthe send process."""
    return next((row for row in net["rows"] if row["case"].startswith("receiving")
                 and f"x {size}, {associations}, {mode}," in row["case"]
                 and row["case"].endswith(f"{DICOM_NET_ONE_SENDER}, instances/s") == one_sender), None)  # fmt: skip


def dicom_net_targets(net: dict) -> list[tuple[str, float | None, float | None]]:
    """Small instances received over 8 and 1 associations against storescp and pynetdicom (targets
    for the durable server over 8), with each sender; the large ones beside them, sent by storescu;
    and the SCU against storescu."""
    found: list[tuple[str, float | None, float | None]] = []
    small = [("39 KB", "8 associations", "durable"), ("39 KB", "8 associations", "--no-fsync"),
             ("39 KB", "1 association", "durable")]  # fmt: skip
    senders = [("storescu", False, [*small, ("8 MiB", "1 association", "durable")]), ("one zanthe send process", True, small)]
    for sender, one_sender, cases in senders:
        for size, associations, mode in cases:
            row = dicom_net_row(net, size, associations, mode, one_sender)
            for peer in ("storescp", "pynetdicom"):
                what = f"DICOM C-STORE SCP, {size} instances over {associations}, {mode}, sent by {sender}, x {peer}"
                found.append((what, DICOM_NET_TARGETS.get((associations, mode, peer)), ratio(row, peer)))
    for receiver, target in (("zanthe --no-fsync", DICOM_NET_SCU_TARGET), ("storescp", None)):
        row = find_row(net, "sending", f"to {receiver}, instances/s")
        what = f"DICOM C-STORE SCU (zanthe dicom send), 39 KB instances to {receiver}, x storescu"
        found.append((what, target, ratio(row, "storescu")))
    return found


def slope(points: list[tuple[float, float]]) -> float:
    """Least-squares slope of log(cost) over log(size)."""
    xs = [math.log(size) for size, _ in points]
    ys = [math.log(cost) for _, cost in points]
    mean_x, mean_y = sum(xs) / len(xs), sum(ys) / len(ys)
    return sum((x - mean_x) * (y - mean_y) for x, y in zip(xs, ys)) / sum((x - mean_x) ** 2 for x in xs)


def growth_exponents(series: dict[str, list[tuple[float, float]]]) -> list[tuple[str, str, float, float]]:
    """Per series: its sizes, k fitted over all points, and k over the last step alone (where fixed
    costs weigh least)."""
    return [
        (name, f"{points[0][0]:,.0f} to {points[-1][0]:,.0f}", slope(points), slope(points[-2:]))
        for name, points in series.items()
    ]


def collect_growth(figures: dict[str, dict]) -> dict[str, list[tuple[float, float]]]:
    series: dict[str, list[tuple[float, float]]] = {}
    for script, bench in figures.items():
        for point in bench["growth"]:
            if point["per_call_us"]:
                name = f"MCP, {point['series']}" if script == "mcp_bench.py" else point["series"]
                series.setdefault(name, []).append((point["size"], point["per_call_us"]))
    return {name: sorted(points) for name, points in series.items() if len(points) > 1}


def plot(series: dict[str, list[tuple[float, float]]], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [(title, PLOT_PREFIXES[script]) for title, script in BENCHES if script in PLOT_PREFIXES]
    figure, axes = plt.subplots(1, len(panels), figsize=(5 * len(panels), 4.2))
    for axis, (_, prefix) in zip(axes, panels):
        for name, points in series.items():
            if name.split()[0].rstrip(",") == prefix:
                axis.loglog([p[0] for p in points], [p[1] for p in points], marker="o", label=name)
        axis.set_xlabel("files" if prefix == "Archive" else "input size (bytes; elements for DICOM)")
        axis.set_ylabel({"Archive": "microseconds per run", "MLLP": "microseconds from send to ACK"}.get(prefix, "microseconds per call"))
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(fontsize=7)
    for axis, (title, _) in zip(axes, panels):
        axis.set_title(title)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def target_text(target: float | None, unit: str = "x") -> str:
    return f"{target:.3g}{unit}" if target is not None else "-"


def report(outputs: dict[str, str], figures: dict[str, dict], command: str, plot_name: str | None,
           measured_on: dict[str, str] | None = None) -> str:
    lines = ["# Performance", "", f"Made by `{command}` on {datetime.date.today()}.", "",
             f"Machine: {machine()}.", "",
             "Every ratio is how many times better zanthe is: peer time / zanthe time, or zanthe rate / peer rate.",
             "Each bench first checks that zanthe and its peers give the same answers; see each table's notes.", "",
             "## Targets", "", "| What | Target | Measured |", "|---|---|---|"]  # fmt: skip
    for what, target, measured, unit in targets(figures):
        lines.append(f"| {what} | {target_text(target, unit)} | {target_text(measured, unit)} |")
    lines += ["", "## How cost grows with size", "",
              "Exponent k of cost ~ size^k (1 is linear; below 1, fixed costs still weigh), fitted over every size",
              "and over the last step alone, from the second largest input to the largest.", "",
              "| Series | Sizes | k, all | k, last step |", "|---|---|---|---|"]  # fmt: skip
    for name, sizes, overall, last in growth_exponents(collect_growth(figures)):
        lines.append(f"| {name} | {sizes} | {overall:.2f} | {last:.2f} |")
    if plot_name:
        lines += ["", f"![cost against input size, log-log]({plot_name})"]
    lines += ["", "What was tuned, and where each floor lies: `bench/README.md`."]
    for title, script in BENCHES:
        if script in outputs:  # figures saved before a bench existed lack it
            when = f"Measured: {measured_on[script]}." if measured_on and script in measured_on else ""
            lines += ["", f"## {title} (`bench/{script}`)", "", *([when, ""] if when else []), "```",
                      outputs[script].rstrip(), "```"]
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("ZANTHE_BUILD_DIR"))
    parser.add_argument("--quick", action="store_true", help="short rounds: a smoke run, not figures to keep")
    parser.add_argument("--markdown", help="write the report here, the growth plot and the raw figures beside it")
    parser.add_argument("--from-figures", help="make the report from the raw figures of an earlier run")
    parser.add_argument("--rerun", nargs="+", metavar="SCRIPT", choices=[script for _, script in BENCHES],
                        help="with --from-figures: run these benches again and keep the others' figures")
    args = parser.parse_args()
    if args.rerun and not args.from_figures:
        parser.error("--rerun needs --from-figures (the run whose other figures are kept)")

    if args.from_figures:
        saved = json.loads(Path(args.from_figures).read_text())
        outputs, figures = saved["outputs"], saved["figures"]
        measured_on = saved.get("measured_on") or {script: "the first run of the command above" for script in outputs}
        with tempfile.TemporaryDirectory() as scratch:
            for script in args.rerun or ():
                outputs[script], figures[script] = run_bench(script, args.build_dir, args.quick, Path(scratch) / "r.json")
                measured_on[script] = str(datetime.date.today())
                print(outputs[script])
    else:
        outputs, figures = {}, {}
        with tempfile.TemporaryDirectory() as scratch:
            for _, script in BENCHES:
                outputs[script], figures[script] = run_bench(script, args.build_dir, args.quick, Path(scratch) / "r.json")
                print(outputs[script])
        measured_on = {script: str(datetime.date.today()) for script in outputs}
    for what, target, measured, unit in targets(figures):
        print(f"target {what}: {target_text(target, unit)}, measured {target_text(measured, unit)}" if measured else f"target {what}: not measured")
    for name, sizes, overall, last in growth_exponents(collect_growth(figures)):
        print(f"growth {name} ({sizes}): k = {overall:.2f}, last step {last:.2f}")
    if args.markdown:
        markdown = Path(args.markdown)
        picture = markdown.with_name(markdown.stem + "-growth.png")
        plot(collect_growth(figures), picture)
        options = (f" --build-dir {args.build_dir}" if args.build_dir else "") + (" --quick" if args.quick else "")
        command = f"python bench/run_all.py{options} --markdown {args.markdown}"
        if args.from_figures and not args.rerun:
            command = saved["command"]
        else:
            if args.rerun:
                command = saved["command"] + f", then{options} --from-figures {args.from_figures} --rerun {' '.join(args.rerun)}"
            raw = {"command": command, "outputs": outputs, "figures": figures, "measured_on": measured_on}
            markdown.with_name(markdown.stem + "-figures.json").write_text(json.dumps(raw, indent=1))
        markdown.write_text(report(outputs, figures, command, picture.name, measured_on))
        print(f"wrote {markdown} and {picture}", file=sys.stderr)


if __name__ == "__main__":
    main()
