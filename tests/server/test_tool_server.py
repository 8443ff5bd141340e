"""The Pythonic tool layer: schemas from hints and docstrings, argument checks, result conversion."""

import base64
import dataclasses
import enum
import json
from typing import Annotated, Any, Literal, TypedDict

import pytest

from zanthe.server import Image, ToolError, ToolServer, parse_docstring, render_result, schema_for


class Colour(enum.Enum):
    RED = "red"
    BLUE = "blue"


class Point(TypedDict):
    x: int
    y: Annotated[int, "vertical"]


class Options(TypedDict, total=False):
    deep: bool


@dataclasses.dataclass
class Box:
    width: float
    label: str = "box"


@pytest.mark.parametrize(
    "hint, schema",
    [
        (str, {"type": "string"}),
        (int, {"type": "integer"}),
        (float, {"type": "number"}),
        (bool, {"type": "boolean"}),
        (None, {"type": "null"}),
        (Any, {}),
        (list[int], {"type": "array", "items": {"type": "integer"}}),
        (set[str], {"type": "array", "items": {"type": "string"}, "uniqueItems": True}),
        (tuple[int, str], {"type": "array", "prefixItems": [{"type": "integer"}, {"type": "string"}],
                           "minItems": 2, "maxItems": 2}),
        (tuple[float, ...], {"type": "array", "items": {"type": "number"}}),
        (dict[str, float], {"type": "object", "additionalProperties": {"type": "number"}}),
        (Literal["a", 1], {"enum": ["a", 1]}),
        (Colour, {"enum": ["red", "blue"]}),
        (int | None, {"type": ["integer", "null"]}),
        (list[int] | str, {"anyOf": [{"type": "array", "items": {"type": "integer"}}, {"type": "string"}]}),
        (Annotated[str, "a name"], {"type": "string", "description": "a name"}),
        (Point, {"type": "object", "properties": {"x": {"type": "integer"},
                                                  "y": {"type": "integer", "description": "vertical"}},
                 "additionalProperties": False, "required": ["x", "y"]}),
        (Options, {"type": "object", "properties": {"deep": {"type": "boolean"}}, "additionalProperties": False}),
        (Box, {"type": "object", "properties": {"width": {"type": "number"}, "label": {"type": "string"}},
               "required": ["width"]}),
    ],
)
def test_schema_from_type_hints(hint, schema):
    assert schema_for(hint) == schema


def test_unsupported_hints_are_refused_at_registration():
    server = ToolServer()
    with pytest.raises(TypeError):
        @server.tool
        def bad(x: complex) -> str:
            return ""
    with pytest.raises(TypeError):
        @server.tool
        def star(*args: int) -> str:
            return ""


@pytest.mark.parametrize(
    "doc, summary, params",
    [
        ("""Add two numbers.

        Args:
            a: The first.
            b (int): The second,
                continued.

        Returns:
            The sum.
        """, "Add two numbers.", {"a": "The first.", "b": "The second, continued."}),
        ("""Scale it.

        :param factor: how much
        :param int offset: shift
            applied after
        :returns: the result
        """, "Scale it.", {"factor": "how much", "offset": "shift applied after"}),
        ("One line.", "One line.", {}),
        (None, "", {}),
    ],
)
def test_docstring_parsing(doc, summary, params):
    assert parse_docstring(doc) == (summary, params)


def make_server() -> ToolServer:
    server = ToolServer("test", "9")

    @server.tool
    def add(a: int, b: Annotated[int, "second addend"] = 2) -> int:
        """Add two integers.

        Args:
            a: First addend.
            b: Ignored here, the annotation wins.
        """
        return a + b

    @server.tool(name="paint", description="Paint a box.")
    def paint_box(box: Box, colour: Colour = Colour.RED, points: list[Point] | None = None) -> dict:
        return {"box": box, "colour": colour, "points": points}

    @server.tool
    def picture(size: int) -> Image:
        """A tiny picture."""
        return Image(b"\x89PNG" + bytes(size), "image/png")

    @server.tool
    async def later(text: str) -> str:
        """Answered by a coroutine."""
        return text.upper()

    @server.tool
    def explode() -> str:
        """Always fails."""
        raise ValueError("boom")

    @server.tool
    def refuse() -> str:
        """Fails with a message meant for the client."""
        raise ToolError("not today")

    return server


