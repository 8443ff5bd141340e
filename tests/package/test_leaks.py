"""No leaks: 100,000 calls of every public function, with good and bad input, hold memory steady.

Each function is measured in a fresh interpreter (so no other test's allocations interfere), after a
warm-up: its live resident size (free pages trimmed), the interpreter's count of allocated blocks,
and the reference counts of the objects it was handed. The bounds sit below what a leak of 32 bytes
per call (3.2 MB), or one Python object per hundred calls, would add.
"""

import json
import os
import subprocess
import sys
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

from helpers.memory import UNDER_ADDRESS_SANITIZER, growth_over

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "examples" / "data"
CALLS = 100_000
WARMUP = 5_000
LIVE_GROWTH_LIMIT = 2 * 1024 * 1024
BLOCKS_GROWTH_LIMIT = CALLS // 100

pytestmark = pytest.mark.skipif(
    UNDER_ADDRESS_SANITIZER, reason="AddressSanitizer's quarantine keeps freed memory resident"
)


@dataclass
class Variant:
    """One way of calling: what it does and the exception it must raise (None: it must return)."""

    call: Callable[[], object]
    raises: type[BaseException] | None = None


@dataclass
class Case:
    variants: list[Variant]
    handed: list[object]  # objects passed in, whose reference counts must come back unchanged

    def one_call(self, n: int) -> None:
        variant = self.variants[n % len(self.variants)]
        if variant.raises is None:
            variant.call()
            return
        try:
            variant.call()
        except variant.raises:
            return
        raise AssertionError(f"variant {n % len(self.variants)} did not raise {variant.raises.__name__}")


def hl7_parse() -> Case:
    from zanthe import _hl7

    good = (DATA / "sample_adt.hl7").read_text()
    long = good + "".join(f"OBX|{n}|TX|ID^Name||{'x' * 60}||||||F\r" for n in range(1, 30))
    no_header, bad_segment = good.replace("MSH", "XXX", 1), good + "bad\r"
    return Case(
        [
            Variant(lambda: _hl7.parse(good)),
            Variant(lambda: _hl7.parse(long)),
            Variant(lambda: _hl7.parse(no_header), RuntimeError),
            Variant(lambda: _hl7.parse(bad_segment), RuntimeError),
            Variant(lambda: _hl7.parse("MSH|^~\\&|\udcff"), RuntimeError),
            Variant(lambda: _hl7.parse(b"MSH|^~\\&|"), TypeError),
            Variant(lambda: _hl7.parse(None), TypeError),
        ],
        [good, long, no_header, bad_segment],
    )


def hl7_build_oru() -> Case:
    from zanthe import _hl7

    config = {"our_app": "A" * 100, "version": "2.5", "control_id": "C1"}
    context = {"patient_id": "P1", "patient_name": "DOE^JOHN" * 10}
    observations = [{"value": "finding\r|^~\\&" * 20, "observation_id": "F^Findings"} for _ in range(4)]
    wrong_value = [*observations, {"value": 1}]
    return Case(
        [
            Variant(lambda: _hl7.build_oru(config, context, observations)),
            Variant(lambda: _hl7.build_oru({}, {}, [])),
            Variant(lambda: _hl7.build_oru(config, context, wrong_value), RuntimeError),
            Variant(lambda: _hl7.build_oru({"our_app": "\udcff"}, context, observations), RuntimeError),
            Variant(lambda: _hl7.build_oru(config, context, ["not a dict"]), RuntimeError),
            Variant(lambda: _hl7.build_oru(config, context, None), TypeError),
            Variant(lambda: _hl7.build_oru(config, {**context, "patient_nmae": "x"}, observations), ValueError),
            Variant(lambda: _hl7.build_ack(_hl7.build_oru(config, context, observations), "AE", "bad | text")),
        ],
        [config, context, observations, wrong_value, *observations],
    )


def fhir_imaging_study() -> Case:
    import random

    from zanthe import _fhir

    good = (DATA / "sample_ct.dcm").read_bytes()
    truncated, garbage = good[:200], random.Random(0).randbytes(4096)
    return Case(
        [
            Variant(lambda: _fhir.imaging_study(good)),
            Variant(lambda: _fhir.imaging_study(good[: len(good) - 7])),  # cut inside the last element
            Variant(lambda: _fhir.imaging_study(truncated), RuntimeError),
            Variant(lambda: _fhir.imaging_study(garbage), RuntimeError),
            Variant(lambda: _fhir.imaging_study(b""), RuntimeError),
            Variant(lambda: _fhir.imaging_study(bytearray(good), timezone="+01:00")),
            Variant(lambda: _fhir.imaging_study(memoryview(good)[::2]), TypeError),  # not contiguous
            Variant(lambda: _fhir.imaging_study("text"), TypeError),
            Variant(lambda: _fhir.imaging_study(good, timezone="soon"), ValueError),
            Variant(lambda: grouped(_fhir, [good, truncated, garbage])),
        ],
        [good, truncated, garbage],
    )


