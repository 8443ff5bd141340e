"""Serve Python functions as MCP tools, resources and prompts, with schemas taken from their signatures.

    from zanthe.server import Context, ToolServer, Image

    server = ToolServer("demo")

    @server.tool(title="Add", annotations={"readOnlyHint": True})
    def add(a: int, b: int = 2) -> int:
        '''Add two integers.

        Args:
            a: The first addend.
            b: The second addend.
        '''
        return a + b

    @server.resource("notes://{topic}")
    def note(topic: str) -> str:
        return f"notes on {topic}"

    server.run()                         # stdio; server.run(http="127.0.0.1:8000") for Streamable HTTP

Each tool's input schema comes from its type hints (str, int, float, bool, None, lists, tuples, dicts,
Literal, Enum, unions, TypedDict, dataclasses, ``Annotated[T, "description"]``) and its docstring
(the summary becomes the description; Google-style ``Args:`` or ``:param x:`` lines describe the
parameters). Its output schema comes from its return annotation: a TypedDict, dataclass or dict is
the structured content itself; any other type is carried as ``{"result": value}`` for 2025 clients
and bare for 2026-07-28 ones, whose output schemas need not be objects. Results become MCP content:
``str`` is text, ``Image`` an image block, anything else JSON text; a ``tuple[Image, T]`` result is
the image block with the T as its structured content. Arguments are checked against
the input schema before the function runs and structured results against the output schema after
it; a failure is answered with an error result and the server keeps serving. A parameter annotated
``Context`` receives the call's progress reporting, cancellation and protocol version.
"""

from __future__ import annotations

import base64
import dataclasses
import enum
import functools
import inspect
import json
import re
import types
import typing
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal, TypeVar, Union, get_args, get_origin, get_type_hints, is_typeddict

from zanthe import _agent
from zanthe.errors import ToolError

__all__ = ["Context", "Image", "Prompt", "Resource", "Tool", "ToolError", "ToolServer"]

F = TypeVar("F", bound=Callable[..., Any])
Schema = dict[str, Any]

_FAILURE = 1
@dataclasses.dataclass(frozen=True)
class Image:
    """An image result: raw bytes and their media type (image/png, image/jpeg, ...)."""

    data: bytes
    media_type: str = "image/png"

    def data_url(self) -> str:
        if not self.media_type.startswith("image/"):
            raise ValueError(f"not an image media type: {self.media_type!r}")
        return f"data:{self.media_type};base64,{base64.b64encode(self.data).decode('ascii')}"


# --- schemas from type hints -------------------------------------------------------------------


def _annotated_description(hint: Any) -> tuple[Any, str | None]:
    if get_origin(hint) is typing.Annotated:
        base, *extras = get_args(hint)
        text = next((e for e in extras if isinstance(e, str)), None)
        return base, text
    return hint, None


def schema_for(hint: Any) -> Schema:
    """The JSON Schema of values of type `hint`."""
    hint, description = _annotated_description(hint)
    schema = _bare_schema(hint)
    if description:
        schema = {**schema, "description": description}
    return schema


def _bare_schema(hint: Any) -> Schema:
    if hint is Any or hint is inspect.Parameter.empty or hint is object:
        return {}
    if hint is None or hint is type(None):
        return {"type": "null"}
    simple = {str: "string", bool: "boolean", int: "integer", float: "number"}
    if hint in simple:
        return {"type": simple[hint]}
    if isinstance(hint, type) and issubclass(hint, enum.Enum):
        return {"enum": [member.value for member in hint]}
    if is_typeddict(hint):
        return _typeddict_schema(hint)
    if dataclasses.is_dataclass(hint) and isinstance(hint, type):
        return _dataclass_schema(hint)
    origin, args = get_origin(hint), get_args(hint)
    if origin is Literal:
        return {"enum": list(args)}
    if origin in (Union, types.UnionType):
        return _union_schema(args)
    if origin in (list, Sequence, set, frozenset) or hint in (list, set, frozenset):
        items = schema_for(args[0]) if args else {}
        schema: Schema = {"type": "array", "items": items}
        if origin in (set, frozenset):
            schema["uniqueItems"] = True
        return schema
    if origin is tuple:
        if len(args) == 2 and args[1] is Ellipsis:
            return {"type": "array", "items": schema_for(args[0])}
        return {"type": "array", "prefixItems": [schema_for(a) for a in args], "minItems": len(args),
                "maxItems": len(args)}
    if origin in (dict, Mapping) or hint is dict:
        values = schema_for(args[1]) if len(args) == 2 else {}
        return {"type": "object", "additionalProperties": values}
    raise TypeError(f"no JSON Schema for type hint {hint!r}")


def _union_schema(args: tuple[Any, ...]) -> Schema:
    options = [schema_for(a) for a in args]
    simple_types = [o.get("type") for o in options if set(o) == {"type"}]
    if len(simple_types) == len(options):
        return {"type": simple_types}
    if all(o.get("type") == "object" for o in options):
        return {"type": "object", "anyOf": options}  # still an object, as an output schema must be
    return {"anyOf": options}


def _typeddict_schema(hint: Any) -> Schema:
    hints = get_type_hints(hint, include_extras=True)
    required = sorted(k for k in getattr(hint, "__required_keys__", hints) if k in hints)
    schema: Schema = {
        "type": "object",
        "properties": {name: schema_for(h) for name, h in hints.items()},
        "additionalProperties": False,
    }
    if required:
        schema["required"] = required
    return schema


def _dataclass_schema(hint: type) -> Schema:
    hints = get_type_hints(hint, include_extras=True)
    fields = dataclasses.fields(hint)
    required = [f.name for f in fields if f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING]
    schema: Schema = {"type": "object", "properties": {f.name: schema_for(hints[f.name]) for f in fields}}
    if required:
        schema["required"] = required
    return schema