def test_tool_definitions():
    definitions = {name: json.loads(text) for name, text, _ in make_server().tool_table()}
    assert list(definitions) == ["add", "paint", "picture", "later", "explode", "refuse"]
    assert definitions["add"] == {
        "name": "add",
        "description": "Add two integers.",
        "inputSchema": {
            "type": "object",
            "properties": {"a": {"type": "integer", "description": "First addend."},
                           "b": {"type": "integer", "description": "second addend", "default": 2}},
            "required": ["a"],
        },
        "outputSchema": {"type": "object", "properties": {"result": {"type": "integer"}}, "required": ["result"]},
    }
    paint = definitions["paint"]
    assert paint["description"] == "Paint a box."
    assert paint["inputSchema"]["properties"]["colour"] == {"enum": ["red", "blue"], "default": "red"}
    assert paint["inputSchema"]["required"] == ["box"]


@pytest.mark.parametrize(
    "name, args, expected",
    [
        ("add", {"a": 1}, (0, "3")),
        ("add", {"a": 1, "b": 5.0}, (0, "6")),
        ("add", {}, (1, "add: missing required argument 'a'")),
        ("add", {"a": 1, "c": 2}, (1, "add: unknown argument 'c'")),
        ("add", {"a": "1"}, (1, "add: a: expected an integer")),
        ("add", {"a": True}, (1, "add: a: expected an integer")),
        ("add", [1], (1, "add: arguments must be a JSON object")),
        ("paint", {"box": {"width": 2}},
         (0, '{"box":{"width":2.0,"label":"box"},"colour":"red","points":null}')),
        ("paint", {"box": {"width": 1}, "colour": "blue", "points": [{"x": 1, "y": 2}]},
         (0, '{"box":{"width":1.0,"label":"box"},"colour":"blue","points":[{"x":1,"y":2}]}')),
        ("paint", {"box": {"width": 1}, "colour": "green"}, (1, "paint: colour: expected one of ['red', 'blue']")),
        ("paint", {"box": {"width": 1}, "points": [{"x": 1}]}, (1, "paint: points: matches none of the allowed types")),
        ("paint", {"box": {}}, (1, "paint: box: Box.__init__() missing 1 required positional argument: 'width'")),
        ("later", {"text": "hi"}, (0, "HI")),
        ("explode", None, (1, "explode failed: ValueError: boom")),
        ("refuse", {}, (1, "refuse: not today")),
        ("nope", {}, (1, "unknown tool 'nope'")),
    ],
)
def test_dispatch(name, args, expected):
    assert make_server().dispatch(name, args) == expected


def test_image_results_become_data_urls():
    code, output = make_server().dispatch("picture", {"size": 3})
    assert code == 0 and output.startswith("data:image/png;base64,")
    assert base64.b64decode(output.split(",", 1)[1]) == b"\x89PNG\x00\x00\x00"


@pytest.mark.parametrize(
    "value, output",
    [("text", "text"), ({"a": [1, 2]}, '{"a":[1,2]}'), ([1, "x"], '[1,"x"]'), (None, "null"), (1.5, "1.5"),
     ({"s": {3}}, '{"s":[3]}'), ("Grüße", "Grüße")],
)
def test_render_result(value, output):
    assert render_result(value) == output


@pytest.mark.parametrize("value", [b"raw", object()])
def test_results_that_cannot_be_sent_are_refused(value):
    with pytest.raises(TypeError):
        render_result(value)


def test_duplicate_tool_names_are_refused():
    server = ToolServer()
    server.tool(lambda: "x", name="same")
    with pytest.raises(ValueError):
        server.tool(lambda: "y", name="same")


def test_decorated_function_stays_callable():
    server = ToolServer()

    @server.tool
    def double(x: int) -> int:
        """Twice x."""
        return 2 * x

    assert double(4) == 8 and [t.name for t in server.tools] == ["double"]
