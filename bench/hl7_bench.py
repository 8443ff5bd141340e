"""HL7 v2 with zanthe._hl7 beside python-hl7 (the `hl7` package) and hl7apy, side by side.

    python bench/hl7_bench.py [--build-dir build/hl7] [--seconds 0.2] [--json results.json]

Parse: a corpus of realistic messages (a small ADT, an ORU with 50 OBX, a 1 MB ORU whose OBX-5
carries a base64 PDF report, and the test corpus), against hl7.parse and hl7apy's parse_message
without validation (tolerant, no group search). python-hl7 and hl7apy also split components and
repetitions, which zanthe leaves in the field text. Build: the same ORU^R01 layout, by python-hl7's
escape() and by hl7apy's object model (to_er7). Growth: the same cases with the message growing by
factors of 10. Times are the best of several rounds, in microseconds per call; nothing asserts on time.
"""

from __future__ import annotations

import argparse
import base64
import os
import random
import sys
from pathlib import Path

from common import ROOT, best_microseconds, import_native, print_header, print_table, ratio_text, write_results

MSH = "MSH|^~\\&|CT-2|RAD|RIS|HOSP|20240101120000||ORU^R01|42|P|2.5"
PATIENT_AND_ORDER = [
    "PID|1||123456^^^HOSP^MR~987^^^NHS^NH||DOE^JOHN^Q^^DR||19700101|M|||1 MAIN ST^^SPRINGFIELD^IL^62701||555-1234",
    "PV1|1|O|RAD^^^HOSP||||SMITH^JANE^^^DR|||RAD||||||||V100|||||||||||||||||||||||||20240101100000",
    "ORC|RE|P1|F1||CM||||20240101120000|||SMITH^JANE^^^DR",
    "OBR|1|P1|F1|71250^CT CHEST W/O CONTRAST^CPT4|||20240101110000|||||||||SMITH^JANE^^^DR||ACC9||||20240101120000||CT|F",
]


def oru_text(observations: int) -> str:
    """An ORU^R01 with `observations` lines of a narrative report, each in its own OBX."""
    segments = [MSH, *PATIENT_AND_ORDER]
    for n in range(1, observations + 1):
        segments.append(
            f"OBX|{n}|TX|18782-3^RADIOLOGY STUDY OBSERVATION^LN|{n}|Line {n} of the report: no acute "
            f"cardiopulmonary process; lungs clear, heart size normal.||||||F|||20240101120000"
        )
    return "\r".join(segments) + "\r"