# --- docstrings --------------------------------------------------------------------------------

_SECTION = re.compile(r"^\s*(Args|Arguments|Parameters|Returns|Return|Raises|Yields|Examples?|Notes?)\s*:\s*$")
_GOOGLE_PARAM = re.compile(r"^\s*(\*{0,2}\w+)\s*(?:\([^)]*\))?\s*:\s*(.*)$")
_REST_PARAM = re.compile(r"^\s*:param\s+(?:[^:]*\s)?(\w+)\s*:\s*(.*)$")


def parse_docstring(doc: str | None) -> tuple[str, dict[str, str]]:
    """The description (text before any section) and the parameter descriptions of a docstring."""
    lines = inspect.cleandoc(doc or "").splitlines()
    summary: list[str] = []
    params: dict[str, str] = {}
    section: str | None = None
    current: str | None = None
    for line in lines:
        if heading := _SECTION.match(line):
            section, current = heading.group(1), None
            continue
        if rest := _REST_PARAM.match(line):
            current = rest.group(1)
            params[current] = rest.group(2).strip()
            section = "rest"
            continue
        if section in ("Args", "Arguments", "Parameters"):
            if (param := _GOOGLE_PARAM.match(line)) and not line.startswith((" " * 8, "\t\t")):
                current = param.group(1).lstrip("*")
                params[current] = param.group(2).strip()
            elif current and line.strip():
                params[current] = f"{params[current]} {line.strip()}".strip()
            continue
        if section == "rest" and current and line.startswith((" ", "\t")) and line.strip():
            params[current] = f"{params[current]} {line.strip()}"
            continue
        if section is None:
            summary.append(line)
    return "\n".join(summary).strip(), params


# --- call context ------------------------------------------------------------------------------


class Context:
    """What a tool, resource or prompt function sees of the request it answers: declare a parameter
    annotated ``Context`` to get one. Outside a served request every member is inert."""

    __slots__ = ("_call",)

    def __init__(self, call: Any = None) -> None:
        self._call = call

    def report_progress(self, progress: float, total: float | None = None, message: str | None = None) -> None:
        """Sends a progress notification when the client asked for progress; otherwise does nothing."""
        if self._call is not None:
            self._call.progress(float(progress), None if total is None else float(total), message)

    @property
    def cancelled(self) -> bool:
        """True once the client has given up on the request; a long task should stop early."""
        return self._call is not None and bool(self._call.cancelled)

    @property
    def protocol_version(self) -> str:
        """The MCP revision the request speaks, e.g. "2025-11-25" or "2026-07-28"; "" outside a request."""
        return self._call.protocol_version if self._call is not None else ""


def _is_context(hint: Any) -> bool:
    hint, _ = _annotated_description(hint)
    if hint is Context:
        return True
    return get_origin(hint) in (Union, types.UnionType) and Context in get_args(hint)


def _context_parameter(function: Callable[..., Any], hints: Mapping[str, Any]) -> str | None:
    names = [name for name, hint in hints.items() if name != "return" and _is_context(hint)]
    if len(names) > 1:
        raise TypeError(f"{function.__name__}: only one parameter may take the Context")
    return names[0] if names else None


# --- output schemas ----------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class OutputSchema:
    """The structured result of a tool: the type it is checked against and the schema it is described
    by. A result that is not an object is `wrapped` as {"result": value} for 2025 clients."""

    hint: Any
    schema: Schema

    @property
    def wrapped(self) -> bool:
        return self.schema.get("type") != "object"

    def handshake_schema(self) -> Schema:
        if not self.wrapped:
            return self.schema
        return {"type": "object", "properties": {"result": self.schema}, "required": ["result"]}


def _mentions_image(hint: Any) -> bool:
    return hint is Image or any(_mentions_image(arg) for arg in get_args(hint))


def output_schema_for(hint: Any) -> OutputSchema | None:
    """The output schema a return annotation declares; None where results stay unstructured: no
    annotation, Any, images, and types no JSON Schema describes (their results are sent as today).
    For ``tuple[Image, T]`` (an image and what it shows) it is T's."""
    base, _ = _annotated_description(hint)
    if get_origin(base) is tuple and len(get_args(base)) == 2 and get_args(base)[0] is Image:
        return output_schema_for(get_args(base)[1])
    if base is Any or base is object or base is inspect.Parameter.empty or _mentions_image(base):
        return None
    try:
        schema = schema_for(hint)
    except TypeError:
        return None
    return OutputSchema(hint, schema)


# --- tools -------------------------------------------------------------------------------------

TOOL_HINTS = frozenset({"title", "readOnlyHint", "destructiveHint", "idempotentHint", "openWorldHint"})


def _checked_annotations(annotations: Mapping[str, Any] | None, name: str) -> dict[str, Any] | None:
    if annotations is None:
        return None
    unknown = sorted(set(annotations) - TOOL_HINTS)
    if unknown:
        raise ValueError(f"tool {name}: unknown annotation {unknown[0]!r}; known: {sorted(TOOL_HINTS)}")
    for key, value in annotations.items():
        if key != "title" and not isinstance(value, bool):
            raise ValueError(f"tool {name}: annotation {key!r} must be true or false")
        if key == "title" and not isinstance(value, str):
            raise ValueError(f"tool {name}: annotation 'title' must be a string")
    return dict(annotations)


def _compact(value: Any) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


