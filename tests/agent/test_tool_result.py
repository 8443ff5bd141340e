"""How a tool's (code, output) becomes an MCP tools/call result body."""

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _agent_testing as agent


def block(output: bytes) -> dict:
    return json.loads(agent.render_content_block(output))


@pytest.mark.parametrize(
    "output, mime, data",
    [
        (b"data:image/png;base64,AAAA\n", "image/png", "AAAA"),
        (b"data:image/png;base64,AAAA \r\n", "image/png", "AAAA"),
        (b"data:image/png;base64,AAAA\t", "image/png", "AAAA\t"),
        (b"data:image/;base64,AAAA", "image/", "AAAA"),
        (b"data:image/png;x=1;base64,AA", "image/png;x=1", "AA"),
        (b"data:image/png;base64,", "image/png", ""),
    ],
)
def test_image_data_urls_become_image_blocks(output, mime, data):
    assert block(output) == {"type": "image", "mimeType": mime, "data": data}


@pytest.mark.parametrize(
    "output",
    [
        b"",
        b"   \n",
        b"DATA:IMAGE/png;base64,AA",
        b"data:text/plain;base64,AA",
        b"data:image/png,AA",
        b"data:image/",
        b"data:image/png;base64\n,AA",
        b"hello",
    ],
)
def test_everything_else_becomes_a_text_block_of_the_whole_output(output):
    assert block(output) == {"type": "text", "text": output.decode()}


def test_base64_marker_after_the_trimmed_end_does_not_count():
    # ";base64," must lie wholly within the output once trailing blanks are dropped.
    assert block(b"data:image/png;base64")["type"] == "text"


@pytest.mark.parametrize(
    "output, structured",
    [
        (b'  \n{"n":1}\r\n\t', b'{"n":1}'),
        (b'{"s":"}"}', b'{"s":"}"}'),
        (b'{"a":{"b":[1,{"c":"\\""}]}}', b'{"a":{"b":[1,{"c":"\\""}]}}'),
        (b"{}", b"{}"),
    ],
)
def test_json_objects_are_also_structured_content_as_written(output, structured):
    assert agent.render_structured_content(output) == b',"structuredContent":' + structured


@pytest.mark.parametrize(
    "output",
    [b"", b"[1,2]", b'{"a":1} {"b":2}', b'{"a":1}x', b'{"a":[}', b'{"a":1', b'"{}"', b"{]", b'{"a":1]'],
)
def test_outputs_that_are_not_one_object_have_no_structured_content(output):
    assert agent.render_structured_content(output) == b""


def test_structured_content_size_limit():
    limit = 4 * 1024 * 1024
    filler = b'{"a":"' + b"x" * (limit - 8) + b'"}'
    assert len(filler) == limit
    assert agent.render_structured_content(b" " + filler + b"\n").startswith(b',"structuredContent":{')
    bigger = b'{"a":"' + b"x" * (limit - 7) + b'"}'
    assert agent.render_structured_content(bigger) == b""


@pytest.mark.parametrize(
    "code, output, expected",
    [
        (0, b"hello", {"content": [{"type": "text", "text": "hello"}], "isError": False}),
        (
            2,
            b'{"n":1}\n',
            {"content": [{"type": "text", "text": '{"n":1}\n'}], "isError": True, "structuredContent": {"n": 1}},
        ),
        (-1, b"", {"content": [{"type": "text", "text": ""}], "isError": True}),
    ],
)
def test_render_tool_result(code, output, expected):
    body = agent.render_tool_result(code, output)
    assert json.loads(body) == expected
    assert b" " not in body.replace(output, b"")  # no whitespace added


def test_result_member_order():
    assert agent.render_tool_result(0, b"{}") == (
        b'{"content":[{"type":"text","text":"{}"}],"isError":false,"structuredContent":{}}'
    )


json_objects = st.dictionaries(
    st.text(max_size=6),
    st.recursive(
        st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
        lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=6), children, max_size=4),
        max_leaves=20,
    ),
    max_size=5,
)


@given(json_objects, st.sampled_from([None, 0, 2, "\t"]), st.booleans())
def test_pretty_printed_objects_travel_as_one_line_of_standard_json(value, indent, ensure_ascii):
    # A response is one line: line breaks between the tokens of a tool's output must not reach it.
    output = json.dumps(value, indent=indent, ensure_ascii=ensure_ascii).replace("\n", "\r\n").encode()
    body = agent.render_tool_result(0, output)
    assert b"\n" not in body and b"\r" not in body
    assert json.loads(body)["structuredContent"] == value


@pytest.mark.parametrize(
    "output",
    [
        b'{"a":"x\ny"}',
        b'{"a":"x\ty"}',
        b'{"a\x01":1}',
        b'{"a":007}',
        b'{"a":+5}',
        b'{"a":.5}',
        b'{"a":-.5}',
        b'{"a":1.}',
        b'{"a":1.e5}',
        b'{"a":[01]}',
    ],
)
def test_objects_only_the_lenient_reader_accepts_are_not_structured_content(output):
    # Raw control bytes in strings and non-standard numbers would make the client reject the whole response.
    assert agent.parse_json(output)[0] == "ok"
    assert agent.render_structured_content(output) == b""
    assert json.loads(agent.render_tool_result(0, output))["content"][0]["text"] == output.decode()


def test_standard_numbers_and_escaped_line_breaks_stay_as_written():
    output = b'{"n":[0,-0,10,0.5,-1.25e-3,1E+2,2e5],"s":"a\\nb\\\"\\r"}'
    assert agent.render_structured_content(output) == b',"structuredContent":' + output
