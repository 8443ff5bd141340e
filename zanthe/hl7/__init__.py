"""HL7 v2 messages: parsing with access by location, acknowledgments, ORU^R01 building.

    from zanthe import hl7

    message = hl7.parse(data)            # str, or bytes decoded by the message's MSH-18
    message["PID-5-1"]                   # family name, escapes decoded
    message["PID-3(2)-1"]                # second repetition of PID-3
    message["OBX(2)-5"]                  # OBX-5 of the second OBX segment
    for obx in message.segments("OBX"):
        print(obx["3-2"], obx["5"])
    reply = message.ack("AA")            # the ER7 acknowledgment, ready to send

    for message in hl7.parse_batch(data):   # FHS/BHS envelopes, or messages one after another
        ...

A location names one value: SEG[(occurrence)]-FIELD[(repetition)][-COMPONENT[-SUBCOMPONENT]], all
numbers counting from 1; left-out parts mean the first, so "PID-5" is the first component of the first
repetition of PID-5, as HL7 peers read it. As HL7 numbers them, MSH-1 is the field separator and MSH-2
the encoding characters (both returned as written). A location the message does not hold gives "",
like an absent field; a malformed location string raises ValueError.

Values come back with the escape sequences of the message's own delimiters decoded: \\F\\ \\S\\ \\T\\
\\R\\ \\E\\, \\.br\\ (a line break, "\\n") and \\Xhh...\\ (bytes in the message's character set); other
sequences are kept as written. ``segment[n]`` gives field n as written, escapes and all.
"""

from __future__ import annotations

import codecs
import collections
import functools
import re

from zanthe import _hl7
from zanthe._hl7 import ORU_FIELDS, ParseError, build_oru

# Not typing.TYPE_CHECKING: importing typing would be most of `zanthe hl7 parse`'s start-up.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator, Sequence
    from typing import Any, NamedTuple

    from zanthe._hl7 import Segment as SegmentRecord

__all__ = [
    "ORU_FIELDS",
    "Delimiters",
    "Message",
    "ParseError",
    "Segment",
    "batch_document",
    "build_oru",
    "codec_of",
    "declared_charset",
    "decode",
    "parse",
    "parse_batch",
    "split_batch",
]

_ENVELOPE_IDS = ("FHS", "BHS", "BTS", "FTS")

# A header or envelope segment at the start of a line: where the messages of a batch begin and end.
_BOUNDARY = r"(?:\A|(?<=[\r\n]))(MSH|FHS|BHS|BTS|FTS)(?![A-Z0-9])"
_BOUNDARY_IDS = frozenset(("MSH", *_ENVELOPE_IDS))
_LINE_END = r"[\r\n]"
_LOCATION = r"(?:([A-Z0-9]{3})(?:\((\d+)\))?-)?(\d+)(?:\((\d+)\))?(?:-(\d+)(?:-(\d+))?)?"


# The patterns are compiled when first used: a single message is parsed without any of them, and
# compiling them all would be a good part of a short command's start-up.
@functools.cache
def _batch_patterns(is_bytes: bool) -> tuple[re.Pattern[Any], re.Pattern[Any]]:
    """The message boundary and the line end, for text or for bytes."""
    if is_bytes:
        return re.compile(_BOUNDARY.encode("ascii")), re.compile(_LINE_END.encode("ascii"))
    return re.compile(_BOUNDARY), re.compile(_LINE_END)


@functools.cache
def _location_pattern() -> re.Pattern[str]:
    return re.compile(_LOCATION)


# ---------------------------------------------------------------------------------------------------
# Errors


def _parse_error(message: str, reason: str) -> ParseError:
    """A ParseError made here rather than by the native parser, with its reason code."""
    error = ParseError(message)
    error.reason = reason
    return error


def _numbered(error: ParseError, number: int) -> ParseError:
    """The same failure, naming the message of a batch it happened in."""
    return _parse_error(f"message {number}: {error}", error.reason)


# ---------------------------------------------------------------------------------------------------
# Character sets


def codec_of(declared: str) -> str | None:
    """The Python codec for an MSH-18 value, UTF-8 when there is none; None when not supported."""
    return _hl7.codec_of(declared)


