"""Calls every native function with precise types. `mypy --strict` must accept this file, and each
`assert_type` proves mypy reads the exact signature from the stubs; it also runs as a script."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, assert_type

from zanthe import _agent, _fhir, _hl7

if TYPE_CHECKING:
    from zanthe._hl7 import OruConfig, OruContext, OruObservation, Segment


def study_uid(part10: bytes) -> str | None:
    try:
        text = assert_type(_fhir.imaging_study(part10), str)
    except RuntimeError:
        return None
    study: dict[str, Any] = json.loads(text)
    identifiers: list[dict[str, str]] = study.get("identifier", [])
    return identifiers[0]["value"] if identifiers else None


def segment_ids(text: str) -> list[str]:
    segments = assert_type(_hl7.parse(text), list["Segment"])
    return [segment["id"] for segment in segments if assert_type(segment["fields"], list[str])]


def report(patient_id: str, findings: list[str]) -> str:
    config: OruConfig = {"our_app": "ZANTHE", "their_app": "RIS", "control_id": "1"}
    context: OruContext = {"patient_id": patient_id, "modality": "CT"}
    observations: list[OruObservation] = [{"observation_id": "FINDING^Findings", "value": f} for f in findings]
    return assert_type(_hl7.build_oru(config, context, observations), str)


def dispatch(name: str, args: dict[str, Any] | None) -> tuple[int, str]:
    return (0, json.dumps(args)) if name == "echo" else (1, f"unknown tool {name}")


def serve() -> int:
    tools = [("echo", json.dumps({"name": "echo", "description": "Echo", "inputSchema": {"type": "object"}}), "")]
    code = _agent.serve_stdio(tools, dispatch, server_name="typed-usage", server_version="1.0", verbose=False)
    return assert_type(code, int)


def main() -> int:
    assert study_uid(b"not a DICOM file") is None
    message = report("PAT-1", ["No acute finding."])
    assert segment_ids(message) == ["MSH", "PID", "ORC", "OBR", "OBX"]
    return serve()  # stdin at its end: returns 0 at once


if __name__ == "__main__":
    raise SystemExit(main())
