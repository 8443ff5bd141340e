"""Writes the demonstration data in examples/data: a small CT image and an HL7 ORU^R01 message.

Everything here is synthetic and made for zanthe: no person, no real study. Run from the checkout:

    python tools/make_samples.py
"""

from __future__ import annotations

import json
import struct
from pathlib import Path

OUT = Path(__file__).resolve().parent.parent / "examples" / "data"

# UIDs under the UUID-derived root 2.25 (no registered organisation root needed); fixed so the
# files are the same on every run.
STUDY_UID = "2.25.302914893466372843417470542374519137361"
SERIES_UID = STUDY_UID + ".1"
INSTANCE_UID = SERIES_UID + ".1"
CT_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.2"
EXPLICIT_VR_LITTLE_ENDIAN = "1.2.840.10008.1.2.1"
LONG_LENGTH_VRS = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT", "UV"}


def element(tag: int, vr: str, value: bytes | str) -> bytes:
    """One explicit VR little endian element, its value padded to even length."""
    if isinstance(value, str):
        value = value.encode("ascii")
    if len(value) % 2:
        value += b"\x00" if vr == "UI" else (b"\x00" if vr in LONG_LENGTH_VRS else b" ")
    head = struct.pack("<HH", tag >> 16, tag & 0xFFFF) + vr.encode("ascii")
    if vr in LONG_LENGTH_VRS:
        return head + struct.pack("<HI", 0, len(value)) + value
    return head + struct.pack("<H", len(value)) + value


def file_meta() -> bytes:
    body = b"".join([
        element(0x00020001, "OB", b"\x00\x01"),
        element(0x00020002, "UI", CT_IMAGE_STORAGE),
        element(0x00020003, "UI", INSTANCE_UID),
        element(0x00020010, "UI", EXPLICIT_VR_LITTLE_ENDIAN),
        element(0x00020012, "UI", "2.25.1"),
        element(0x00020013, "SH", "ZANTHE_SAMPLES"),
    ])
    return b"\x00" * 128 + b"DICM" + element(0x00020000, "UL", struct.pack("<I", len(body))) + body


def ct_dataset() -> bytes:
    size = 8
    pixels = b"".join(struct.pack("<H", (row * size + col) * 16) for row in range(size) for col in range(size))
    elements = [
        (0x00080008, "CS", "ORIGINAL\\PRIMARY\\AXIAL"),
        (0x00080016, "UI", CT_IMAGE_STORAGE),
        (0x00080018, "UI", INSTANCE_UID),
        (0x00080020, "DA", "20240315"),
        (0x00080021, "DA", "20240315"),
        (0x00080030, "TM", "093012"),
        (0x00080031, "TM", "093455.250"),
        (0x00080050, "SH", "ACC20240315"),
        (0x00080060, "CS", "CT"),
        (0x00080090, "PN", "Rivera^Ana^M^Dr"),
        (0x00081030, "LO", "CT Chest without contrast"),
        (0x0008103E, "LO", "Axial 5mm"),
        (0x00100010, "PN", "Sample^Patient"),
        (0x00100020, "LO", "ZAN-0001"),
        (0x00100030, "DA", "19800101"),
        (0x00100040, "CS", "O"),
        (0x00180015, "CS", "CHEST"),
        (0x0020000D, "UI", STUDY_UID),
        (0x0020000E, "UI", SERIES_UID),
        (0x00200010, "SH", "S1"),
        (0x00200011, "IS", "1"),
        (0x00200013, "IS", "1"),
        (0x00280002, "US", struct.pack("<H", 1)),
        (0x00280004, "CS", "MONOCHROME2"),
        (0x00280010, "US", struct.pack("<H", size)),
        (0x00280011, "US", struct.pack("<H", size)),
        (0x00280100, "US", struct.pack("<H", 16)),
        (0x00280101, "US", struct.pack("<H", 12)),
        (0x00280102, "US", struct.pack("<H", 11)),
        (0x00280103, "US", struct.pack("<H", 0)),
        (0x7FE00010, "OW", pixels),
    ]
    return b"".join(element(tag, vr, value) for tag, vr, value in elements)


ORU_REQUEST = {
    "config": {"our_app": "ZANTHE", "our_facility": "DEMO", "their_app": "RIS", "their_facility": "HOSPITAL",
               "control_id": "MSG0001", "timestamp": "20240315101500"},
    "context": {"patient_id": "ZAN-0001", "patient_name": "Sample^Patient", "patient_birth_date": "19800101",
                "patient_sex": "O", "placer_order_number": "PO-1", "filler_order_number": "FO-1",
                "accession_number": "ACC20240315", "procedure_code": "CTCHEST",
                "procedure_description": "CT Chest without contrast", "modality": "CT",
                "ordering_provider": "Rivera^Ana", "observation_datetime": "20240315093012"},
    "observations": [
        {"observation_id": "FINDINGS^Findings", "value": "Lungs are clear.\nNo pleural effusion."},
        {"observation_id": "IMPRESSION^Impression", "value": "No acute cardiopulmonary finding."},
    ],
}

ADT_MESSAGE = "\r".join([
    "MSH|^~\\&|REGISTRATION|DEMO|ZANTHE|DEMO|20240315080000||ADT^A04^ADT_A01|MSG0000|P|2.5",
    "EVN|A04|20240315080000",
    "PID|1||ZAN-0001^^^DEMO^MR||Sample^Patient||19800101|O",
    "PV1|1|O|RAD^^^DEMO",
]) + "\r"


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    (OUT / "sample_ct.dcm").write_bytes(file_meta() + ct_dataset())
    (OUT / "sample_adt.hl7").write_bytes(ADT_MESSAGE.encode("ascii"))
    (OUT / "sample_oru_request.json").write_text(json.dumps(ORU_REQUEST, indent=2) + "\n")
    print(f"wrote {', '.join(sorted(p.name for p in OUT.iterdir()))} in {OUT}")


if __name__ == "__main__":
    main()