@dataclasses.dataclass
class Tool:
    """One served function with its MCP definition."""

    name: str
    description: str
    input_schema: Schema
    function: Callable[..., Any]
    parameter_types: dict[str, Any]
    title: str | None = None
    annotations: dict[str, Any] | None = None
    output: OutputSchema | None = None
    context_parameter: str | None = None

    def _body(self, output_schema: Schema | None) -> dict[str, Any]:
        body: dict[str, Any] = {"name": self.name}
        if self.title:
            body["title"] = self.title
        body["description"] = self.description
        body["inputSchema"] = self.input_schema
        if output_schema is not None:
            body["outputSchema"] = output_schema
        if self.annotations:
            body["annotations"] = self.annotations
        return body

    def definition(self) -> str:
        """The tools/list element for 2025 clients, whose output schemas are objects."""
        return _compact(self._body(self.output.handshake_schema() if self.output else None))

    def modern_definition(self) -> str:
        """The tools/list element for 2026-07-28 clients where it differs (a bare, non-object output
        schema); "" where it is the same."""
        if self.output is None or not self.output.wrapped:
            return ""
        return _compact(self._body(self.output.schema))

    @classmethod
    def from_function(cls, function: Callable[..., Any], name: str | None = None, description: str | None = None,
                      title: str | None = None, annotations: Mapping[str, Any] | None = None) -> Tool:
        summary, param_docs = parse_docstring(function.__doc__)
        hints = get_type_hints(function, include_extras=True)
        context = _context_parameter(function, hints)
        properties: dict[str, Schema] = {}
        required: list[str] = []
        types_by_name: dict[str, Any] = {}
        for param in inspect.signature(function).parameters.values():
            if param.kind in (param.VAR_POSITIONAL, param.VAR_KEYWORD):
                raise TypeError(f"tool {function.__name__}: *args and **kwargs cannot be described by a schema")
            if param.name == context:
                continue
            hint = hints.get(param.name, Any)
            types_by_name[param.name] = hint
            schema = schema_for(hint)
            if param.name in param_docs and "description" not in schema:
                schema["description"] = param_docs[param.name]
            if param.default is param.empty:
                required.append(param.name)
            else:
                default = _jsonable(param.default)
                if default is not _NOT_JSON:
                    schema["default"] = default
            properties[param.name] = schema
        input_schema: Schema = {"type": "object", "properties": properties}
        if required:
            input_schema["required"] = required
        tool_name = name or function.__name__
        output = output_schema_for(hints["return"]) if "return" in hints else None
        return cls(tool_name, description or summary or function.__name__, input_schema, function, types_by_name,
                   title, _checked_annotations(annotations, tool_name), output, context)


_NOT_JSON = object()


def _jsonable(value: Any) -> Any:
    if isinstance(value, enum.Enum):
        value = value.value
    try:
        json.dumps(value)
    except (TypeError, ValueError):
        return _NOT_JSON
    return value


def _mismatch(where: str, problem: str) -> ToolError:
    return ToolError(f"{where}: {problem}" if where else problem)


def _member(where: str, key: str) -> str:
    return f"{where}.{key}" if where else key


# --- argument checking and conversion ----------------------------------------------------------


def _convert(value: Any, hint: Any, where: str) -> Any:
    """`value` (decoded JSON) checked against `hint` and turned into it where the types differ."""
    try:
        convert = _converter(hint)
    except TypeError:  # a hint that cannot be a cache key (metadata that is not hashable)
        return _convert_by_hint(value, hint, where)
    return convert(value, where)


def _pass(value: Any, where: str) -> Any:
    return value


def _as_string(value: Any, where: str) -> Any:
    if isinstance(value, str):
        return value
    raise _mismatch(where, "expected a string")


def _as_boolean(value: Any, where: str) -> Any:
    if isinstance(value, bool):
        return value
    raise _mismatch(where, "expected a boolean")


@functools.lru_cache(maxsize=1024)
def _converter(hint: Any) -> Callable[[Any, str], Any]:
    """The check of one hint, worked out once: a tool's parameters are checked on every call, and most
    are plain strings and booleans."""
    bare, _ = _annotated_description(hint)
    if bare is Any or bare is inspect.Parameter.empty or bare is object:
        return _pass
    if bare is str:
        return _as_string
    if bare is bool:
        return _as_boolean
    return functools.partial(_convert_hint, bare)


def _convert_hint(hint: Any, value: Any, where: str) -> Any:
    return _convert_by_hint(value, hint, where)


def _convert_by_hint(value: Any, hint: Any, where: str) -> Any:
    hint, _ = _annotated_description(hint)
    if hint is Any or hint is inspect.Parameter.empty or hint is object:
        return value
    origin, args = get_origin(hint), get_args(hint)
    if hint is None or hint is type(None):
        if value is None:
            return None
        raise _mismatch(where, "expected null")
    if hint is bool:
        if isinstance(value, bool):
            return value
        raise _mismatch(where, "expected a boolean")
    if hint is int:
        if isinstance(value, int) and not isinstance(value, bool):
            return value
        if isinstance(value, float) and value.is_integer():
            return int(value)
        raise _mismatch(where, "expected an integer")
    if hint is float:
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            return float(value)
        raise _mismatch(where, "expected a number")
    if hint is str:
        if isinstance(value, str):
            return value
        raise _mismatch(where, "expected a string")
    if isinstance(hint, type) and issubclass(hint, enum.Enum):
        try:
            return hint(value)
        except ValueError:
            raise _mismatch(where, f"expected one of {[m.value for m in hint]}") from None
    if origin is Literal:
        if value in args:
            return value
        raise _mismatch(where, f"expected one of {list(args)}")
    if origin in (Union, types.UnionType):
        for option in args:
            try:
                return _convert(value, option, where)
            except ToolError:
                continue
        raise _mismatch(where, "matches none of the allowed types")
    if is_typeddict(hint) or (dataclasses.is_dataclass(hint) and isinstance(hint, type)):
        return _convert_record(value, hint, where)
    if origin in (list, Sequence, set, frozenset, tuple) or hint in (list, set, frozenset, tuple):
        return _convert_array(value, hint, origin or hint, args, where)
    if origin in (dict, Mapping) or hint is dict:
        if not isinstance(value, dict):
            raise _mismatch(where, "expected an object")
        if len(args) == 2:
            return {k: _convert(v, args[1], _member(where, k)) for k, v in value.items()}
        return value
    return value


