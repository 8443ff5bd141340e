#!/usr/bin/env python3
"""Generates src/dicom/dictionary_tables.cpp from pydicom's copy of the DICOM data dictionary.

    .venv/bin/python tools/gen_dicom_tables.py > src/dicom/dictionary_tables.cpp

pydicom is needed only here, never by the build. The output holds three constant tables:
the sequence table (tags whose VR is SQ), the VR table by tag (every other tag, one VR index each)
and the private sequence table (creator names, rows of (creator, group), element low bytes).
"""

from __future__ import annotations

import sys
from collections import defaultdict

import pydicom
from pydicom._dicom_dict import DicomDictionary, RepeatersDictionary
from pydicom._private_dict import private_dictionaries

# Fixed VR order: the dictionary stores a VR as an index into these 68 letters.
VR_ORDER = "DA OB UC FD OD AE OF SH UI FL OL SL UL TM PN UN LO SQ UR AS CS DS IS SS US AT DT LT ST UT OV SV UV OW".split()

SEQUENCE_GROUPS = {
    0x0004, 0x0006, 0x0008, 0x0010, 0x0012, 0x0014, 0x0018, 0x0020, 0x0022, 0x0024, 0x0028, 0x0032,
    0x0034, 0x0038, 0x003A, 0x0040, 0x0042, 0x0044, 0x0046, 0x0048, 0x0050, 0x0052, 0x0054, 0x0060,
    0x0062, 0x0064, 0x0066, 0x0068, 0x006A, 0x0070, 0x0072, 0x0074, 0x0076, 0x0078, 0x0080, 0x0082,
    0x0088, 0x0400, 0x2000, 0x2010, 0x2020, 0x2040, 0x2050, 0x2100, 0x2120, 0x2130, 0x2200, 0x3002,
    0x3004, 0x3006, 0x3008, 0x300A, 0x300C, 0x3010, 0x4008, 0x4010, 0x4FFE, 0x5200, 0x5400, 0xFFFA,
}
VR_GROUPS = {
    0x0002, 0x0004, 0x0008, 0x0010, 0x0012, 0x0014, 0x0016, 0x0018, 0x0020, 0x0022, 0x0024, 0x0028,
    0x0032, 0x0034, 0x0038, 0x003A, 0x0040, 0x0042, 0x0044, 0x0046, 0x0048, 0x0050, 0x0052, 0x0054,
    0x0060, 0x0062, 0x0064, 0x0066, 0x0068, 0x006A, 0x0070, 0x0072, 0x0074, 0x0076, 0x0078, 0x0080,
    0x0082, 0x0088, 0x0100, 0x0400, 0x1000, 0x1010, 0x2000, 0x2010, 0x2020, 0x2030, 0x2040, 0x2050,
    0x2100, 0x2110, 0x2120, 0x2200, 0x3002, 0x3004, 0x3006, 0x3008, 0x300A, 0x300C, 0x300E, 0x3010,
    0x4000, 0x4008, 0x4010, 0x5400, 0x5600, 0x6000, 0x7FE0, 0xFFFC,
}

# Manufacturers' private tags whose VR is worth knowing for implicit VR data, listed under their full
# element number with the usual first creator block (0x10). Earlier creators win on a clash.
PRIVATE_TAG_CREATORS = [
    ("SIEMENS CSA HEADER", {0x0029}),
    ("SIEMENS MEDCOM HEADER", {0x0029}),
    ("SIEMENS MR HEADER", {0x0019}),
    ("PAPYRUS 3.0", {0x0041}),
    ("Philips Imaging DD 001", {0x2001}),
    ("Philips MR Imaging DD 001", {0x2005}),
    ("DR Systems, Inc.", {0x4453}),
    ("Philips PET Private Group", {0x7053}),
]
PRIVATE_BLOCK = 0x10
# Groups whose private sequences the sequence table lists; other private SQ tags stay unknown, so that a
# private element there is judged by its creator and its bytes.
PRIVATE_SEQUENCE_GROUPS = {0x0001, 0x2001, 0x2005, 0x4453, 0x6001, 0x7053}

