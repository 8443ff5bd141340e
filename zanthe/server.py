"""Serve Python functions as MCP tools over stdio, with schemas taken from their signatures.

    from zanthe.server import ToolServer, Image

    server = ToolServer("demo")

    @server.tool
    def add(a: int, b: int = 2) -> int:
        '''Add two integers.

        Args:
            a: The first addend.
            b: The second addend.
        '''
        return a + b

    server.run()

Each tool's input schema comes from its type hints (str, int, float, bool, None, lists, tuples, dicts,
Literal, Enum, unions, TypedDict, dataclasses, ``Annotated[T, "description"]``) and its docstring
(the summary becomes the description; Google-style ``Args:`` or ``:param x:`` lines describe the
parameters). Results become MCP content: ``str`` is text, ``dict`` (and dataclasses) a JSON object
that clients also get as structured content, ``Image`` an image block, anything else JSON text.
Arguments are checked against the schema before the function runs, and a failure is answered with
an error result; the server keeps serving.
"""

from __future__ import annotations

import asyncio
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

__all__ = ["Image", "Tool", "ToolError", "ToolServer"]

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


# --- tools -------------------------------------------------------------------------------------


@dataclasses.dataclass
class Tool:
    """One served function with its MCP definition."""

    name: str
    description: str
    input_schema: Schema
    function: Callable[..., Any]
    parameter_types: dict[str, Any]

    def definition(self) -> str:
        body = {"name": self.name, "description": self.description, "inputSchema": self.input_schema}
        return json.dumps(body, separators=(",", ":"), ensure_ascii=False)

    @classmethod
    def from_function(cls, function: Callable[..., Any], name: str | None = None,
                      description: str | None = None) -> Tool:
        summary, param_docs = parse_docstring(function.__doc__)
        hints = get_type_hints(function, include_extras=True)
        properties: dict[str, Schema] = {}
        required: list[str] = []
        types_by_name: dict[str, Any] = {}
        for param in inspect.signature(function).parameters.values():
            if param.kind in (param.VAR_POSITIONAL, param.VAR_KEYWORD):
                raise TypeError(f"tool {function.__name__}: *args and **kwargs cannot be described by a schema")
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
        return cls(name or function.__name__, description or summary or function.__name__, input_schema,
                   function, types_by_name)


_NOT_JSON = object()


def _jsonable(value: Any) -> Any:
    if isinstance(value, enum.Enum):
        value = value.value
    try:
        json.dumps(value)
    except (TypeError, ValueError):
        return _NOT_JSON
    return value


# --- argument checking and conversion ----------------------------------------------------------


def _convert(value: Any, hint: Any, where: str) -> Any:
    """`value` (decoded JSON) checked against `hint` and turned into it where the types differ."""
    hint, _ = _annotated_description(hint)
    if hint is Any or hint is inspect.Parameter.empty or hint is object:
        return value
    origin, args = get_origin(hint), get_args(hint)
    if hint is None or hint is type(None):
        if value is None:
            return None
        raise ToolError(f"{where}: expected null")
    if hint is bool:
        if isinstance(value, bool):
            return value
        raise ToolError(f"{where}: expected a boolean")
    if hint is int:
        if isinstance(value, int) and not isinstance(value, bool):
            return value
        if isinstance(value, float) and value.is_integer():
            return int(value)
        raise ToolError(f"{where}: expected an integer")
    if hint is float:
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            return float(value)
        raise ToolError(f"{where}: expected a number")
    if hint is str:
        if isinstance(value, str):
            return value
        raise ToolError(f"{where}: expected a string")
    if isinstance(hint, type) and issubclass(hint, enum.Enum):
        try:
            return hint(value)
        except ValueError:
            raise ToolError(f"{where}: expected one of {[m.value for m in hint]}") from None
    if origin is Literal:
        if value in args:
            return value
        raise ToolError(f"{where}: expected one of {list(args)}")
    if origin in (Union, types.UnionType):
        for option in args:
            try:
                return _convert(value, option, where)
            except ToolError:
                continue
        raise ToolError(f"{where}: matches none of the allowed types")
    if is_typeddict(hint) or (dataclasses.is_dataclass(hint) and isinstance(hint, type)):
        return _convert_record(value, hint, where)
    if origin in (list, Sequence, set, frozenset, tuple) or hint in (list, set, frozenset, tuple):
        return _convert_array(value, hint, origin or hint, args, where)
    if origin in (dict, Mapping) or hint is dict:
        if not isinstance(value, dict):
            raise ToolError(f"{where}: expected an object")
        if len(args) == 2:
            return {k: _convert(v, args[1], f"{where}.{k}") for k, v in value.items()}
        return value
    return value