def _convert_array(value: Any, hint: Any, origin: Any, args: tuple[Any, ...], where: str) -> Any:
    if not isinstance(value, list):
        raise _mismatch(where, "expected an array")
    if origin is tuple and args and not (len(args) == 2 and args[1] is Ellipsis):
        if len(value) != len(args):
            raise _mismatch(where, f"expected {len(args)} items")
        return tuple(_convert(v, a, f"{where}[{i}]") for i, (v, a) in enumerate(zip(value, args)))
    item = args[0] if args else Any
    items = [_convert(v, item, f"{where}[{i}]") for i, v in enumerate(value)]
    if origin in (set, frozenset):
        return origin(items)
    return tuple(items) if origin is tuple else items


@functools.lru_cache(maxsize=256)
def _record_hints(record_type: Any) -> dict[str, Any]:
    """The member types of a TypedDict or dataclass, resolved once: resolving them is the costly part
    of checking a call's arguments."""
    return get_type_hints(record_type, include_extras=True)


def _convert_record(value: Any, hint: Any, where: str) -> Any:
    if not isinstance(value, dict):
        raise _mismatch(where, "expected an object")
    hints = _record_hints(hint)
    if is_typeddict(hint):
        unknown = sorted(set(value) - set(hints))
        if unknown:
            raise _mismatch(where, f"unknown member {unknown[0]!r}")
        missing = sorted(set(getattr(hint, "__required_keys__", ())) - set(value))
        if missing:
            raise _mismatch(where, f"missing member {missing[0]!r}")
        return {k: _convert(v, hints[k], _member(where, k)) for k, v in value.items()}
    try:
        return hint(**{k: _convert(v, hints.get(k, Any), _member(where, k)) for k, v in value.items()})
    except TypeError as error:
        raise _mismatch(where, str(error)) from None


def _bind_arguments(tool: Tool, args: Any) -> dict[str, Any]:
    if args is None:
        args = {}
    if not isinstance(args, dict):
        raise ToolError("arguments must be a JSON object")
    if not args.keys() <= tool.parameter_types.keys():
        unknown = sorted(args.keys() - tool.parameter_types.keys())
        raise ToolError(f"unknown argument {unknown[0]!r}")
    missing = [name for name in tool.input_schema.get("required", ()) if name not in args]
    if missing:
        raise ToolError(f"missing required argument {missing[0]!r}")
    return {name: _convert(value, tool.parameter_types[name], name) for name, value in args.items()}


# --- results -----------------------------------------------------------------------------------


def _json_default(value: Any) -> Any:
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return dataclasses.asdict(value)
    if isinstance(value, enum.Enum):
        return value.value
    if isinstance(value, (set, frozenset, tuple)):
        return list(value)
    if hasattr(value, "model_dump"):
        return value.model_dump()
    raise TypeError(f"cannot send a {type(value).__name__} as a tool result")


def render_result(value: Any) -> str:
    """The output text for a tool's return value (see the module docstring)."""
    if isinstance(value, str):
        return value
    if isinstance(value, Image):
        return value.data_url()
    if isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError("return Image(data, media_type) for binary results")
    return json.dumps(value, default=_json_default, separators=(",", ":"), ensure_ascii=False)


class OutputMismatch(ToolError):
    """A tool's result is not what its return annotation promised."""


def structured_result(tool: Tool, value: Any, text: str, modern: bool) -> str:
    """The structured content (JSON text) of a tool with an output schema, checked against its return
    type; ToolError naming the first mismatch."""
    assert tool.output is not None
    mismatch = f"{tool.name} returned a result that does not match its output schema"
    if isinstance(value, Image):
        raise OutputMismatch(f"{mismatch}: an image")
    try:
        plain = value if isinstance(value, str) else json.loads(text, parse_constant=_refuse_constant)
        _convert(plain, tool.output.hint, "")
    except ToolError as error:
        raise OutputMismatch(f"{mismatch}: {error}") from None
    encoded = text if not isinstance(value, str) else json.dumps(value, ensure_ascii=False)
    if modern or not tool.output.wrapped:
        return encoded
    return f'{{"result":{encoded}}}'


def _image_and_value(result: Any) -> tuple[Image | None, Any]:
    """An (Image, value) result as its parts: the image is the content, the value the structured
    content; (None, result) for any other result."""
    if isinstance(result, tuple) and len(result) == 2 and isinstance(result[0], Image):
        return result[0], result[1]
    return None, result


def _refuse_constant(name: str) -> Any:
    raise ToolError(f"{name} is not a JSON number")  # Python writes it; JSON readers refuse it


async def _await(awaitable: Any) -> Any:
    return await awaitable


def _settled(result: Any) -> Any:
    """The value of a function's result, running it to completion when it is a coroutine."""
    if inspect.isawaitable(result):
        import asyncio  # only coroutine functions need it, and it is costly to import at start-up

        return asyncio.run(_await(result))
    return result


# --- resources ---------------------------------------------------------------------------------

INVALID_PARAMS = -32602
INTERNAL_ERROR = -32603
METHOD_NOT_FOUND = -32601
MAX_URI_LENGTH = 8192

_TEMPLATE_PART = re.compile(r"\{([^{}]*)\}")
_VARIABLE_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