def grouped(_fhir: Any, files: list[bytes]) -> list[Any]:
    """A grouping of the files, pickled, restored and written out."""
    import pickle

    grouper = _fhir.StudyGrouper()
    for ordinal, data in enumerate(files):
        grouper.add_bytes(data, ordinal)
    return pickle.loads(pickle.dumps(grouper)).studies(timezone=[("00000000", "+01:00"), ("20000326", "+02:00")])


def agent_serve_stdio() -> Case:
    """Standard input is empty here, so each call ends at once."""
    from zanthe import _agent

    tools = [("echo", '{"name":"echo"}', ""), ("two", '{"name":"two"}', "x" * 100)]

    def dispatch(name: str, args: object) -> tuple[int, str]:
        return 0, name

    return Case(
        [
            Variant(lambda: _agent.serve_stdio(tools, dispatch)),
            Variant(lambda: _agent.serve_stdio([], dispatch, server_name="n", server_version="v")),
            Variant(lambda: _agent.serve_stdio([("a", "b")], dispatch), TypeError),
            Variant(lambda: _agent.serve_stdio(tools, "not callable"), TypeError),
            Variant(lambda: _agent.serve_stdio(tools, dispatch, verbose=1), TypeError),
        ],
        [tools, dispatch, *tools],
    )


def dispatching(server_factory: Callable[[], object], calls: list[tuple[str, object, int]]) -> Case:
    """ToolServer.dispatch with (tool, arguments, expected code) in turn."""
    server = server_factory()

    def variant(name: str, arguments: object, code: int) -> Variant:
        def call() -> None:
            got = server.dispatch(name, arguments)  # type: ignore[attr-defined]
            assert got[0] == code, got

        return Variant(call)

    return Case([variant(*c) for c in calls], [server, *(arguments for _, arguments, _ in calls)])


def zanthe_server() -> object:
    from zanthe.mcp import build_server

    return build_server([DATA])


def mcp_dicom_to_imaging_study() -> Case:
    tool = "dicom_to_imaging_study"
    return dispatching(zanthe_server, [
        (tool, {"path": "sample_ct.dcm"}, 0),
        (tool, {"path": str(DATA / "sample_ct.dcm")}, 0),
        (tool, {"path": "."}, 0),  # a folder: one resource per study
        (tool, {"path": "sample_adt.hl7"}, 1),  # not DICOM
        (tool, {"path": "../README.md"}, 1),
        (tool, {"path": "missing.dcm"}, 1),
        (tool, {"path": 5}, 1),
        (tool, None, 1),
    ])  # fmt: skip


def mcp_hl7_parse() -> Case:
    message = (DATA / "sample_adt.hl7").read_text()
    return dispatching(zanthe_server, [
        ("hl7_parse", {"message": message}, 0),
        ("hl7_parse", {"message": "PID|1"}, 1),
        ("hl7_parse", {"message": ["not", "text"]}, 1),
        ("hl7_parse", {"text": message}, 1),
    ])  # fmt: skip


def mcp_hl7_build_oru() -> Case:
    request = json.loads((DATA / "sample_oru_request.json").read_text())
    return dispatching(zanthe_server, [
        ("hl7_build_oru", request, 0),
        ("hl7_build_oru", {"config": {}, "context": {}, "observations": []}, 0),
        ("hl7_build_oru", {**request, "config": {"our_app": 1}}, 1),
        ("hl7_build_oru", {**request, "observations": [{"colour": "x"}]}, 1),
        ("hl7_build_oru", {"config": {}}, 1),
    ])  # fmt: skip


def example_server() -> object:
    import dataclasses
    import enum

    from zanthe.server import Image, ToolError, ToolServer

    class Colour(enum.Enum):
        RED = "red"

    @dataclasses.dataclass
    class Point:
        x: int
        y: float = 0.5

    server = ToolServer("example")

    @server.tool
    def add(a: int, b: int = 2) -> int:
        """Add two integers."""
        return a + b

    @server.tool
    def shape(point: Point, colour: Colour, tags: list[str] | None = None) -> dict:
        return {"point": point, "colour": colour, "tags": tags}

    @server.tool
    def picture() -> Image:
        return Image(b"\x89PNG" * 100)

    @server.tool
    def refuse(text: str) -> str:
        raise ToolError(text)

    @server.tool
    def crash() -> str:
        return {}["missing"]

    @server.tool
    def binary() -> bytes:
        return b"raw"

    @server.tool
    async def later(n: int) -> int:
        return n

    return server