def _convert_array(value: Any, hint: Any, origin: Any, args: tuple[Any, ...], where: str) -> Any:
    if not isinstance(value, list):
        raise ToolError(f"{where}: expected an array")
    if origin is tuple and args and not (len(args) == 2 and args[1] is Ellipsis):
        if len(value) != len(args):
            raise ToolError(f"{where}: expected {len(args)} items")
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
        raise ToolError(f"{where}: expected an object")
    hints = _record_hints(hint)
    if is_typeddict(hint):
        unknown = sorted(set(value) - set(hints))
        if unknown:
            raise ToolError(f"{where}: unknown member {unknown[0]!r}")
        missing = sorted(set(getattr(hint, "__required_keys__", ())) - set(value))
        if missing:
            raise ToolError(f"{where}: missing member {missing[0]!r}")
        return {k: _convert(v, hints[k], f"{where}.{k}") for k, v in value.items()}
    try:
        return hint(**{k: _convert(v, hints.get(k, Any), f"{where}.{k}") for k, v in value.items()})
    except TypeError as error:
        raise ToolError(f"{where}: {error}") from None


def _bind_arguments(tool: Tool, args: Any) -> dict[str, Any]:
    if args is None:
        args = {}
    if not isinstance(args, dict):
        raise ToolError("arguments must be a JSON object")
    unknown = sorted(set(args) - set(tool.parameter_types))
    if unknown:
        raise ToolError(f"unknown argument {unknown[0]!r}")
    missing = [name for name in tool.input_schema.get("required", []) if name not in args]
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
    return json.dumps(value, default=_json_default, ensure_ascii=False)


class ToolServer:
    """A set of Python functions served as MCP tools by zanthe._agent.serve_stdio."""

    def __init__(self, name: str = "zanthe", version: str = "0.1") -> None:
        self.name = name
        self.version = version
        self._tools: dict[str, Tool] = {}

    @typing.overload
    def tool(self, function: F, /, *, name: str | None = None, description: str | None = None) -> F: ...

    @typing.overload
    def tool(self, function: None = None, /, *, name: str | None = None,
             description: str | None = None) -> Callable[[F], F]: ...

    def tool(self, function: F | None = None, /, *, name: str | None = None,
             description: str | None = None) -> F | Callable[[F], F]:
        """Register a function as a tool; usable as @server.tool or @server.tool(name=..., description=...)."""

        def register(fn: F) -> F:
            tool = Tool.from_function(fn, name, description)
            if tool.name in self._tools:
                raise ValueError(f"a tool named {tool.name!r} is already registered")
            self._tools[tool.name] = tool
            return fn

        return register(function) if function is not None else register

    @property
    def tools(self) -> list[Tool]:
        return list(self._tools.values())

    def tool_table(self) -> list[tuple[str, str, str]]:
        return [(tool.name, tool.definition(), "") for tool in self._tools.values()]

    def dispatch(self, name: str, args: Any) -> tuple[int, str]:
        """Runs one tool call: (0, output) on success, (1, message) on any failure."""
        tool = self._tools.get(name)
        if tool is None:
            return _FAILURE, f"unknown tool {name!r}"
        try:
            result = tool.function(**_bind_arguments(tool, args))
            if inspect.isawaitable(result):
                result = asyncio.run(_await(result))
            return 0, render_result(result)
        except ToolError as error:
            return _FAILURE, f"{name}: {error}"
        except Exception as error:  # a tool's own failure is the client's answer, not the server's end
            return _FAILURE, f"{name} failed: {type(error).__name__}: {error}"

    def run(self, verbose: bool = False) -> int:
        """Serve the registered tools over stdin and stdout until stdin ends."""
        return _agent.serve_stdio(self.tool_table(), self.dispatch, self.name, self.version, verbose)


async def _await(awaitable: Any) -> Any:
    return await awaitable