class MethodError(Exception):
    """A resources/* or prompts/* request answered with a JSON-RPC error."""

    def __init__(self, code: int, message: str, data: Any = None) -> None:
        super().__init__(message)
        self.code = code
        self.data = data

    def error_json(self) -> str:
        error: dict[str, Any] = {"code": self.code, "message": str(self)}
        if self.data is not None:
            error["data"] = self.data
        return _compact(error)


def _template_pattern(template: str) -> tuple[tuple[str, ...], re.Pattern[str] | None]:
    """The variable names of a URI template of {name} variables and a pattern matching its URIs (None
    for a URI without variables). A variable matches one path segment, as simple expansion encodes '/'."""
    names: list[str] = []
    pattern = []
    last = 0
    for match in _TEMPLATE_PART.finditer(template):
        name = match.group(1)
        if not _VARIABLE_NAME.fullmatch(name):
            raise ValueError(f"resource template {template!r}: only {{name}} variables are supported, not {{{name}}}")
        if name in names:
            raise ValueError(f"resource template {template!r}: variable {name!r} appears twice")
        if names and match.start() == last:
            raise ValueError(f"resource template {template!r}: variables need text between them")
        names.append(name)
        pattern.append(re.escape(template[last:match.start()]))
        pattern.append(f"(?P<{name}>[^/?#]+)")
        last = match.end()
    if not names:
        return (), None
    pattern.append(re.escape(template[last:]))
    return tuple(names), re.compile("".join(pattern))


def _safe_variable(text: str) -> str | None:
    """A matched variable percent-decoded; None when it could step out of its segment (an encoded '/',
    '.' or '..', a NUL), so such a URI names no resource."""
    from urllib.parse import unquote

    value = unquote(text)
    if "/" in value or "\\" in value or "\x00" in value or value in (".", ".."):
        return None
    return value


def _default_mime_type(hints: Mapping[str, Any]) -> str | None:
    returned = _annotated_description(hints.get("return", Any))[0]
    return {str: "text/plain", bytes: "application/octet-stream"}.get(returned)


@dataclasses.dataclass
class Resource:
    """A served resource: one URI, or a URI template whose variables are the function's parameters."""

    uri: str
    name: str
    function: Callable[..., Any]
    title: str | None = None
    description: str | None = None
    mime_type: str | None = None
    variables: tuple[str, ...] = ()
    pattern: re.Pattern[str] | None = None
    context_parameter: str | None = None

    @property
    def is_template(self) -> bool:
        return self.pattern is not None

    def listing(self) -> dict[str, Any]:
        entry: dict[str, Any] = {"uriTemplate" if self.is_template else "uri": self.uri, "name": self.name}
        for key, value in (("title", self.title), ("description", self.description), ("mimeType", self.mime_type)):
            if value:
                entry[key] = value
        return entry

    def match(self, uri: str) -> dict[str, str] | None:
        if self.pattern is None:
            return {} if uri == self.uri else None
        found = self.pattern.fullmatch(uri)
        if found is None:
            return None
        values = {name: _safe_variable(text) for name, text in found.groupdict().items()}
        return None if None in values.values() else typing.cast(dict[str, str], values)

    @classmethod
    def from_function(cls, function: Callable[..., Any], uri: str, name: str | None = None, title: str | None = None,
                      description: str | None = None, mime_type: str | None = None) -> Resource:
        variables, pattern = _template_pattern(uri)
        hints = get_type_hints(function, include_extras=True)
        context = _context_parameter(function, hints)
        parameters = [p for p in inspect.signature(function).parameters.values() if p.name != context]
        takes = {p.name for p in parameters}
        if takes != set(variables):
            raise TypeError(f"resource {uri!r}: the function's parameters {sorted(takes)} must be the template's "
                            f"variables {sorted(variables)}")
        summary, _ = parse_docstring(function.__doc__)
        return cls(uri, name or function.__name__, function, title, description or summary or None,
                   mime_type or _default_mime_type(hints), variables, pattern, context)

    def read(self, uri: str, values: dict[str, str], call: Any) -> dict[str, Any]:
        """The resources/read result for `uri`; MethodError when the function fails."""
        arguments: dict[str, Any] = dict(values)
        if self.context_parameter:
            arguments[self.context_parameter] = Context(call)
        try:
            content = _settled(self.function(**arguments))
        except ToolError as error:
            raise MethodError(INTERNAL_ERROR, f"Error reading resource {uri}: {error}", {"uri": uri}) from None
        except Exception as error:  # the function's failure is this request's answer, not the server's end
            raise MethodError(INTERNAL_ERROR, f"Error reading resource {uri}: {type(error).__name__}: {error}",
                              {"uri": uri}) from None
        return {"contents": [self._contents(uri, content)]}

    def _contents(self, uri: str, content: Any) -> dict[str, Any]:
        if isinstance(content, str):
            return {"uri": uri, "mimeType": self.mime_type or "text/plain", "text": content}
        if isinstance(content, Image):
            return {"uri": uri, "mimeType": self.mime_type or content.media_type,
                    "blob": base64.b64encode(content.data).decode("ascii")}
        if isinstance(content, (bytes, bytearray, memoryview)):
            return {"uri": uri, "mimeType": self.mime_type or "application/octet-stream",
                    "blob": base64.b64encode(content).decode("ascii")}
        raise MethodError(INTERNAL_ERROR, f"Error reading resource {uri}: the function returned a "
                          f"{type(content).__name__}, not str, bytes or Image", {"uri": uri})


# --- prompts -----------------------------------------------------------------------------------

PROMPT_ROLES = ("user", "assistant")


