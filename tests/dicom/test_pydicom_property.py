"""Generated datasets: the reader lists the same top-level tags and texts as pydicom."""

import io

import pydicom
from hypothesis import given, settings, strategies as st

import _dicom_testing as dt
from helpers import dicom_writer as w

STRING_TAGS = [(0x00080020, "DA"), (0x00080050, "SH"), (0x00080060, "CS"), (0x00081030, "LO"),
               (0x00100010, "PN"), (0x00100020, "LO"), (0x00180015, "CS"), (0x0020000D, "UI"),
               (0x0020000E, "UI"), (0x00200011, "IS"), (0x00201041, "DS"), (0x00204000, "LT")]
SEQUENCE_TAGS = [0x00081115, 0x00081140, 0x00400275]
TEXT = st.text(alphabet="ABCXYZ019^.- ", max_size=20)


@st.composite
def datasets(draw):
    tags = draw(st.lists(st.sampled_from(STRING_TAGS + [(t, "SQ") for t in SEQUENCE_TAGS]),
                         unique=True, max_size=10))
    explicit_vr = draw(st.booleans())
    elements = []
    for tag, vr in sorted(tags):
        if vr == "SQ":
            items = [w.item(element(0x00081150, "UI", draw(TEXT), explicit_vr),
                            w.UNDEFINED if draw(st.booleans()) else None)
                     for _ in range(draw(st.integers(0, 3)))]
            elements.append(w.sequence(tag, items, explicit_vr=explicit_vr, undefined=draw(st.booleans())))
        else:
            elements.append(element(tag, vr, draw(TEXT), explicit_vr))
    return explicit_vr, b"".join(elements)


def element(tag: int, vr: str, value: str, explicit_vr: bool) -> bytes:
    data = w.text(value, b"\0" if vr == "UI" else b" ")
    return w.explicit(tag, vr, data) if explicit_vr else w.implicit(tag, data)


@settings(max_examples=200, deadline=None)
@given(datasets())
def test_generated_datasets_read_like_pydicom(case):
    explicit_vr, dataset = case
    data = w.part10(dataset, w.EXPLICIT_LE if explicit_vr else w.IMPLICIT_LE)
    expected = pydicom.dcmread(io.BytesIO(data))
    meta = dt.read_file_meta(data)
    assert meta["status"] == "ok"
    body = data[meta["dataset_offset"]:]
    _, rows = dt.parse_dataset(body, explicit_vr)
    assert [r[0] for r in rows] == [int(t) for t in expected.keys()]
    for tag, vr in STRING_TAGS:
        if tag in expected:
            raw = expected.get_item(tag).value or b""
            raw = raw.encode() if isinstance(raw, str) else raw
            assert dt.find_text(body, explicit_vr, tag) == raw.rstrip(b"\0 ").lstrip(b" ")
    for tag in SEQUENCE_TAGS:
        if tag in expected:
            row = next(r for r in rows if r[0] == tag)
            assert row[1] == "SQ"
            assert len(expected[tag].value) == count_items(body[row[3]:row[3] + row[2]], explicit_vr)


def count_items(value: bytes, explicit_vr: bool) -> int:
    """Items in a sequence value, counted with the reader's own walks."""
    count, offset = 0, 0
    while len(value) - offset >= 8:
        length = int.from_bytes(value[offset + 4:offset + 8], "little")
        start = offset + 8
        if length == w.UNDEFINED:
            end = dt.find_item_end(value[start:], not explicit_vr)
            assert end is not None
            offset = start + end + 8
        else:
            offset = start + length
        count += 1
    return count