# Creators whose private sequences the reader recognises through the private sequence table.
PRIVATE_SEQUENCE_CREATORS = [
    "A.L.I. Technologies, Inc.", "AGFA-AG_HPState", "AMI Annotations_01", "AMI Annotations_02",
    "AMI Sequence Annotations_01", "AMI Sequence Annotations_02", "Agfa ADC NX",
    "Applicare/Print/Version 5.1", "Applicare/RadWorks/Version 5.0", "Applicare/RadWorks/Version 6.0",
    "BRIT Systems, Inc.", "BrainLAB_BeamProfile", "CANON_MEC_MR3", "CANON_MEC_MR3^10",
    "CANON_MEC_MR3^11", "CANON_MEC_MR3^12", "CANON_MEC_MR3^13", "CARDIO-D.R. 1.0", "CARDIO-SMS 1.0",
    "CD-CARDIO 1.0", "CEMAX-ICON", "DCMTK_ANONYMIZER", "DIDI TO PCR 1.1", "DR Systems, Inc.",
    "DicomUtils 20100512", "ELSCINT1", "EMAGEON JPEG2K INFO", "Eclipse 60", "Eclispe 60", "FDMS 1.0",
    "GDCM CONFORMANCE TESTS", "GEIIS", "GEMS_3DSTATE_001", "GEMS_ADWSoft_3D1", "GEMS_CT_CARDIAC_001",
    "GEMS_CT_VES_01", "GEMS_DLX_DOSE_01", "GEMS_DL_FRAME_01", "GEMS_GENIE_1", "GEMS_PARM_01",
    "GEMS_PETD_01", "GEMS_RTEN_01", "GEMS_Ultrasound_ImageGroup_001", "GEMS_Ultrasound_MovieGroup_001",
    "GEMS_VXTLSTATE_001", "GEMS_XELPRV_01", "GEMS_XR3DCAL_01", "HOLOGIC, Inc.", "INTEGRIS 1.0", "ISI",
    "MDS NORDION OTP ANATOMY MODELLING", "MMCPrivate", "PAPYRUS 3.0", "PHILIPS IMAGING DD 001",
    "PHILIPS MR IMAGING DD 001", "PMS-SERVICE-SESSION-1.0", "PMS-THORA-5.1", "PMTF INFORMATION DATA",
    "PMTF INFORMATION DATA^10", "PMTF INFORMATION DATA^11", "PMTF INFORMATION DATA^12", "PRIV",
    "PRIVATE ORIGINAL ATTRIBUTES", "Philips Imaging DD 001", "Philips Imaging DD 002",
    "Philips Imaging DD 067", "Philips Imaging DD 070", "Philips Imaging DD 129",
    "Philips MR Imaging DD 001", "Philips MR Imaging DD 002", "Philips MR Imaging DD 004",
    "Philips MR Imaging DD 005", "Philips PET Private Group", "Philips US Imaging DD 109",
    "Philips US Private 3D", "Philips X-ray Imaging DD 001", "Picker NM Private Group",
    "QUASAR_INTERNAL_USE", "RadWorksTBR", "SCHICK TECHNOLOGIES - Change List Creator ID",
    "SCHICK TECHNOLOGIES - Note List Creator ID", "SCHICK TECHNOLOGIES - Viewset Creator ID",
    "SIEMENS ISI", "SIEMENS MEDCOM HEADER", "SIEMENS MR EXTRACTED CSA HEADER", "SIEMENS MR FMRI",
    "SIEMENS SMS-AX  ACQ 1.0", "SPI-P-Private_CDS Release 1", "SPI-P-Private_ICS Release 1",
    *(f"SPI-P-Private_ICS Release 1;{n}" for n in range(1, 8)),
    "SVISION", "Silhouette Sequence Ids V1.0", "TMDTK", "TOSHIBA COMAPL HEADER", "TOSHIBA_MEC_CT3",
    "TOSHIBA_MEC_MR3", "TOSHIBA_MEC_MR3^10", "TOSHIBA_MEC_MR3^11", "TOSHIBA_MEC_MR3^12",
    "TOSHIBA_MEC_MR3^13", "TOSHIBA_MEC_OT3", "VEPRO BROKER 1.0", "VEPRO BROKER 1.0 DATA REPLACE",
    "VEPRO DICOM TRANSFER 1.0", "Vital Images SW 3.4", "Voxar 2.16.124.113543.6003.1999.12.20.12.5.0",
    "WG12 Supplement 43",
    "http://www.gemedicalsystems.com/it_solutions/bamwallthickness/1.0",
    "http://www.gemedicalsystems.com/it_solutions/orthoview/2.1",
]
# Private sequences known from files in the field but missing from pydicom's edition.
EXTRA_PRIVATE_SEQUENCES = [("A.L.I. Technologies, Inc.", 0x3711, 0xC4)]