@dataclasses.dataclass
class Prompt:
    """A served prompt: its string arguments are the function's parameters."""

    name: str
    function: Callable[..., Any]
    title: str | None = None
    description: str | None = None
    arguments: list[dict[str, Any]] = dataclasses.field(default_factory=list)
    context_parameter: str | None = None

    def listing(self) -> dict[str, Any]:
        entry: dict[str, Any] = {"name": self.name}
        if self.title:
            entry["title"] = self.title
        if self.description:
            entry["description"] = self.description
        if self.arguments:
            entry["arguments"] = self.arguments
        return entry

    @classmethod
    def from_function(cls, function: Callable[..., Any], name: str | None = None, title: str | None = None,
                      description: str | None = None) -> Prompt:
        summary, param_docs = parse_docstring(function.__doc__)
        hints = get_type_hints(function, include_extras=True)
        context = _context_parameter(function, hints)
        prompt_name = name or function.__name__
        arguments = []
        for param in inspect.signature(function).parameters.values():
            if param.name == context:
                continue
            hint, text = _annotated_description(hints.get(param.name, str))
            if param.kind in (param.VAR_POSITIONAL, param.VAR_KEYWORD) or hint not in (str, str | None, Any):
                raise TypeError(f"prompt {prompt_name}: argument {param.name!r} must be a str parameter")
            argument: dict[str, Any] = {"name": param.name}
            if text or param.name in param_docs:
                argument["description"] = text or param_docs[param.name]
            argument["required"] = param.default is param.empty
            arguments.append(argument)
        return cls(prompt_name, function, title, description or summary or None, arguments, context)

    def get(self, given: Any, call: Any) -> dict[str, Any]:
        """The prompts/get result for the `given` arguments; MethodError for bad arguments or a failure."""
        values = self._checked_arguments(given)
        if self.context_parameter:
            values[self.context_parameter] = Context(call)
        try:
            returned = _settled(self.function(**values))
        except ToolError as error:
            raise MethodError(INTERNAL_ERROR, f"prompt {self.name}: {error}") from None
        except Exception as error:  # the function's failure is this request's answer, not the server's end
            raise MethodError(INTERNAL_ERROR, f"prompt {self.name} failed: {type(error).__name__}: {error}") from None
        result: dict[str, Any] = {}
        if self.description:
            result["description"] = self.description
        result["messages"] = self._messages(returned)
        return result

    def _checked_arguments(self, given: Any) -> dict[str, Any]:
        if given is None:
            given = {}
        if not isinstance(given, dict):
            raise MethodError(INVALID_PARAMS, f"prompt {self.name}: arguments must be an object of strings")
        known = {a["name"] for a in self.arguments}
        unknown = sorted(set(given) - known)
        if unknown:
            raise MethodError(INVALID_PARAMS, f"prompt {self.name}: unknown argument {unknown[0]!r}")
        missing = [a["name"] for a in self.arguments if a["required"] and a["name"] not in given]
        if missing:
            raise MethodError(INVALID_PARAMS, f"prompt {self.name}: missing required arguments: {', '.join(missing)}")
        wrong = sorted(k for k, v in given.items() if not isinstance(v, str))
        if wrong:
            raise MethodError(INVALID_PARAMS, f"prompt {self.name}: argument {wrong[0]!r} must be a string")
        return dict(given)

    def _messages(self, returned: Any) -> list[dict[str, Any]]:
        if isinstance(returned, str):
            returned = [{"role": "user", "content": returned}]
        if not isinstance(returned, list):
            raise MethodError(INTERNAL_ERROR, f"prompt {self.name} returned a {type(returned).__name__}, "
                              "not str or a list of messages")
        messages = []
        for index, message in enumerate(returned):
            role = message.get("role") if isinstance(message, dict) else None
            content = message.get("content") if isinstance(message, dict) else None
            if role not in PROMPT_ROLES or not isinstance(content, (str, dict)):
                raise MethodError(INTERNAL_ERROR, f"prompt {self.name}: message {index} needs a role of "
                                  f"{' or '.join(PROMPT_ROLES)} and a str content")
            if isinstance(content, str):
                content = {"type": "text", "text": content}
            messages.append({"role": role, "content": content})
        return messages


# --- the server --------------------------------------------------------------------------------


def _error_answer(code: int, message: str, data: Any = None) -> tuple[bool, str]:
    return False, MethodError(code, message, data).error_json()


def _string_param(params: Any, key: str, method: str) -> str:
    value = params.get(key) if isinstance(params, dict) else None
    if not isinstance(value, str):
        raise MethodError(INVALID_PARAMS, f"{method} needs a string {key!r} parameter")
    return value