def tool_server_dispatch() -> Case:
    return dispatching(example_server, [
        ("add", {"a": 1, "b": 2}, 0),
        ("add", {"a": 1.0}, 0),
        ("shape", {"point": {"x": 1}, "colour": "red", "tags": ["a"]}, 0),
        ("picture", None, 0),
        ("add", {"a": "one"}, 1),
        ("add", {}, 1),
        ("add", {"a": 1, "c": 3}, 1),
        ("add", [1, 2], 1),
        ("shape", {"point": {"z": 1}, "colour": "blue"}, 1),
        ("refuse", {"text": "no"}, 1),
        ("crash", {}, 1),
        ("binary", {}, 1),
        ("nope", {}, 1),
        ("later", {"n": 3}, 0),
    ])  # fmt: skip


def tool_server_run() -> Case:
    """ToolServer.run over the empty standard input: serve_stdio with the server's table."""
    server = example_server()
    return Case([Variant(server.run)], [server])  # type: ignore[attr-defined]


# The slowest first, so that the parallel runs end together.
CASES = {
    "mcp hl7_build_oru": mcp_hl7_build_oru,
    "mcp dicom_to_imaging_study": mcp_dicom_to_imaging_study,
    "ToolServer.run": tool_server_run,
    "ToolServer.dispatch": tool_server_dispatch,
    "_agent.serve_stdio": agent_serve_stdio,
    "mcp hl7_parse": mcp_hl7_parse,
    "_fhir.imaging_study": fhir_imaging_study,
    "_hl7.parse": hl7_parse,
    "_hl7.build_oru": hl7_build_oru,
}


def leaking_32_native_bytes() -> Case:
    import ctypes

    malloc = ctypes.CDLL(None).malloc
    malloc.restype = ctypes.c_void_p
    return Case([Variant(lambda: malloc(32))], [])


def keeping_an_object_every_50_calls() -> Case:
    kept: list[object] = []
    calls = iter(range(1 << 62))
    return Case([Variant(lambda: next(calls) % 50 or kept.append(object()))], [])


# Leaks the measurement must see.
CONTROLS = {"32 native bytes per call": leaking_32_native_bytes, "an object per 50 calls": keeping_an_object_every_50_calls}


def measure(name: str) -> dict[str, object]:
    """Runs in the child: the case's growth over CALLS calls."""
    case = (CASES | CONTROLS)[name]()
    references_before = [sys.getrefcount(o) for o in case.handed]
    growth = growth_over(case.one_call, CALLS, WARMUP)
    references_after = [sys.getrefcount(o) for o in case.handed]
    return {
        "live_before": growth.resident_before,
        "live_growth": growth.resident,
        "blocks_growth": growth.blocks,
        "references_before": references_before,
        "references_after": references_after,
    }


CHILD = """
import importlib.util, json, sys
spec = importlib.util.spec_from_file_location("leak_cases", sys.argv[1])
module = sys.modules[spec.name] = importlib.util.module_from_spec(spec)
spec.loader.exec_module(module)
print(json.dumps(module.measure(sys.argv[2])))
"""


def run_case(name: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "tests"), env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-P", "-c", CHILD, __file__, name],
        stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600, env=env, cwd=ROOT,
    )  # fmt: skip


@pytest.fixture(scope="module")
def measured() -> dict[str, Future[subprocess.CompletedProcess[str]]]:
    """Every case at once, one interpreter each, as many at a time as there are processors."""
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        futures = {name: pool.submit(run_case, name) for name in [*CASES, *CONTROLS]}
        yield futures


def figures_of(name: str, measured: dict[str, Future[subprocess.CompletedProcess[str]]]) -> dict[str, Any]:
    child = measured[name].result()
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout)


@pytest.mark.parametrize("name", list(CASES))
def test_a_hundred_thousand_calls_hold_memory_steady(name, measured):
    figures = figures_of(name, measured)
    assert figures["references_after"] == figures["references_before"]
    assert figures["blocks_growth"] < BLOCKS_GROWTH_LIMIT, figures
    assert figures["live_growth"] < LIVE_GROWTH_LIMIT, figures


@pytest.mark.parametrize("name", list(CONTROLS))
def test_the_bounds_catch_a_small_leak(name, measured):
    figures = figures_of(name, measured)
    assert figures["blocks_growth"] >= BLOCKS_GROWTH_LIMIT or figures["live_growth"] >= LIVE_GROWTH_LIMIT, figures