def declared_charset(header_fields: Sequence[str]) -> str:
    """MSH-18 (its first repetition) of a header already split at its field separator, or "" when
    absent. Kept for callers that split headers themselves; zanthe reads headers with _hl7.read_header."""
    if len(header_fields) < 18:
        return ""
    encoding_characters = header_fields[1]
    repetition = encoding_characters[1] if len(encoding_characters) > 1 else "~"
    return header_fields[17].split(repetition, 1)[0]


def decode(data: bytes) -> str:
    """One message's bytes as text, in the character set its MSH-18 declares."""
    try:
        header = _hl7.read_header(data)
        declared, codec = header.character_set, header.codec
    except ParseError:
        declared, codec = "", "utf-8"  # no header to declare a set; parsing the text refuses it
    if codec is None:
        raise _parse_error(f"hl7.parse: undecodable: unsupported character set {declared!r} (MSH-18)", "undecodable")
    try:
        return data.decode(codec)
    except UnicodeDecodeError as error:
        named = f"MSH-18 {declared!r}" if declared.strip() else "no MSH-18"
        detail = f"not {codec} text ({named}): {error.reason} at byte {error.start}"
        raise _parse_error(f"hl7.parse: undecodable: {detail}", "undecodable") from None


# ---------------------------------------------------------------------------------------------------
# Batches


def _split_batch(data: str | bytes) -> tuple[list[Any], bool]:
    """The texts of the messages in `data` (text outside any message kept as a piece of its own,
    which then fails to parse), and whether batch or file envelope segments were found."""
    is_bytes = isinstance(data, bytes)
    pattern, line_end = _batch_patterns(is_bytes)
    starts = [found.start() for found in pattern.finditer(data)]
    pieces: list[Any] = []
    lead = data[: starts[0]] if starts else data
    if lead.strip():
        pieces.append(lead)
    enveloped = False
    for start, end in zip(starts, [*starts[1:], len(data)]):
        piece = data[start:end]
        segment_id = piece[:3].decode("ascii") if isinstance(piece, bytes) else piece[:3]
        if segment_id in _ENVELOPE_IDS:
            enveloped = True
            found = line_end.search(piece)
            piece = piece[len(piece) if found is None else found.start() :]
            if not piece.strip():
                continue
        pieces.append(piece)
    return pieces, enveloped


def split_batch(data: str | bytes) -> list[Any]:
    """The text of each message of a file, unparsed, in the type given: a leading byte-order mark and
    FHS/BHS/BTS/FTS envelope segments are left out; text before the first message is a piece too."""
    pieces, _ = _split_batch(_checked_input(data))
    return pieces


def _one_message(data: str | bytes) -> Message | None:
    """The message `data` holds when it starts with a header and holds no other header or envelope
    segment: the common case, read with one native parse. None when it may be a batch."""
    header = data[:3]
    if header != "MSH" and header != b"MSH":
        return None
    try:
        text = decode(data) if isinstance(data, bytes) else data
        records = _hl7.parse(text)
    except ParseError:
        return None  # the batch reading names the message that fails, or fails the same way
    if not _BOUNDARY_IDS.isdisjoint([record["id"] for record in records[1:]]):
        return None
    return Message(text, records)


def _checked_input(data: object) -> str | bytes:
    """The text or bytes to parse, without a leading UTF-8 byte-order mark."""
    if isinstance(data, (bytearray, memoryview)):
        data = bytes(data)
    if isinstance(data, str):
        return data.removeprefix("\ufeff")
    if isinstance(data, bytes):
        return data.removeprefix(codecs.BOM_UTF8)
    raise TypeError(f"hl7.parse: expected str or bytes, got {type(data).__name__}")


def _message_of(piece: str | bytes) -> Message:
    text = decode(piece) if isinstance(piece, bytes) else piece
    return Message(text, _hl7.parse(text))


def parse(data: str | bytes) -> Message:
    """The one message in `data` (str, or bytes in the character set MSH-18 declares, UTF-8 without
    one); a leading byte-order mark is skipped and batch envelopes around a single message are read.

    Raises ParseError (a RuntimeError with a ``reason`` code) when the text is not a message, when
    bytes do not decode ("undecodable") or when it holds several messages ("several_messages": read
    those with parse_batch).
    """
    data = _checked_input(data)
    message = _one_message(data)
    if message is not None:
        return message
    pieces, _ = _split_batch(data)
    first = _message_of(pieces[0] if pieces else data)
    if len(pieces) > 1:
        raise _parse_error(
            f"hl7.parse: several_messages: {len(pieces)} messages in the text; read them with parse_batch",
            "several_messages",
        )
    return first