def choose_vr(vr_text: str) -> str | None:
    """One VR for a tag: OW where it is allowed (bulk data), else the first one listed."""
    options = [v.strip() for v in vr_text.split(" or ")]
    if "OW" in options:
        return "OW"
    return options[0] if options[0] in VR_ORDER else None


def standard_entries():
    """(group, element, vr) for every standard tag; repeating groups appear once, as their first group."""
    for tag, row in DicomDictionary.items():
        yield tag >> 16, tag & 0xFFFF, row[0]
    for mask, row in RepeatersDictionary.items():
        tag = int(mask.replace("x", "0"), 16)
        yield tag >> 16, tag & 0xFFFF, row[0]


def private_entries():
    for creator, groups in PRIVATE_TAG_CREATORS:
        for key, row in sorted(private_dictionaries[creator].items()):
            if key[4:6] != "xx" or "x" in key[:4] + key[6:]:
                continue
            group = int(key[:4], 16)
            if group in groups:
                yield group, (PRIVATE_BLOCK << 8) | int(key[6:], 16), row[0]


def dictionary_tables():
    sequences: dict[int, set[int]] = defaultdict(set)
    vrs: dict[int, dict[int, str]] = defaultdict(dict)
    standard = [(g, e, v, SEQUENCE_GROUPS, VR_GROUPS) for g, e, v in standard_entries()]
    private_groups = {g for _, gs in PRIVATE_TAG_CREATORS for g in gs}
    private = [(g, e, v, private_groups & PRIVATE_SEQUENCE_GROUPS, private_groups) for g, e, v in private_entries()]
    for group, element, vr_text, seq_groups, vr_groups in standard + private:
        vr = choose_vr(vr_text)
        if vr == "SQ":
            if group in seq_groups:
                sequences[group].add(element)
        elif vr is not None and group in vr_groups:
            vrs[group].setdefault(element, vr)
    for group, elements in sequences.items():
        for element in elements:
            vrs.get(group, {}).pop(element, None)
    return ({g: sorted(sequences[g]) for g in sorted(sequences) if sequences[g]},
            {g: dict(sorted(vrs[g].items())) for g in sorted(vrs) if vrs[g]})


def private_element_byte(key: str) -> int | None:
    if "x" in key[:4] or "x" in key[6:]:
        return None
    return int(key[6:], 16)


def private_sequence_table():
    creators = sorted(set(PRIVATE_SEQUENCE_CREATORS), key=lambda s: s.encode())
    rows: dict[tuple[int, int], set[int]] = defaultdict(set)
    for index, creator in enumerate(creators):
        for key, row in private_dictionaries.get(creator, {}).items():
            byte = private_element_byte(key)
            if row[0] == "SQ" and byte is not None:
                rows[(index + 1, int(key[:4], 16))].add(byte)
    for creator, group, byte in EXTRA_PRIVATE_SEQUENCES:
        rows[(creators.index(creator) + 1, group)].add(byte)
    return creators, {k: sorted(v) for k, v in sorted(rows.items(), key=lambda kv: (kv[0][0] << 16) | kv[0][1])}


