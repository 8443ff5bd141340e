"""Throughput of zanthe._hl7 against python-hl7 (the `hl7` package), side by side.

    python bench/hl7_bench.py [--build-dir build/hl7] [--seconds 0.2]

Parse cases read the test corpus and generated ORU messages; python-hl7 also splits components
and repetitions, which zanthe leaves in the field text, so the parse ratio flatters zanthe by that
much. Build cases write the same ORU^R01 layout; the peer assembles it from python-hl7's escape().
Times are the best of several rounds, in microseconds per call. Nothing here asserts on time.
"""

import argparse
import os
import platform
import sys
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def import_zanthe(build_dir: str | None):
    if build_dir:
        sys.path.insert(0, str(ROOT))
        import zanthe

        zanthe.__path__.insert(0, str((ROOT / build_dir / "zanthe").resolve()))
    from zanthe import _hl7

    return _hl7


def oru_text(observations: int) -> str:
    segments = [
        "MSH|^~\\&|CT-2|RAD|RIS|HOSP|20240101120000||ORU^R01|42|P|2.5",
        "PID|1||123^^^HOSP^MR||DOE^JOHN||19700101|M",
        "ORC|RE|P1|F1",
        "OBR|1|P1|F1|CT1^CT HEAD|||20240101|||||||||SMITH^J||ACC9||||||CT",
    ]
    for n in range(1, observations + 1):
        segments.append(f"OBX|{n}|TX|FINDING^Findings||Line {n} of the report, nothing acute.||||||F")
    return "\r".join(segments) + "\r"


CONFIG = {
    "our_app": "CT-2", "our_facility": "RAD", "their_app": "RIS", "their_facility": "HOSP",
    "control_id": "42", "timestamp": "20240101120000",
}  # fmt: skip
CONTEXT = {
    "patient_id": "123", "patient_name": "DOE^JOHN", "patient_birth_date": "19700101",
    "patient_sex": "M", "placer_order_number": "P1", "filler_order_number": "F1",
    "accession_number": "ACC9", "procedure_code": "CT1", "procedure_description": "CT HEAD",
    "modality": "CT", "ordering_provider": "SMITH^J", "observation_datetime": "20240101",
}  # fmt: skip


def every_segment_id_descending() -> str:
    """A header, then one segment for every possible three-character ID from ZZZ down to 000: the
    worst order for an index that keeps IDs sorted as they arrive."""
    alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    ids = sorted((a + b + c for a in alphabet for b in alphabet for c in alphabet), reverse=True)
    header = "MSH|^~\\&|A|B|C|D|20240101||ADT^A01|1|P|2.5"
    return "\r".join([header, *(f"{segment_id}|1" for segment_id in ids)]) + "\r"


def observations(count: int) -> list[dict]:
    return [{"observation_id": "FINDING^Findings", "value": f"Line {n}|pipe\rbreak"} for n in range(count)]


def peer_build(hl7, escaper):
    """The same ORU^R01 layout through python-hl7's escaping."""
    esc = escaper.escape

    def build(config, context, items):
        c, x = config, context
        segments = [
            "|".join(["MSH", "^~\\&", esc(c["our_app"]), esc(c["our_facility"]), esc(c["their_app"]),
                      esc(c["their_facility"]), esc(c["timestamp"]), "", "ORU^R01", esc(c["control_id"]),
                      "P", "2.5"]),
            "|".join(["PID", "1", "", esc(x["patient_id"]), "", esc(x["patient_name"]), "",
                      esc(x["patient_birth_date"]), esc(x["patient_sex"])]),
            "|".join(["ORC", "RE", esc(x["placer_order_number"]), esc(x["filler_order_number"])]),
            "|".join(["OBR", "1", esc(x["placer_order_number"]), esc(x["filler_order_number"]),
                      esc(x["procedure_code"]) + "^" + esc(x["procedure_description"]), "", "",
                      esc(x["observation_datetime"]), *[""] * 8, esc(x["ordering_provider"]), "",
                      esc(x["accession_number"]), *[""] * 5, esc(x["modality"])]),
        ]  # fmt: skip
        for n, item in enumerate(items, start=1):
            segments.append(
                "|".join(["OBX", str(n), "TX", esc(item["observation_id"]), "", esc(item["value"]),
                          *[""] * 5, "F"])
            )  # fmt: skip
        return "\r".join(segments) + "\r"

    return build


def best_microseconds(call, seconds: float) -> float:
    timer = timeit.Timer(call)
    number, _ = timer.autorange()
    number = max(1, int(number * seconds / 0.2))
    return min(timer.repeat(repeat=5, number=number)) / number * 1e6


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("ZANTHE_BUILD_DIR"))
    parser.add_argument("--seconds", type=float, default=0.2, help="rough time per round")
    args = parser.parse_args()

    _hl7 = import_zanthe(args.build_dir)
    import hl7

    cases = []
    for path in sorted((ROOT / "tests" / "hl7" / "corpus").glob("*.hl7")):
        text = path.read_bytes().decode("utf-8")
        # python-hl7 ends segments at CR only: it gets the CR form, so both see the same segments.
        as_cr = text.replace("\r\n", "\r").replace("\n", "\r")
        cases.append((f"parse {path.stem} ({len(text)} B)", lambda t=text: _hl7.parse(t), lambda t=as_cr: hl7.parse(t)))
    for count in (10, 200):
        text = oru_text(count)
        cases.append((f"parse ORU {count} OBX ({len(text)} B)", lambda t=text: _hl7.parse(t), lambda t=text: hl7.parse(t)))
    hostile = every_segment_id_descending()
    cases.append((f"parse all {hostile.count(chr(13))} IDs, descending ({len(hostile) // 1024} KiB)",
                  lambda t=hostile: _hl7.parse(t), lambda t=hostile: hl7.parse(t)))  # fmt: skip
    build = peer_build(hl7, hl7.parse(oru_text(0)))
    for count in (1, 20, 200):
        items = observations(count)
        assert len(_hl7.build_oru(CONFIG, CONTEXT, items).split("\r")) == len(build(CONFIG, CONTEXT, items).split("\r"))
        cases.append((
            f"build_oru {count} OBX",
            lambda i=items: _hl7.build_oru(CONFIG, CONTEXT, i),
            lambda i=items: build(CONFIG, CONTEXT, i),
        ))  # fmt: skip

    print(f"zanthe._hl7 {_hl7.__file__}")
    print(f"python-hl7 {getattr(hl7, '__version__', '?')}, Python {platform.python_version()}")
    print(f"machine: {machine()}")
    print()
    width = max(len(case[0]) for case in cases)
    print(f"{'case':<{width}}  {'zanthe us':>10}  {'python-hl7 us':>13}  {'ratio':>7}")
    for name, ours, peer in cases:
        mine, theirs = best_microseconds(ours, args.seconds), best_microseconds(peer, args.seconds)
        print(f"{name:<{width}}  {mine:>10.2f}  {theirs:>13.2f}  {theirs / mine:>6.1f}x")
    print("\nratio = python-hl7 time / zanthe time (higher is faster for zanthe)")


if __name__ == "__main__":
    main()