def parse_batch(data: str | bytes) -> list[Message]:
    """Every message of a batch file: messages inside FHS/BHS ... BTS/FTS envelopes, or one after
    another (each starting on an MSH line; blank lines between them are skipped). Envelope segments
    belong to no message. Bytes are decoded message by message, each by its own MSH-18.

    A file of a single message gives a list of one; an envelope holding none gives an empty list.
    Raises ParseError for the first message that fails, naming its number ("message 2: ...") when
    there are several.
    """
    data = _checked_input(data)
    message = _one_message(data)
    if message is not None:
        return [message]
    pieces, enveloped = _split_batch(data)
    if not pieces and enveloped:
        return []
    if len(pieces) <= 1:
        return [_message_of(pieces[0] if pieces else data)]  # nothing at all raises empty or no_msh
    messages = []
    for number, piece in enumerate(pieces, start=1):
        try:
            messages.append(_message_of(piece))
        except ParseError as error:
            raise _numbered(error, number) from None
    return messages


def batch_document(messages: Sequence[Message]) -> dict[str, Any]:
    """The JSON shape of parsed text: {"segments": [...]} for one message, else {"messages": [...]}."""
    if len(messages) == 1:
        return messages[0].to_dict()
    return {"messages": [message.to_dict() for message in messages]}


# ---------------------------------------------------------------------------------------------------
# Locations and escapes


if TYPE_CHECKING:

    class _Location(NamedTuple):
        segment_id: str | None
        occurrence: int
        field: int
        repetition: int
        component: int
        subcomponent: int

    class Delimiters(NamedTuple):
        field: str
        component: str
        repetition: str
        escape: str
        subcomponent: str

else:
    # The same tuples as typing.NamedTuple makes them, without importing typing.
    _Location = collections.namedtuple(
        "_Location", ["segment_id", "occurrence", "field", "repetition", "component", "subcomponent"]
    )
    Delimiters = collections.namedtuple("Delimiters", ["field", "component", "repetition", "escape", "subcomponent"])
    Delimiters.__doc__ = "A message's delimiters, from MSH-1 and MSH-2."


@functools.lru_cache(maxsize=1024)
def _location_of(text: str) -> _Location:
    """A location string parsed: SEG[(n)]-F[(r)][-C[-S]], or F[(r)][-C[-S]] within a segment."""
    found = _location_pattern().fullmatch(text)
    if found is None:
        raise ValueError(f"not an HL7 location: {text!r} (expected e.g. 'PID-5-1', 'PID-3(2)-1', 'OBX(2)-5')")
    segment_id, *numbers = found.groups()
    values = [1 if number is None else int(number) for number in numbers]
    if 0 in values:
        raise ValueError(f"not an HL7 location: {text!r} (numbers count from 1)")
    return _Location(segment_id, *values)


def _nth_piece(text: str, separator: str, number: int) -> str:
    if number == 1:
        end = text.find(separator)
        return text if end < 0 else text[:end]
    pieces = text.split(separator, number)
    return pieces[number - 1] if number <= len(pieces) else ""


def _unescape(text: str, delimiters: Delimiters, charset: str | None) -> str:
    """`text` with the escape sequences written with these delimiters decoded (see the module doc)."""
    escape = delimiters.escape
    if escape not in text:
        return text
    parts = text.split(escape)
    sequences = parts[1::2]
    names = _named_sequences(delimiters)
    # Most values hold only closed, named sequences: replaced without a pattern match per sequence.
    if len(parts) % 2 and all(sequence in names for sequence in sequences):
        parts[1::2] = [names[sequence] for sequence in sequences]
        return "".join(parts)
    return _sequences_of(escape).sub(functools.partial(_decoded, names, escape, charset), text)