def base64_report(report_bytes: int) -> str:
    """An ORU^R01 whose single OBX-5 carries a base64 PDF report of about `report_bytes` bytes."""
    pdf = random.Random(7).randbytes(report_bytes * 3 // 4)
    value = "^AP^PDF^Base64^" + base64.b64encode(pdf).decode("ascii")
    obx = f"OBX|1|ED|PDF^Report^L||{value}||||||F"
    return "\r".join([MSH, *PATIENT_AND_ORDER, obx]) + "\r"


def every_segment_id_descending() -> str:
    """A header, then one segment for every possible three-character ID from ZZZ down to 000: the
    worst order for an index that keeps IDs sorted as they arrive."""
    alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    ids = sorted((a + b + c for a in alphabet for b in alphabet for c in alphabet), reverse=True)
    header = "MSH|^~\\&|A|B|C|D|20240101||ADT^A01|1|P|2.5"
    return "\r".join([header, *(f"{segment_id}|1" for segment_id in ids)]) + "\r"


def corpus() -> list[tuple[str, str]]:
    """(name, text) of the realistic messages, then the test corpus, all with CR segment ends."""
    messages = [
        ("small ADT^A01", (ROOT / "tests" / "hl7" / "corpus" / "adt_a01_cr.hl7").read_text()),
        ("ORU^R01, 50 OBX", oru_text(50)),
        ("ORU^R01, 1 MB base64 report", base64_report(1 << 20)),
    ]
    for path in sorted((ROOT / "tests" / "hl7" / "corpus").glob("*.hl7")):
        if path.name != "adt_a01_cr.hl7":
            text = path.read_text()
            messages.append((path.stem, text.replace("\r\n", "\r").replace("\n", "\r")))
    return messages


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


def observations(count: int) -> list[dict]:
    return [{"observation_id": "FINDING^Findings", "value": f"Line {n} of the report, nothing acute."} for n in range(count)]


# The ORU^R01 layout as field lists, shared by both peers: (segment, [(field number, value)]).
def oru_layout(config: dict, context: dict, items: list[dict]) -> list[tuple[str, list[tuple[int, str]]]]:
    c, x = config, context
    layout = [
        ("PID", [(1, "1"), (3, x["patient_id"]), (5, x["patient_name"]), (7, x["patient_birth_date"]),
                 (8, x["patient_sex"])]),
        ("ORC", [(1, "RE"), (2, x["placer_order_number"]), (3, x["filler_order_number"])]),
        ("OBR", [(1, "1"), (2, x["placer_order_number"]), (3, x["filler_order_number"]),
                 (4, x["procedure_code"] + "^" + x["procedure_description"]), (7, x["observation_datetime"]),
                 (16, x["ordering_provider"]), (18, x["accession_number"]), (24, x["modality"])]),
    ]  # fmt: skip
    for n, item in enumerate(items, start=1):
        layout.append(("OBX", [(1, str(n)), (2, "TX"), (3, item["observation_id"]), (5, item["value"]), (11, "F")]))
    header = [(3, c["our_app"]), (4, c["our_facility"]), (5, c["their_app"]), (6, c["their_facility"]),
              (7, c["timestamp"]), (9, "ORU^R01"), (10, c["control_id"]), (11, "P"), (12, "2.5")]  # fmt: skip
    return [("MSH", header), *layout]


def python_hl7_build(hl7):
    """The ORU^R01 layout assembled from python-hl7's escape() (structured values keep their ^)."""
    esc = hl7.parse(MSH + "\r").escape
    structured = {("PID", 5), ("OBR", 4), ("OBR", 16), ("OBX", 3), ("MSH", 9)}

    def build(config, context, items):
        segments = []
        for name, fields in oru_layout(config, context, items):
            cells = [""] * (max(number for number, _ in fields) + 1)
            cells[0] = name
            for number, value in fields:
                if (name, number) in structured:
                    cells[number] = "^".join(esc(part) for part in value.split("^"))
                else:
                    cells[number] = esc(value)
            if name == "MSH":
                cells = ["MSH", "^~\\&", *cells[3:]]
            segments.append("|".join(cells))
        return "\r".join(segments) + "\r"

    return build


def hl7apy_build():
    """The ORU^R01 layout through hl7apy's object model, written with to_er7()."""
    from hl7apy.consts import VALIDATION_LEVEL
    from hl7apy.core import Message

    def build(config, context, items):
        message = Message("ORU_R01", version="2.5", validation_level=VALIDATION_LEVEL.TOLERANT)
        for name, fields in oru_layout(config, context, items):
            segment = message.msh if name == "MSH" else message.add_segment(name)
            for number, value in fields:
                setattr(segment, f"{name.lower()}_{number}", value)
        return message.to_er7() + "\r"

    return build


def split_floor(text: str) -> list[dict]:
    """The result's shape made by Python's own C string splitting, with no checks and no index: what
    creating the result objects alone costs, a floor for any parser that returns them."""
    return [{"id": s[:3], "fields": s.split("|")} for s in text.split("\r") if s]


def hl7apy_parse():
    from hl7apy.consts import VALIDATION_LEVEL
    from hl7apy.parser import parse_message

    return lambda text: parse_message(text, validation_level=VALIDATION_LEVEL.TOLERANT, find_groups=False)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("ZANTHE_BUILD_DIR"))
    parser.add_argument("--seconds", type=float, default=0.2, help="rough time per round")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()

    _hl7 = import_native(args.build_dir, "_hl7")
    import hl7

    peers = {"python-hl7": hl7.parse, "hl7apy": hl7apy_parse(), "floor": split_floor}
    builders = {"python-hl7": python_hl7_build(hl7), "hl7apy": hl7apy_build()}
    print_header(_hl7, "hl7", "hl7apy")
    time = lambda call: best_microseconds(call, args.seconds)  # noqa: E731
    results, growth = [], []

    def measure(case: str, ours, theirs: dict) -> dict:
        row = {"case": case, "unit": "us", "zanthe": time(ours), "peers": {n: time(c) for n, c in theirs.items()}}
        results.append(row)
        print(f"  measured {case}", file=sys.stderr)
        return row

    messages = corpus()
    for name, text in messages:
        measure(f"parse {name} ({len(text):,} B)", lambda t=text: _hl7.parse(t),
                {n: (lambda t=text, p=p: p(t)) for n, p in peers.items()})  # fmt: skip
    realistic = [text for _, text in messages[:3]]
    measure("parse the 3 realistic messages, each once", lambda: [_hl7.parse(t) for t in realistic],
            {n: (lambda p=p: [p(t) for t in realistic]) for n, p in peers.items()})  # fmt: skip
    hostile = every_segment_id_descending()
    measure(f"parse all {hostile.count(chr(13)):,} IDs, descending", lambda: _hl7.parse(hostile),
            {"python-hl7": lambda: hl7.parse(hostile), "floor": lambda: split_floor(hostile)})  # fmt: skip
    for count in (1, 20, 200):
        items = observations(count)
        ours = _hl7.build_oru(CONFIG, CONTEXT, items)
        for name, build in builders.items():
            theirs = build(CONFIG, CONTEXT, items)
            same = "same text" if theirs == ours else "differs"
            print(f"  build_oru {count} OBX: {name} gives {same}", file=sys.stderr)
        measure(f"build_oru {count} OBX", lambda i=items: _hl7.build_oru(CONFIG, CONTEXT, i),
                {n: (lambda i=items, b=b: b(CONFIG, CONTEXT, i)) for n, b in builders.items()})  # fmt: skip

    for count in (5, 50, 500, 5000):
        text = oru_text(count)
        row = measure(f"growth: parse ORU {count} OBX", lambda t=text: _hl7.parse(t),
                      {n: (lambda t=text, p=p: p(t)) for n, p in peers.items()})  # fmt: skip
        growth.append({"series": "HL7 parse, zanthe", "size": len(text), "per_call_us": row["zanthe"]})
        for name, value in row["peers"].items():
            growth.append({"series": f"HL7 parse, {name}", "size": len(text), "per_call_us": value})
    for size in (1_000, 10_000, 100_000, 1_000_000):
        text = base64_report(size)
        row = measure(f"growth: parse {size:,} B base64 report", lambda t=text: _hl7.parse(t),
                      {"python-hl7": lambda t=text: hl7.parse(t), "floor": lambda t=text: split_floor(t)})  # fmt: skip
        growth.append({"series": "HL7 parse base64, zanthe", "size": len(text), "per_call_us": row["zanthe"]})
        growth.append({"series": "HL7 parse base64, python-hl7", "size": len(text), "per_call_us": row["peers"]["python-hl7"]})

    table = []
    for row in results:
        cells = [row["case"], f"{row['zanthe']:.2f}", f"{1e6 / row['zanthe']:,.0f}"]
        for name in ("python-hl7", "hl7apy"):
            peer = row["peers"].get(name)
            cells += [f"{peer:.1f}" if peer else "-", ratio_text(peer, row["zanthe"])]
        floor = row["peers"].get("floor")
        table.append([*cells, f"{floor:.1f}" if floor else "-"])
    print_table(["case", "zanthe us", "zanthe /s", "python-hl7 us", "ratio", "hl7apy us", "ratio", "floor us"], table)
    print("\nratio = peer time / zanthe time (higher is faster for zanthe); /s = calls per second;")
    print("floor = the same result shape from str.split alone (no checks, no index): the cost of the objects")
    write_results(args.json, results, growth)


if __name__ == "__main__":
    main()