class ToolServer:
    """Python functions served as MCP tools, resources and prompts, over stdio or Streamable HTTP."""

    def __init__(self, name: str = "zanthe", version: str = "0.1", instructions: str | None = None) -> None:
        self.name = name
        self.version = version
        self.instructions = instructions
        self._tools: dict[str, Tool] = {}
        self._resources: dict[str, Resource] = {}
        self._prompts: dict[str, Prompt] = {}

    # registration

    @typing.overload
    def tool(self, function: F, /, *, name: str | None = None, description: str | None = None,
             title: str | None = None, annotations: Mapping[str, Any] | None = None) -> F: ...

    @typing.overload
    def tool(self, function: None = None, /, *, name: str | None = None, description: str | None = None,
             title: str | None = None, annotations: Mapping[str, Any] | None = None) -> Callable[[F], F]: ...

    def tool(self, function: F | None = None, /, *, name: str | None = None, description: str | None = None,
             title: str | None = None, annotations: Mapping[str, Any] | None = None) -> F | Callable[[F], F]:
        """Register a function as a tool; usable as @server.tool or @server.tool(name=..., title=...,
        annotations={"readOnlyHint": True}, ...)."""

        def register(fn: F) -> F:
            tool = Tool.from_function(fn, name, description, title, annotations)
            if tool.name in self._tools:
                raise ValueError(f"a tool named {tool.name!r} is already registered")
            self._tools[tool.name] = tool
            return fn

        return register(function) if function is not None else register

    def resource(self, uri: str, *, name: str | None = None, title: str | None = None, description: str | None = None,
                 mime_type: str | None = None) -> Callable[[F], F]:
        """Register a function as the resource at `uri`, or as a URI template ("scheme://{var}/...") whose
        variables the function takes as str parameters. It returns str (text), bytes or an Image."""

        def register(fn: F) -> F:
            resource = Resource.from_function(fn, uri, name, title, description, mime_type)
            if resource.uri in self._resources:
                raise ValueError(f"a resource {resource.uri!r} is already registered")
            self._resources[resource.uri] = resource
            return fn

        return register

    @typing.overload
    def prompt(self, function: F, /, *, name: str | None = None, title: str | None = None,
               description: str | None = None) -> F: ...

    @typing.overload
    def prompt(self, function: None = None, /, *, name: str | None = None, title: str | None = None,
               description: str | None = None) -> Callable[[F], F]: ...

    def prompt(self, function: F | None = None, /, *, name: str | None = None, title: str | None = None,
               description: str | None = None) -> F | Callable[[F], F]:
        """Register a function as a prompt: its str parameters are the arguments; it returns one user
        message as a str, or a list of {"role": "user"|"assistant", "content": str} messages."""

        def register(fn: F) -> F:
            prompt = Prompt.from_function(fn, name, title, description)
            if prompt.name in self._prompts:
                raise ValueError(f"a prompt named {prompt.name!r} is already registered")
            self._prompts[prompt.name] = prompt
            return fn

        return register(function) if function is not None else register

    @property
    def tools(self) -> list[Tool]:
        return list(self._tools.values())

    @property
    def resources(self) -> list[Resource]:
        return list(self._resources.values())

    @property
    def prompts(self) -> list[Prompt]:
        return list(self._prompts.values())

    def tool_table(self) -> list[tuple[str, str, str]]:
        """(name, definition, 2026-07-28 definition or "") for each tool."""
        return [(tool.name, tool.definition(), tool.modern_definition()) for tool in self._tools.values()]

    def capabilities(self) -> str:
        """The capability members beyond tools, for what is registered."""
        members = []
        if self._resources:
            members.append('"resources":{"listChanged":false}')
        if self._prompts:
            members.append('"prompts":{"listChanged":false}')
        return ",".join(members)

    # answering

    def dispatch(self, name: str, args: Any) -> tuple[int, str]:
        """Runs one tool call outside a request context: (0, output) on success, (1, message) on any
        failure. Structured content is left to be read off the output."""
        code, output, _ = self._call(name, args, None, modern=False)
        return code, output

    def call_tool(self, name: str, args: Any, call: Any) -> tuple[int, str, str | None]:
        """Runs one tool call for the service: (code, output, structured content JSON or None)."""
        return self._call(name, args, call, modern=bool(getattr(call, "modern", False)))

    def _call(self, name: str, args: Any, call: Any, modern: bool) -> tuple[int, str, str | None]:
        tool = self._tools.get(name)
        if tool is None:
            return _FAILURE, f"unknown tool {name!r}", None
        try:
            arguments = _bind_arguments(tool, args)
            if tool.context_parameter:
                arguments[tool.context_parameter] = Context(call)
            value = _settled(tool.function(**arguments))
            image, value = _image_and_value(value)
            text = render_result(value)
            structured = structured_result(tool, value, text, modern) if tool.output is not None else None
            return 0, text if image is None else render_result(image), structured
        except OutputMismatch as error:
            return _FAILURE, str(error), None
        except ToolError as error:
            return _FAILURE, f"{name}: {error}", None
        except Exception as error:  # a tool's own failure is the client's answer, not the server's end
            return _FAILURE, f"{name} failed: {type(error).__name__}: {error}", None

    def answer_method(self, method: str, params: Any, call: Any = None) -> tuple[bool, str]:
        """Answers resources/* and prompts/* requests: (True, result JSON) or (False, error JSON)."""
        try:
            if method == "resources/list":
                result: dict[str, Any] = {"resources": [r.listing() for r in self.resources if not r.is_template]}
            elif method == "resources/templates/list":
                result = {"resourceTemplates": [r.listing() for r in self.resources if r.is_template]}
            elif method == "resources/read":
                result = self._read_resource(_string_param(params, "uri", method), call)
            elif method == "prompts/list":
                result = {"prompts": [p.listing() for p in self._prompts.values()]}
            elif method == "prompts/get":
                result = self._get_prompt(_string_param(params, "name", method), params, call)
            else:
                return _error_answer(METHOD_NOT_FOUND, "Method not found", method)
            return True, _compact(result)
        except MethodError as error:
            return False, error.error_json()

    def _read_resource(self, uri: str, call: Any) -> dict[str, Any]:
        if len(uri) <= MAX_URI_LENGTH:
            fixed = self._resources.get(uri)
            if fixed is not None and not fixed.is_template:
                return fixed.read(uri, {}, call)
            for resource in self._resources.values():
                values = resource.match(uri) if resource.is_template else None
                if values is not None:
                    return resource.read(uri, values, call)
        raise MethodError(INVALID_PARAMS, f"Unknown resource: {uri}", {"uri": uri})

    def _get_prompt(self, name: str, params: dict[str, Any], call: Any) -> dict[str, Any]:
        prompt = self._prompts.get(name)
        if prompt is None:
            raise MethodError(INVALID_PARAMS, f"Unknown prompt: {name}", {"name": name})
        return prompt.get(params.get("arguments"), call)

    # serving

    def service(self) -> Any:
        """The native service answering both protocol eras for this server's tools, resources and prompts."""
        options: dict[str, Any] = {}
        if self._resources or self._prompts:
            options["methods"] = self.answer_method
            options["capabilities"] = self.capabilities()
        if self.instructions:
            options["instructions"] = self.instructions
        return _agent.Service(self.tool_table(), self.call_tool, self.name, self.version, **options)

    def run(self, verbose: bool = False, *, http: str | None = None, allowed_origins: Sequence[str] = (),
            auth_tokens: typing.Iterable[str] | None = None, verify_token: Callable[[str], bool] | None = None,
            auth_server: str | None = None, allow_unauthenticated: bool = False, tls: Any = None) -> int:
        """Serve until stdin ends (stdio, the default) or, with `http="HOST:PORT"`, Streamable HTTP at
        /mcp until interrupted (Ctrl-C or SIGTERM). Both 2025 and 2026-07-28 clients are served."""
        if http is None:
            if not hasattr(_agent, "Service"):
                return _agent.serve_stdio(self.handshake_tool_table(), self.dispatch, self.name, self.version,
                                          verbose)
            return int(self.service().serve_stdio(verbose=verbose))
        return serve_http(self, http, allowed_origins=allowed_origins, auth_tokens=auth_tokens,
                          verify_token=verify_token, auth_server=auth_server,
                          allow_unauthenticated=allow_unauthenticated, tls=tls)

    def handshake_tool_table(self) -> list[tuple[str, str, str]]:
        """The tool table for the handshake-only `_agent.serve_stdio`, which reads structured content
        off an output that is one JSON object: only output schemas of objects can be kept."""
        table = []
        for tool in self._tools.values():
            if tool.output is not None and tool.output.wrapped:
                tool = dataclasses.replace(tool, output=None)
            table.append((tool.name, tool.definition(), ""))
        return table