@functools.lru_cache(maxsize=16)
def _named_sequences(delimiters: Delimiters) -> dict[str, str]:
    return {
        "F": delimiters.field,
        "S": delimiters.component,
        "T": delimiters.subcomponent,
        "R": delimiters.repetition,
        "E": delimiters.escape,
        ".br": "\n",
    }


@functools.lru_cache(maxsize=16)
def _sequences_of(escape: str) -> re.Pattern[str]:
    """Escape sequences, each from an escape character to the next; a run of adjacent hexadecimal
    ones is one match, as a character's bytes may be split over several."""
    e = re.escape(escape)
    return re.compile(f"(?:{e}X[0-9A-Fa-f]*{e})+|{e}[^{e}]*{e}")


def _decoded(names: dict[str, str], escape: str, charset: str | None, found: re.Match[str]) -> str:
    sequence = found.group()
    inner = sequence[1:-1]
    if inner[:1] == "X":
        text = _hex_decoded(inner.split(escape * 2), charset)
        return sequence if text is None else text
    return names.get(inner, sequence)


def _hex_decoded(pieces: list[str], charset: str | None) -> str | None:
    """The text of \\Xhh..\\ sequences (pieces without their escape characters), or None when they
    are malformed or their bytes are not text in the character set: then they stay as written."""
    digits = [piece[1:] for piece in pieces]
    if charset is None or not all(digits) or any(len(part) % 2 for part in digits):
        return None
    try:
        return bytes.fromhex("".join(digits)).decode(charset)
    except UnicodeDecodeError:
        return None


# ---------------------------------------------------------------------------------------------------
# Messages


class Segment:
    """One segment of a message.

    ``segment[n]`` is field n as written (escapes kept; "" past the last field; ``segment[0]`` is the
    ID, and for MSH ``segment[1]`` the field separator and ``segment[2]`` the encoding characters).
    ``segment["5(2)-1"]`` is the value at a location within this segment, escapes decoded.
    ``str(segment)`` is its ER7 text.
    """

    __slots__ = ("_message", "_pieces", "id")

    def __init__(self, record: SegmentRecord, message: Message) -> None:
        self.id: str = record["id"]
        self._pieces = record["fields"]  # as the native parser cut them: MSH-n is piece n - 1
        self._message = message

    def __getitem__(self, key: int | str) -> str:
        if isinstance(key, str):
            location = _location_of(key)
            if location.segment_id is not None:
                raise ValueError(f"{key!r}: a location within a segment starts with the field number")
            return self._message._value(self._pieces, self.id == "MSH", location)
        if key < 0:
            raise IndexError(f"field numbers count from 0 (the segment ID): {key}")
        return _field_of(self._pieces, self.id == "MSH", key, self._message.delimiters.field)

    def __len__(self) -> int:
        return len(self._pieces) + (self.id == "MSH")

    def __iter__(self) -> Iterator[str]:
        return iter(self.fields)

    @property
    def fields(self) -> list[str]:
        """The fields as written, numbered as HL7 numbers them (index 0 is the ID)."""
        if self.id == "MSH":
            return [self._pieces[0], self._message.delimiters.field, *self._pieces[1:]]
        return list(self._pieces)

    def __str__(self) -> str:
        return self._message.delimiters.field.join(self._pieces)

    def __repr__(self) -> str:
        return f"Segment({str(self)!r})"


def _field_of(pieces: list[str], is_header: bool, number: int, field_separator: str) -> str:
    """Field `number` as HL7 numbers it, from the native pieces (MSH-1, the separator, is no piece)."""
    if is_header and number >= 1:
        if number == 1:
            return field_separator
        number -= 1
    return pieces[number] if number < len(pieces) else ""