def hex_list(values, width: int, per_line: int = 12) -> str:
    items = [f"0x{v:0{width}X}" for v in values]
    return "\n".join("    " + ", ".join(items[i:i + per_line]) + "," for i in range(0, len(items), per_line))


def c_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '\\0"'


def emit() -> str:
    sequences, vrs = dictionary_tables()
    creators, rows = private_sequence_table()
    out = [
        "// Generated by tools/gen_dicom_tables.py from pydicom "
        f"{pydicom.__version__}'s data dictionary; do not edit.",
        "// Regenerate: .venv/bin/python tools/gen_dicom_tables.py > src/dicom/dictionary_tables.cpp",
        "#include \"dicom/dictionary_tables.h\"",
        "",
        "namespace zanthe::dicom::tables {",
        "namespace {",
        "",
    ]
    for group, elements in sequences.items():
        out += [f"constexpr std::uint16_t kSq{group:04X}[] = {{", hex_list(elements, 4), "};"]
    for group, table in vrs.items():
        out += [f"constexpr std::uint16_t kVrElements{group:04X}[] = {{", hex_list(table, 4), "};"]
        out += [f"constexpr std::uint8_t kVrIndexes{group:04X}[] = {{",
                hex_list([VR_ORDER.index(v) for v in table.values()], 2, 16), "};"]
    element_bytes: list[int] = []
    row_texts = []
    for (creator, group), run in rows.items():
        row_texts.append(f"    {{{creator}, 0x{group:04X}, {len(element_bytes)}, {len(run)}}},")
        element_bytes += run
    offsets, text = [], []
    position = 0
    for name in creators:
        offsets.append(position)
        text.append("    " + c_string(name))
        position += len(name.encode()) + 1
    out += [
        "",
        "constexpr SequenceGroup kSequenceRows[] = {",
        *(f"    {{0x{g:04X}, kSq{g:04X}, {len(e)}}}," for g, e in sequences.items()),
        "};",
        "constexpr VrGroup kVrRows[] = {",
        *(f"    {{0x{g:04X}, kVrElements{g:04X}, kVrIndexes{g:04X}, {len(t)}}}," for g, t in vrs.items()),
        "};",
        "constexpr char kCreatorText[] =",
        *text[:-1], text[-1] + ";",
        "constexpr std::uint16_t kCreatorOffsets[] = {", hex_list(offsets, 4), "};",
        "constexpr PrivateSequenceRow kPrivateRows[] = {", *row_texts, "};",
        "constexpr std::uint8_t kPrivateElements[] = {", hex_list(element_bytes, 2, 16), "};",
        "",
        "}  // namespace",
        "",
        "const std::span<const SequenceGroup> kSequenceGroups{kSequenceRows};",
        "const std::span<const VrGroup> kVrGroups{kVrRows};",
        "const std::span<const char> kPrivateCreatorText{kCreatorText};",
        "const std::span<const std::uint16_t> kPrivateCreatorOffsets{kCreatorOffsets};",
        "const std::span<const PrivateSequenceRow> kPrivateSequenceRows{kPrivateRows};",
        "const std::span<const std::uint8_t> kPrivateSequenceElements{kPrivateElements};",
        "",
        "}  // namespace zanthe::dicom::tables",
        "",
    ]
    counts = (f"sequence table: {len(sequences)} groups, {sum(map(len, sequences.values()))} tags; "
              f"VR table: {len(vrs)} groups, {sum(map(len, vrs.values()))} tags; private sequences: "
              f"{len(creators)} creators, {len(rows)} rows, {len(element_bytes)} element bytes")
    print(counts, file=sys.stderr)
    return "\n".join(out)


if __name__ == "__main__":
    sys.stdout.write(emit())
