"""Writes the seed corpora in fuzz/corpus/<target>/ from the test suite's builders and corpus.

    python fuzz/make_seeds.py

Seeds are small, typical inputs of each surface, so libFuzzer starts from the shapes real peers send
rather than from nothing. The output is deterministic; rerun after changing a builder.
"""

from __future__ import annotations

import hashlib
import json
import shutil
import sys
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from helpers import dicom_net_bytes as net  # noqa: E402
from helpers import dicom_writer as d  # noqa: E402

REQUESTS = [
    {"jsonrpc": "2.0", "id": 1, "method": "initialize",
     "params": {"protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "c", "version": "1"}}},
    {"jsonrpc": "2.0", "method": "notifications/initialized"},
    {"jsonrpc": "2.0", "id": 2, "method": "tools/list"},
    {"jsonrpc": "2.0", "id": "s", "method": "tools/call", "params": {"name": "echo", "arguments": {"text": "hi"}}},
    {"jsonrpc": "2.0", "id": 3.5, "method": "tools/call", "params": {"name": "fail", "arguments": {"a": [1, 2]}}},
    {"jsonrpc": "2.0", "id": 4, "method": "tools/call", "params": {"name": "image", "arguments": {"x": "iVBOR"}}},
    {"jsonrpc": "2.0", "id": 5, "method": "tools/call", "params": {"name": "nope"}},
    {"jsonrpc": "2.0", "id": None, "method": "ping"},
    {"jsonrpc": "2.0", "id": 6, "method": "resources/list"},
]  # fmt: skip

JSON_TEXTS = [
    b'{"a":"\\u00e9\\ud83d\\ude00\\n","b":[1,-0,1e308,-1.5e-3,9223372036854775808],"c":{"d":null,"e":true}}',
    b'  [ "\\"\\\\\\/\\b\\f\\n\\r\\t", {}, [], false ]  ',
    b'{"structured":{"k":"v"},\n  "pretty": [1,\n 2]}',
    b"data:image/png;base64,iVBORw0KGgo=",
    b'{"lenient":007,"plus":+5,"dot":.5,"raw":"a\x01b"}',
    b"[" * 600 + b"]" * 600,
    "{\"café\":\"naïve\"}".encode(),
]


def dicom_files() -> dict[str, bytes]:
    dataset = (
        d.explicit(0x00080016, "UI", d.uid("1.2.840.10008.5.1.4.1.1.2"))
        + d.explicit(0x00080018, "UI", d.uid("1.2.3.4.5"))
        + d.explicit(0x00080020, "DA", d.text("20240131"))
        + d.explicit(0x00080030, "TM", d.text("093000.5"))
        + d.explicit(0x00080060, "CS", d.text("CT"))
        + d.explicit(0x00080090, "PN", d.text("Doe^John^Q"))
        + d.sequence(0x00081140, [d.item(d.explicit(0x00081150, "UI", d.uid("1.2")), d.UNDEFINED)])
        + d.explicit(0x00100020, "LO", d.text("PAT-1"))
        + d.explicit(0x0020000D, "UI", d.uid("1.2.3"))
        + d.explicit(0x0020000E, "UI", d.uid("1.2.3.4"))
        + d.explicit(0x00290010, "LO", d.text("SIEMENS CSA HEADER"))
        + d.explicit(0x00291010, "UN", d.item(b"").ljust(8, b"\0"))
    )
    implicit = (
        d.implicit(0x00080060, d.text("MR"))
        + d.implicit(0x0020000D, d.uid("1.2.3"))
        + d.implicit(0x00081140, d.item(d.implicit(0x00081150, d.uid("1.2"))))
    )
    short_un = d.explicit(0x0020000D, "UI", d.uid("1.2.3")) + d.raw_header(0x00200011, b"UN", 2) + b"7 "
    big_endian = (
        d.explicit(0x00080060, "CS", d.text("CT"), big_endian=True)
        + d.sequence(0x00081140, [d.item(d.explicit(0x00081150, "UI", d.uid("1.2"), big_endian=True),
                                         d.UNDEFINED, big_endian=True)], big_endian=True)
        + d.explicit(0x0020000D, "UI", d.uid("1.2.3"), big_endian=True)
        + d.explicit(0x00280010, "US", b"\x00\x02", big_endian=True)
        + d.explicit(0x7FE00010, "OW", b"\x00\x01" * 8, big_endian=True)
    )
    # Japanese names in ISO 2022 (JIS X 0201 and JIS X 0208 by escape sequences) and Latin-1 text.
    iso_2022 = (
        d.explicit(0x00080005, "CS", d.text("\\ISO 2022 IR 87"))
        + d.explicit(0x00080090, "PN", d.text(b"Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B="))
        + d.explicit(0x00081030, "LO", d.text(b"\x1b$B%F%9%H\x1b(B"))
        + d.explicit(0x0020000D, "UI", d.uid("1.2.3"))
    )
    latin_1 = (
        d.explicit(0x00080005, "CS", d.text("ISO_IR 100"))
        + d.explicit(0x00081030, "LO", d.text("Sch\xe4del nativ".encode("latin-1")))
        + d.explicit(0x0020000D, "UI", d.uid("1.2.3"))
    )
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    deflated = compressor.compress(dataset) + compressor.flush()
    return {
        "sample_ct.dcm": (ROOT / "examples" / "data" / "sample_ct.dcm").read_bytes(),
        "explicit.dcm": d.part10(dataset),
        "implicit.dcm": d.part10(implicit, d.IMPLICIT_LE),
        "short_un_header.dcm": d.part10(short_un),
        "no_preamble.dcm": d.meta() + dataset,
        "encapsulated.dcm": d.part10(
            dataset + d.explicit(0x7FE00010, "OB", d.item(b"") + d.item(b"\xff\xd8\xff\xd9"), d.UNDEFINED)
            + d.sequence_delimiter()
        ),
        "big_endian.dcm": d.part10(big_endian, d.EXPLICIT_BE),
        "deflated.dcm": d.part10(deflated, d.DEFLATED_LE),
        "bare_big_endian.dcm": big_endian,
        "bare_implicit.dcm": implicit,
        "magic_without_meta.dcm": d.preamble() + dataset,
        "iso_2022.dcm": d.part10(iso_2022),
        "latin_1.dcm": d.part10(latin_1),
    }


def hl7_messages() -> dict[str, bytes]:
    messages = {path.name: path.read_bytes() for path in sorted((ROOT / "tests" / "hl7" / "corpus").glob("*.hl7"))}
    values = [b"APP", b"FAC", b"RIS", b"HOSP", b"42", b"20240101120000", b"123", b"DOE^JOHN", b"19700101", b"M",
              b"P1", b"F1", b"ACC9", b"CT1", b"CT HEAD", b"CT", b"SMITH^J", b"20240101",
              b"FINDING^Findings", b"line|one\rline~two\\&", b"F"]  # fmt: skip
    messages["oru_values.bin"] = b"\xff".join(values)
    return messages


def mllp_streams() -> dict[str, bytes]:
    """Framed corpus messages: back to back, with bytes between frames, cut short, over the size limit."""
    corpus = [path.read_bytes() for path in sorted((ROOT / "tests" / "hl7" / "corpus").glob("*.hl7"))]
    framed = [b"\x0b" + message + b"\x1c\r" for message in corpus]
    latin_1 = b"MSH|^~\\&|A|B|C|D|1||ADT^A01|L1|P|2.5|||||||8859/1\rPID|1||7||M\xdcLLER\r"
    return {
        "back_to_back.bin": b"".join(framed),
        "garbage_between.bin": b"noise\r\n".join(framed) + b"\x1c\r",
        "cut_short.bin": framed[0] + framed[1][: len(framed[1]) // 2],
        "restarted_frame.bin": b"\x0bMSH|^~\\&|A\x0b" + framed[2],
        "oversize.bin": b"\x0b" + corpus[0] * 8 + b"\x1c\r" + framed[0],
        "latin_1.bin": b"\x0b" + latin_1 + b"\x1c\r",
    }


def scp_streams() -> dict[str, bytes]:
    """What a peer sends after the harness's own A-ASSOCIATE-RQ (first byte 1: put it in front): an
    echo, a store, a query, each released; and the same store cut off, and raw bytes with no request."""
    ct, study_find = "1.2.840.10008.5.1.4.1.1.2", "1.2.840.10008.5.1.4.1.2.2.1"
    release = net.pdu(0x05, b"\0" * 4)
    dataset = (
        net._element(0x00080016, net._ui(ct)) + net._element(0x00080018, net._ui("1.2.3.4"))
        + net._element(0x0020000D, net._ui("1.2.3")) + net._element(0x0020000E, net._ui("1.2.3.1"))
        + net._element(0x00100010, b"DOE^JANE")
    )  # fmt: skip
    identifier = net._element(0x00080052, b"STUDY ") + net._element(0x00100010, b"D*") + net._element(0x0020000D, b"")
    find = net.command_set(0x0020, 3, sop_class=study_find, has_dataset=True)
    store = net.p_data(net.pdv(3, net.c_store_rq(2, ct, "1.2.3.4"), command=True, last=True))
    store += net.p_data(net.pdv(3, dataset[:20], command=False, last=False), net.pdv(3, dataset[20:], command=False, last=True))
    return {
        "echo": b"\x01" + net.p_data(net.pdv(1, net.c_echo_rq(1), command=True, last=True)) + release,
        "store": b"\x01" + store + release,
        "find": b"\x01" + net.p_data(net.pdv(5, find, command=True, last=True), net.pdv(5, identifier, command=False, last=True)) + release,
        "store_cut": b"\x01" + store[: len(store) // 2],
        "no_request": b"\x00" + net.abort_pdu(),
    }


def write(target: str, files: dict[str, bytes]) -> None:
    folder = ROOT / "fuzz" / "corpus" / target
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for name, data in files.items():
        (folder / name).write_bytes(data)


def numbered(items: list[bytes]) -> dict[str, bytes]:
    return {f"{n:02d}-{hashlib.sha1(item).hexdigest()[:8]}": item for n, item in enumerate(items)}


def main() -> None:
    lines = [json.dumps(request, separators=(",", ":")).encode() for request in REQUESTS]
    write("json_reader_fuzz", numbered(lines + JSON_TEXTS))
    streams = [b"\n".join(lines) + b"\n", b"\n".join(lines[:3] + [b"{bad json", b"", b"[]", b'"x"']) + b"\n"]
    write("mcp_server_fuzz", numbered(streams))
    write("dicom_fhir_fuzz", dicom_files())
    write("hl7_fuzz", hl7_messages())
    write("mllp_fuzz", mllp_streams())
    write("dicom_scp_fuzz", scp_streams())


if __name__ == "__main__":
    main()
