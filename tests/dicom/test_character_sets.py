"""Text values to UTF-8 by Specific Character Set (0008,0005): pydicom's decoding and Python's codecs
are the oracles.

The test-only module copies every input into an exactly-sized heap block (so a read past the end shows
under AddressSanitizer) and hands its result out through nanobind's str conversion, which refuses
ill-formed UTF-8: every call below also checks that the output is valid UTF-8.
"""

import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pydicom
import pytest
from hypothesis import given, strategies as st
from pydicom.charset import convert_encodings, decode_bytes, encode_string
from pydicom.multival import MultiValue
from pydicom.valuerep import TEXT_VR_DELIMS, PersonName

import _charset_testing as cs
from helpers.memory import UNDER_ADDRESS_SANITIZER
from helpers.growth import assert_linear

DATA = Path(pydicom.__file__).parent / "data"
TEXT_VRS = {"PN", "LO", "SH", "ST", "LT", "UT", "UC"}
SINGLE_VALUED_VRS = {"ST", "LT", "UT"}  # backslash is text there, not a value separator
ESC = b"\x1b"


def quietly(call, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return call(*args)


def dataset_or_none(path: Path):
    try:
        return quietly(pydicom.dcmread, path)
    except Exception:  # not DICOM, or pydicom refuses it without force=True
        return None


def declares_character_set(path: Path) -> bool:
    dataset = dataset_or_none(path)
    return dataset is not None and 0x00080005 in dataset


FILES = sorted((DATA / "charset_files").glob("*.dcm")) + [
    p for p in sorted((DATA / "test_files").rglob("*")) if p.is_file() and declares_character_set(p)
]


def raw_bytes(element) -> bytes:
    value = element.value
    if value is None:
        return b""
    if isinstance(value, bytes):
        return value
    values = value if isinstance(value, (list, MultiValue)) else [value]
    return "\\".join(str(v) for v in values).encode("ascii")


def pydicom_text(value) -> str:
    if value is None:
        return ""
    if isinstance(value, (list, MultiValue)):
        return "\\".join(str(v) for v in value)
    return str(value)


def text_elements(dataset, character_set: bytes, where: str = ""):
    """(where, VR, raw value, effective (0008,0005), pydicom's value) of every text element, nested
    items included; an item without its own (0008,0005) inherits its parent's, as pydicom does."""
    own = dataset.get_item(0x00080005)
    if own is not None and raw_bytes(own).strip(b" \0"):
        character_set = raw_bytes(own)
    for tag in list(dataset.keys()):
        raw = dataset.get_item(tag)
        raw_value = raw.value if isinstance(raw.value, bytes) or raw.value is None else None
        element = quietly(dataset.__getitem__, tag)
        if element.VR == "SQ":
            for index, item in enumerate(element.value):
                yield from text_elements(item, character_set, f"{where}{element.tag}[{index}]")
        elif element.VR in TEXT_VRS and raw_value is not None:
            yield f"{where}{element.tag}", element.VR, raw_value or b"", character_set, element.value


def ours_as_pydicom_presents_it(raw: bytes, character_set: bytes, vr: str) -> str:
    """Our decoding with pydicom's presentation: values split at backslash and right-trimmed, person
    names without empty trailing component groups."""
    if vr == "PN":
        text, _ = cs.decode(raw.rstrip(b"\0 "), character_set, True)
        return "\\".join(v.rstrip("=") for v in text.split("\\"))
    text, _ = cs.decode(raw, character_set, False)
    if vr in SINGLE_VALUED_VRS:
        return text.rstrip("\0 ")
    return "\\".join(v.rstrip("\0 ") for v in text.split("\\"))


@pytest.mark.parametrize("path", FILES, ids=[str(p.relative_to(DATA)) for p in FILES])
def test_text_elements_decode_as_pydicom_decodes_them(path):
    dataset = dataset_or_none(path)
    elements = list(text_elements(dataset, b""))
    mismatches = [
        (where, ours, pydicom_text(value))
        for where, vr, raw, character_set, value in elements
        if (ours := ours_as_pydicom_presents_it(raw, character_set, vr)) != pydicom_text(value)
    ]
    assert mismatches == []


@pytest.mark.parametrize("path", FILES, ids=[str(p.relative_to(DATA)) for p in FILES])
def test_character_set_terms_are_those_pydicom_reads(path):
    dataset = dataset_or_none(path)
    raw = raw_bytes(dataset.get_item(0x00080005))
    value = dataset.SpecificCharacterSet
    expected = list(value) if isinstance(value, MultiValue) else ([value] if value else [])
    assert [t.decode() for t in cs.terms(raw)] == expected


# Text as a writer had it, the Python codec it wrote with, and the (0008,0005) it declared.
WRITTEN = [
    ("Schädel nativ", "latin_1", "ISO_IR 100"),
    ("Müller^Hans", "latin_1", "ISO_IR 100"),
    ("Łódź^Świętosław", "iso8859_2", "ISO_IR 101"),
    ("Ħamrun^Ġorġ", "iso8859_3", "ISO_IR 109"),
    ("Ķekava^Ūna", "iso8859_4", "ISO_IR 110"),
    ("Παπαδόπουλος^Νίκος", "iso8859_7", "ISO_IR 126"),
    ("قباني^لنزار", "iso8859_6", "ISO_IR 127"),
    ("שרון^דבורה", "iso8859_8", "ISO_IR 138"),
    ("Люкceмбypг^Рoзa", "iso8859_5", "ISO_IR 144"),
    ("Öztürk^İlknur Şen", "iso8859_9", "ISO_IR 148"),
    ("ประเทศไทย", "tis_620", "ISO_IR 166"),
    ("Œuvre 5 €", "iso8859_15", "ISO_IR 203"),
    ("ﾔﾏﾀﾞ^ﾀﾛｳ", "shift_jis", "ISO_IR 13"),
    ("Wang^XiaoDong=王^小东", "gb18030", "GB18030"),
    ("Wang^XiaoDong=王^小东", "gbk", "GBK"),
    ("Wang^XiaoDong=王^小東", "utf-8", "ISO_IR 192"),
    ("Müller^Hans", "latin_1", ""),  # undeclared Latin-1
    ("Müller^Hans", "utf-8", ""),  # undeclared UTF-8
    ("Müller^Hans", "latin_1", "ISO_IR 6"),
    ("Müller^Hans", "latin_1", "ISO_IR 999"),  # an unknown term reads as undeclared
    ("Müller^Hans", "latin_1", "ISO IR 100"),  # the common misspelling of ISO_IR 100
]


@pytest.mark.parametrize("person_name", [False, True])
@pytest.mark.parametrize(("text", "codec", "character_set"), WRITTEN)
def test_text_reads_back_as_written(text, codec, character_set, person_name):
    assert cs.decode(text.encode(codec), character_set.encode(), person_name) == (text, False)


def pairs(first_bytes, second_bytes) -> list[bytes]:
    return [bytes([a, b]) for a in first_bytes for b in second_bytes]


SINGLE_BYTES = [bytes([b]) for b in range(256)]
GL, GR = range(0x21, 0x7F), range(0xA1, 0xFF)
GL_PAIRS, GR_PAIRS = pairs(GL, GL), pairs(GR, GR)
SHIFT_JIS_PAIRS = pairs([*range(0x81, 0xA0), *range(0xE0, 0xFD)], range(0x40, 0xFD))


def escaped(escape: bytes, text: str, codec: str) -> bytes:
    return ESC + escape + text.encode(codec)


# Values written with escape sequences, and the text their writer meant.
WRITTEN_WITH_ESCAPES = [
    # GB 2312 as DICOM's own Chinese example writes it (pydicom leaves the escapes in the text).
    ("Wang^XiaoDong=王^小东=", b"Wang^XiaoDong=" + escaped(b"$)A", "王", "gb2312") + b"^"
     + escaped(b"$)A", "小东", "gb2312") + b"=", "\\ISO 2022 IR 58", True),
    # Kanji whose JIS X 0208 bytes are "8^" and "=:": halves of characters, not delimiters.
    ("五^什", "五".encode("iso2022_jp") + b"^" + "什".encode("iso2022_jp"), "\\ISO 2022 IR 87", True),
    # Writers that do not repeat the escape after a delimiter: with nothing in G1 initially, the G1
    # set designated last still holds (pydicom agrees for names, reads Latin-1 after a line end).
    ("홍^길동", escaped(b"$)C", "홍", "euc_kr") + b"^" + "길동".encode("euc_kr"), "\\ISO 2022 IR 149", True),
    ("김희중\r\n김희중", escaped(b"$)C", "김희중", "euc_kr") + b"\r\n" + "김희중".encode("euc_kr"),
     "\\ISO 2022 IR 149", False),
    # ESC ( B designates G0 only, so the Korean G1 set stays (pydicom reads Latin-1 after it).
    ("김a김", escaped(b"$)C", "김", "euc_kr") + b"\x1b(Ba" + "김".encode("euc_kr"),
     "\\ISO 2022 IR 149", False),
    # When the initial set has a G1 set of its own, a line end brings it back.
    ("Ελλάδα\nÀ", escaped(b"-F", "Ελλάδα", "iso8859_7") + b"\n\xc0",
     "ISO 2022 IR 100\\ISO 2022 IR 126", False),
    # An escape sequence missing from (0008,0005) is still honoured.
    ("山田", "山田".encode("iso2022_jp"), "ISO 2022 IR 6", False),
]


@pytest.mark.parametrize(("text", "value", "character_set", "person_name"), WRITTEN_WITH_ESCAPES)
def test_escaped_values_read_as_their_writer_meant(text, value, character_set, person_name):
    assert cs.decode(value, character_set.encode(), person_name) == (text, False)


# Every code of a table against Python's codec for it, one code per call.
CODES = {
    "ISO_IR 100": ("latin_1", b"", SINGLE_BYTES),
    "ISO_IR 101": ("iso8859_2", b"", SINGLE_BYTES),
    "ISO_IR 109": ("iso8859_3", b"", SINGLE_BYTES),
    "ISO_IR 110": ("iso8859_4", b"", SINGLE_BYTES),
    "ISO_IR 126": ("iso8859_7", b"", SINGLE_BYTES),
    "ISO_IR 127": ("iso8859_6", b"", SINGLE_BYTES),
    "ISO_IR 138": ("iso8859_8", b"", SINGLE_BYTES),
    "ISO_IR 144": ("iso8859_5", b"", SINGLE_BYTES),
    "ISO_IR 148": ("iso8859_9", b"", SINGLE_BYTES),
    "ISO_IR 166": ("tis_620", b"", SINGLE_BYTES),
    "ISO_IR 203": ("iso8859_15", b"", SINGLE_BYTES),
    "ISO_IR 13": ("shift_jis", b"", SINGLE_BYTES + SHIFT_JIS_PAIRS),
    "GB18030": ("gb18030", b"", pairs(range(0x81, 0xFF), range(0x40, 0xFF))),
    "GBK": ("gbk", b"", pairs(range(0x81, 0xFF), range(0x40, 0xFF))),
    "\\ISO 2022 IR 87": ("iso2022_jp", b"\x1b$B", GL_PAIRS),
    "\\ISO 2022 IR 159": ("iso2022_jp_2", b"\x1b$(D", GL_PAIRS),
    "\\ISO 2022 IR 149": ("euc_kr", b"\x1b$)C", GR_PAIRS),
    "\\ISO 2022 IR 58": ("gb2312", b"\x1b$)A", GR_PAIRS),
}

# Where the C library's tables and Python's disagree, and why the C library's reading is kept.
TABLE_DIFFERENCES = {
    # C1 controls are no Thai characters; Python passes them through.
    "ISO_IR 166": {bytes([b]) for b in range(0x80, 0xA0)},
    # GB18030-2005 moved these out of the private use area; Python still maps them there.
    "GB18030": {bytes.fromhex(code) for code in """a6d9 a6da a6db a6dc a6dd a6de a6df a6ec a6ed a6f3 a8bc
                fe51 fe52 fe53 fe59 fe61 fe66 fe67 fe6c fe6d fe76 fe7e fe90 fe91 fea0""".split()},
    # JIS X 0212 0x2237 is a tilde of its own; Python folds it into ASCII 0x7E.
    "\\ISO 2022 IR 159": {b"\x22\x37"},
    # KS X 1001:1998 and 2002 additions (the Hangul filler, the postal mark) that Python lacks.
    "\\ISO 2022 IR 149": {b"\xa2\xe8", b"\xa4\xd4"},
}


def python_reading(code: bytes, codec: str, escape: bytes):
    """Python's text for one code, or None where Python has no character for it."""
    try:
        return (escape + code if codec.startswith("iso2022") else code).decode(codec)
    except UnicodeDecodeError:
        return None


@pytest.mark.parametrize("character_set", list(CODES))
def test_every_code_reads_as_python_reads_it(character_set):
    codec, escape, codes = CODES[character_set]
    expected_differences = TABLE_DIFFERENCES.get(character_set, set())
    differences, unreplaced = set(), []
    for code in codes:
        text, repaired = cs.decode(escape + code, character_set.encode(), False)
        expected = python_reading(code, codec, escape)
        if expected is None:
            if not repaired or "\ufffd" not in text:
                unreplaced.append(code)
        elif text != expected:
            differences.add(code)
    assert differences <= expected_differences
    assert [c for c in unreplaced if c not in expected_differences] == []


# Bytes the declared set has no character for become U+FFFD and the rest of the text survives.
UNDECODABLE = [
    (b"Ab\xa1cd", "ISO_IR 127"),  # unassigned in ISO 8859-6
    (b"Ab\xfbcd", "ISO_IR 138"),  # unassigned in ISO 8859-8
    (b"Ab\x81 cd", "GB18030"),  # lead byte without its trail
    (b"Ab\x1b$B;3E\x1b(Bcd", "\\ISO 2022 IR 87"),  # half a JIS X 0208 character
    (b"Ab\x1b$)C\xb1\xe8\xc8cd", "\\ISO 2022 IR 149"),  # half a KS X 1001 character
    (b"Ab\x1b%Zcd", "\\ISO 2022 IR 87"),  # an escape sequence nobody defined
]


@pytest.mark.parametrize(("value", "character_set"), UNDECODABLE)
def test_undecodable_bytes_become_replacement_characters(value, character_set):
    text, repaired = cs.decode(value, character_set.encode(), False)
    oracle = quietly(decode_bytes, value, convert_encodings(character_set.split("\\")), TEXT_VR_DELIMS)
    assert repaired and "\ufffd" in text
    assert text.startswith("Ab") and text.endswith("cd")
    assert text.count("\ufffd") <= oracle.count("\ufffd") + oracle.count("\x1b")


def test_declared_utf8_that_is_not_reads_as_latin1():
    value = "Müller^Hans".encode("latin_1")
    assert cs.decode(value, b"ISO_IR 192", True) == (value.decode("latin_1"), True)


def characters_of(codec: str, codes) -> list[str]:
    return [text for code in codes if (text := python_reading(code, codec, b"")) is not None and len(text) == 1]


JIS_X_0208 = characters_of("iso2022_jp", [b"\x1b$B" + p for p in GL_PAIRS])
JIS_X_0212 = [c for c in characters_of("iso2022_jp_2", [b"\x1b$(D" + p for p in GL_PAIRS])
              if c not in JIS_X_0208 and c != "~"]
# pydicom writes the characters Latin-1 also has as bare Latin-1 bytes, which ISO 2022 IR 6 does not
# allow; the Korean repertoire leaves them out.
KS_X_1001 = [c for c in characters_of("euc_kr", GR_PAIRS) if ord(c) > 0xFF]
KATAKANA = [chr(c) for c in range(0xFF61, 0xFFA0)]
ASCII = [chr(c) for c in range(0x20, 0x7F) if chr(c) not in "\\^="]

# (0008,0005) and the characters a writer may use with it. With ISO 2022 IR 100 first, pydicom ends
# kanji runs with ESC - A alone, which the decoder must read as a return to ASCII. ISO 2022 IR 58 is
# missing: pydicom writes GB 2312 bytes without their escape sequence (and cannot read them back).
REPERTOIRES = {
    "ISO 2022 IR 6\\ISO 2022 IR 87": ASCII + JIS_X_0208,
    "ISO 2022 IR 13\\ISO 2022 IR 87": ASCII + KATAKANA + JIS_X_0208,
    "ISO 2022 IR 6\\ISO 2022 IR 87\\ISO 2022 IR 159": ASCII + JIS_X_0208 + JIS_X_0212,
    "ISO 2022 IR 6\\ISO 2022 IR 149": ASCII + KS_X_1001,
    "ISO 2022 IR 100\\ISO 2022 IR 87": ASCII + list("àéîõüßÄÖÜ") + JIS_X_0208,
    "ISO 2022 IR 100\\ISO 2022 IR 126": ASCII + list("àéîõüß") + list("αβγδεζηθΑΒΓΔ"),
}


@st.composite
def written_values(draw, person_name: bool):
    """A text, the value pydicom writes for it, and the (0008,0005) it wrote with. Text lines are
    written one by one, as DICOM wants a line to start in the initial set (pydicom does that by itself
    only for name components)."""
    character_set = draw(st.sampled_from(sorted(REPERTOIRES)))
    encodings = convert_encodings(character_set.split("\\"))
    word = st.text(st.sampled_from(REPERTOIRES[character_set]), max_size=6)
    words = draw(st.lists(word, min_size=1, max_size=4))
    separators = draw(st.lists(st.sampled_from("^=" if person_name else "\r\n\t"), min_size=len(words) - 1,
                               max_size=len(words) - 1))
    text = words[0] + "".join(sep + word for sep, word in zip(separators, words[1:]))
    if person_name:
        value = quietly(lambda: PersonName(text).encode(encodings))
    else:
        value = quietly(encode_string, words[0], encodings) + b"".join(
            sep.encode() + quietly(encode_string, word, encodings) for sep, word in zip(separators, words[1:]))
    return text, value, character_set.encode()


@given(written_values(person_name=False))
def test_pydicom_written_text_reads_back(written):
    text, value, character_set = written
    assert cs.decode(value, character_set, False) == (text, False)


@given(written_values(person_name=True))
def test_pydicom_written_person_names_read_back(written):
    text, value, character_set = written
    assert cs.decode(value, character_set, True) == (str(quietly(PersonName, text)), False)


ISO_2022_VALUES = sorted({
    (raw, character_set)
    for path in FILES
    if b"2022" in (raw_bytes(quietly(pydicom.dcmread, path).get_item(0x00080005)))
    for _, _, raw, character_set, _ in text_elements(dataset_or_none(path), b"")
    if ESC in raw
})


@pytest.mark.parametrize(("value", "character_set"), ISO_2022_VALUES)
@pytest.mark.parametrize("person_name", [False, True])
def test_values_cut_anywhere_still_decode(value, character_set, person_name):
    for cut in range(len(value) + 1):
        text, _ = cs.decode(value[:cut], character_set, person_name)
        assert len(text) <= cut  # every character consumed at least one byte


CHARACTER_SETS = ["", "ISO_IR 100", "ISO_IR 13", "ISO_IR 192", "GB18030", "\\ISO 2022 IR 87",
                  "ISO 2022 IR 13\\ISO 2022 IR 87\\ISO 2022 IR 159", "\\ISO 2022 IR 149", "\\ISO 2022 IR 58",
                  "ISO 2022 IR 100\\ISO 2022 IR 126"]
# Bytes that steer the decoder: ESC and the bytes of escape sequences, delimiters, GL and GR halves.
STEERING = st.sampled_from([0x1B, 0x24, 0x28, 0x29, 0x2D, 0x42, 0x43, 0x44, 0x41, 0x49, 0x4A, 0x46,
                            0x5E, 0x3D, 0x5C, 0x0A, 0x20, 0x21, 0x7E, 0x80, 0x8F, 0xA1, 0xB1, 0xE8, 0xFE, 0xFF])


@given(st.binary(max_size=64) | st.lists(STEERING, max_size=64).map(bytes),
       st.sampled_from(CHARACTER_SETS), st.booleans())
def test_any_bytes_decode_to_at_most_one_character_each(value, character_set, person_name):
    text, repaired = cs.decode(value, character_set.encode(), person_name)
    assert len(text) <= len(value)
    assert repaired or "\ufffd" not in text


def test_threads_converting_at_once_agree_with_one_thread():
    work = [(value, character_set, False) for value, character_set in ISO_2022_VALUES]
    work += [(text.encode(codec), character_set.encode(), False) for text, codec, character_set in WRITTEN]
    work += [(value, character_set.encode(), pn) for _, value, character_set, pn in WRITTEN_WITH_ESCAPES]
    work *= 200
    alone = [cs.decode(*args) for args in work]
    with ThreadPoolExecutor(max_workers=8) as pool:
        together = list(pool.map(lambda args: cs.decode(*args), work))
    assert together == alone


def test_plain_ascii_is_printable_ascii_only():
    printable = bytes(range(0x20, 0x7F))
    assert cs.is_plain_ascii(printable)
    assert not any(cs.is_plain_ascii(printable + bytes([b])) for b in [*range(0x20), *range(0x7F, 0x100)])


MIXED = b"\x1b$B;3E\x1b(Ba^\x1b$)C\xb1\xe8\xc8\x1b$(\xff\x1b-F\xe1\n\x1b)I\xd4\x1b$(D\x22\x37\x1b"


@pytest.mark.parametrize("character_set", [b"\\ISO 2022 IR 87", b"ISO_IR 13", b"GB18030", b""])
@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="iconv under ASan's interceptors grows faster than its input "
                    "(60x for 10x on GB18030) while the plain build stays linear; the plain run times it")
def test_cost_is_linear_in_the_value(character_set):
    assert_linear(lambda n: MIXED * n, lambda v: cs.decode(v, character_set, True), 300)