class Message:
    """A parsed HL7 v2 message: iterate over its segments, read values by location (see the module
    doc), acknowledge it. Made by parse() and parse_batch()."""

    __slots__ = ("_by_id", "_records", "_text", "charset", "delimiters")

    def __init__(self, text: str, records: list[SegmentRecord]) -> None:
        self._text = text
        self._records = records
        self._by_id: dict[str, list[int]] | None = None
        header = _hl7.read_header(text)
        self.delimiters = Delimiters(*header.delimiters)
        self.charset: str | None = header.codec
        """The Python codec of the message's MSH-18 (\\X..\\ escapes are decoded with it); None when
        the declared character set is not supported."""

    def __len__(self) -> int:
        return len(self._records)

    def __iter__(self) -> Iterator[Segment]:
        return (Segment(record, self) for record in self._records)

    def __contains__(self, segment_id: object) -> bool:
        """Whether the message has a segment with this ID: "PID" in message."""
        return isinstance(segment_id, str) and bool(self._ordinals(segment_id))

    def segments(self, segment_id: str) -> list[Segment]:
        """The segments with this ID, in message order."""
        return [Segment(self._records[index], self) for index in self._ordinals(segment_id)]

    def segment(self, segment_id: str) -> Segment:
        """The first segment with this ID; KeyError when there is none."""
        ordinals = self._ordinals(segment_id)
        if not ordinals:
            raise KeyError(segment_id)
        return Segment(self._records[ordinals[0]], self)

    def __getitem__(self, location: str) -> str:
        """The value at an HL7 location such as "PID-5-1", "PID-3(2)-1" or "OBX(2)-5"; "" if absent."""
        if not isinstance(location, str):
            raise TypeError(f"a message is indexed by an HL7 location string, not {type(location).__name__}")
        parsed = _location_of(location)
        segment_id = parsed.segment_id
        if segment_id is None:
            raise ValueError(f"{location!r}: a location starts with the segment ID, e.g. 'PID-5'")
        ordinals = self._ordinals(segment_id)
        if parsed.occurrence > len(ordinals):
            return ""
        pieces = self._records[ordinals[parsed.occurrence - 1]]["fields"]
        return self._value(pieces, segment_id == "MSH", parsed)

    def unescape(self, text: str) -> str:
        """`text` with the escape sequences of this message's delimiters and character set decoded."""
        return _unescape(text, self.delimiters, self.charset)

    @property
    def control_id(self) -> str:
        """MSH-10."""
        return self["MSH-10"]

    @property
    def version(self) -> str:
        """MSH-12 (its first component), e.g. "2.5"."""
        return self["MSH-12"]

    @property
    def message_type(self) -> str:
        """MSH-9's message code and trigger event, written "ORU^R01" whatever the delimiters."""
        code, trigger = self["MSH-9-1"], self["MSH-9-2"]
        return f"{code}^{trigger}" if trigger else code

    def ack(
        self, code: str = "AA", text: str | None = None, *, control_id: str | None = None, error_code: str | None = None
    ) -> str:
        """The ER7 acknowledgment of this message: MSA-1 `code` (AA, AE or AR), MSA-3 `text`, an ERR
        segment (`error_code`, default 207) unless AA, and a fresh control ID unless one is given."""
        return _hl7.build_ack(self._text, code, text, control_id=control_id, error_code=error_code)

    def to_dict(self) -> dict[str, Any]:
        """{"segments": [{"id": ..., "fields": [...]}, ...]} with the fields as written (MSH's fields[1]
        being its encoding characters, as the native parser gives them)."""
        return {"segments": [{"id": record["id"], "fields": list(record["fields"])} for record in self._records]}

    def __str__(self) -> str:
        """The ER7 text, each segment ended by CR."""
        return "".join(f"{segment}\r" for segment in self)

    def __repr__(self) -> str:
        return f"<hl7.Message {self.message_type} {self.control_id!r}: {len(self)} segments>"

    def _ordinals(self, segment_id: str) -> list[int]:
        if self._by_id is None:
            by_id: dict[str, list[int]] = {}
            for index, record in enumerate(self._records):
                by_id.setdefault(record["id"], []).append(index)
            self._by_id = by_id
        return self._by_id.get(segment_id, [])

    def _value(self, pieces: list[str], is_header: bool, location: _Location) -> str:
        delimiters = self.delimiters
        field = _field_of(pieces, is_header, location.field, delimiters.field)
        if is_header and location.field <= 2:
            first = location.repetition == location.component == location.subcomponent == 1
            return field if first else ""
        if not field:
            return ""
        repetition = _nth_piece(field, delimiters.repetition, location.repetition)
        component = _nth_piece(repetition, delimiters.component, location.component)
        subcomponent = _nth_piece(component, delimiters.subcomponent, location.subcomponent)
        return _unescape(subcomponent, delimiters, self.charset)