# --- Streamable HTTP ---------------------------------------------------------------------------

MCP_PATH = "/mcp"
METADATA_PATH = "/.well-known/oauth-protected-resource" + MCP_PATH


def parse_http_address(text: str) -> tuple[str, int]:
    """HOST:PORT, [IPv6]:PORT, or a bare PORT on 127.0.0.1; port 0 picks a free one."""
    text = text.strip()
    host, colon, port_text = text.rpartition(":")
    if not colon:
        host, port_text = "127.0.0.1", text
    elif host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    elif ":" in host:
        host = ""  # an IPv6 address needs its brackets, or its last group reads as the port
    if not host or not port_text.isdigit() or int(port_text) > 65535:
        raise ValueError(f"expected HOST:PORT, [IPv6]:PORT or PORT with a port from 0 to 65535, got {text!r}")
    return host, int(port_text)


def join_host_port(host: str, port: int) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def is_loopback(host: str) -> bool:
    if host.lower() == "localhost":
        return True
    import ipaddress

    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def protected_resource_metadata(base_url: str, auth_server: str | None) -> str:
    """The protected resource metadata document (RFC 9728) for the endpoint at `base_url`/mcp."""
    document: dict[str, Any] = {"resource": base_url + MCP_PATH}
    if auth_server:
        document["authorization_servers"] = [auth_server]
    document["bearer_methods_supported"] = ["header"]
    return _compact(document)


def _free_port(host: str) -> int:
    """A port free on `host` now, for a metadata document that must name the port before binding."""
    import socket

    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return int(probe.getsockname()[1])


def serve_http(server: ToolServer, address: str, *, allowed_origins: Sequence[str] = (),
               auth_tokens: typing.Iterable[str] | None = None, verify_token: Callable[[str], bool] | None = None,
               auth_server: str | None = None, allow_unauthenticated: bool = False, tls: Any = None) -> int:
    """Serves `server` over Streamable HTTP at `address` until KeyboardInterrupt or SIGTERM. With an
    ssl.SSLContext the TLS is terminated in Python and relayed to the native server on loopback."""
    host, port = parse_http_address(address)
    tokens = [str(token) for token in auth_tokens or ()]
    if not (tokens or verify_token or allow_unauthenticated or is_loopback(host)):
        raise ValueError(f"refusing to serve MCP on {host}, which is not a loopback address, without "
                         "authentication: give bearer tokens or a token verifier, or allow unauthenticated "
                         "clients explicitly")
    service = server.service()
    relay = None
    native: Any = None
    if tls is not None:
        from zanthe._tls_relay import TlsRelay, connecting_to

        relay = TlsRelay(host, port, tls, connecting_to("127.0.0.1", lambda: native.port), "zanthe-mcp-tls")
        public_port, native_host, native_port = relay.port, "127.0.0.1", 0
    else:
        public_port = port or _free_port(host)
        native_host, native_port = host, public_port
    base_url = f"{'https' if tls is not None else 'http'}://{join_host_port(host, public_port)}"
    try:
        native = service.http(host=native_host, port=native_port, allowed_origins=list(allowed_origins),
                              bearer_tokens=tokens, verify_token=verify_token,
                              resource_metadata=protected_resource_metadata(base_url, auth_server),
                              resource_metadata_url=base_url + METADATA_PATH,
                              # Behind the relay the native server binds loopback for every client.
                              check_host=is_loopback(host))
        import sys

        print(f"zanthe mcp: serving {len(server.tools)} tools at {base_url}{MCP_PATH}", file=sys.stderr, flush=True)
        if relay is not None:
            relay.start()
        _serve_until_interrupted(native)
    finally:
        if relay is not None:
            relay.close()
    return 0


def _serve_until_interrupted(native: Any) -> None:
    import signal
    import threading

    def interrupt(signum: int, frame: Any) -> None:
        raise KeyboardInterrupt

    on_main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, interrupt) if on_main_thread else None
    try:
        native.serve()
    except KeyboardInterrupt:
        pass
    finally:
        native.stop()
        if on_main_thread:
            signal.signal(signal.SIGTERM, previous)
