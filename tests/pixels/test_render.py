"""The display pipeline against a numpy reference of the same steps (pydicom's Modality LUT, palettes and
colour conversion, the window functions written out), on pydicom's test files and on crafted files for
what the corpus lacks; the PNG read back with Pillow; the image an MCP client receives."""

from __future__ import annotations

import asyncio
import base64
import io
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import numpy
import pydicom
import pytest
from mcp import Client, StdioServerParameters
from PIL import Image
from pydicom.data import get_testdata_file
from pydicom.pixels import apply_color_lut, apply_modality_lut, apply_voi_lut

from helpers import dicom_writer as d
from helpers.child_env import child_env
from zanthe.dicom import render, render_with_summary
from zanthe.errors import NotDicomError, PixelDataError

# --- the reference pipeline


def window_reference(x: numpy.ndarray, center: float, width: float, function: str = "LINEAR") -> numpy.ndarray:
    """VOI LUT Functions onto 0..255, as the standard writes them."""
    with numpy.errstate(divide="ignore", over="ignore", invalid="ignore"):
        return numpy.clip(numpy.rint(_window(x, center, width, function)), 0, 255)


def _window(x: numpy.ndarray, center: float, width: float, function: str) -> numpy.ndarray:
    if function == "LINEAR_EXACT":
        y = ((x - center) / width + 0.5) * 255
        y = numpy.where(x <= center - width / 2, 0, numpy.where(x > center + width / 2, 255, y))
    elif function == "SIGMOID":
        y = 255 / (1 + numpy.exp(-4 * (x - center) / width))
    else:
        below, above = center - 0.5 - (width - 1) / 2, center - 0.5 + (width - 1) / 2
        y = ((x - (center - 0.5)) / (width - 1) + 0.5) * 255
        y = numpy.where(x <= below, 0, numpy.where(x > above, 255, y))
    return y


def grey_reference(ds: pydicom.Dataset, window: tuple[float, float] | None = None) -> numpy.ndarray:
    stored = ds.pixel_array
    values = apply_modality_lut(stored, ds).astype(float)
    if window is None and "WindowCenter" in ds:
        first = lambda v: float(v[0] if isinstance(v, pydicom.multival.MultiValue) else v)  # noqa: E731
        window = (first(ds.WindowCenter), first(ds.WindowWidth))
    if window is None:  # the range of the values, padding left out
        kept = values[stored != ds.PixelPaddingValue] if "PixelPaddingValue" in ds else values
        low, high = kept.min(), kept.max()
        window = ((low + high + 1) / 2, high - low + 1)
    shown = window_reference(values, *window, ds.get("VOILUTFunction", "LINEAR"))
    return 255 - shown if ds.PhotometricInterpretation == "MONOCHROME1" else shown


def colour_reference(ds: pydicom.Dataset) -> numpy.ndarray:
    if ds.PhotometricInterpretation == "PALETTE COLOR":
        rgb = apply_color_lut(ds.pixel_array, ds).astype(float)
        return numpy.rint(rgb / (2 ** ds.RedPaletteColorLookupTableDescriptor[2] - 1) * 255)
    return numpy.rint(ds.pixel_array.astype(float) / (2**ds.BitsStored - 1) * 255)  # pydicom gives YBR as RGB


def decoded(png: bytes) -> numpy.ndarray:
    return numpy.asarray(Image.open(io.BytesIO(png))).astype(float)


def assert_close(png: bytes, expected: numpy.ndarray) -> None:
    got = decoded(png)
    assert got.shape == expected.shape
    assert numpy.abs(got - expected).max() <= 1


# --- pydicom's files


@pytest.mark.parametrize(
    "name, window",
    [
        ("CT_small.dcm", None),  # no window: the range without Pixel Padding Value
        ("CT_small.dcm", (40.0, 400.0)),
        ("MR_small.dcm", None),
        ("MR_small_implicit.dcm", (700.0, 300.0)),
        ("MR_small_bigendian.dcm", None),
        ("6154", None),  # MONOCHROME1 with its own window
    ],
)
def test_grey_files_match_the_reference_pipeline(name, window):
    path = get_testdata_file(name)
    png, summary = render_with_summary(path, window=window)
    ds = pydicom.dcmread(path)
    assert_close(png, grey_reference(ds, window))
    assert (summary["rows"], summary["columns"], summary["photometric"]) == (
        ds.Rows, ds.Columns, ds.PhotometricInterpretation)  # fmt: skip
    if window is not None:
        assert summary["window"] == list(window)


@pytest.mark.parametrize(
    "name",
    ["examples_palette.dcm", "examples_rgb_color.dcm", "SC_ybr_full_422_uncompressed.dcm", "SC_rgb_rle_16bit.dcm"],
)
def test_colour_files_match_the_reference_pipeline(name):
    path = get_testdata_file(name)
    png, summary = render_with_summary(path)
    assert Image.open(io.BytesIO(png)).mode == "RGB" and summary["window"] is None
    assert_close(png, colour_reference(pydicom.dcmread(path)))


# --- crafted files


def us(*values: int) -> bytes:
    return struct.pack(f"<{len(values)}H", *values)


def grey_file(frames: numpy.ndarray, photometric: str = "MONOCHROME2", *extra: bytes) -> bytes:
    """A 16-bit unsigned grey file of `frames` (frames x rows x columns) with `extra` elements put in order."""
    count, rows, columns = frames.shape
    elements = [
        d.explicit(0x00280002, "US", us(1)), d.explicit(0x00280004, "CS", d.text(photometric)),
        d.explicit(0x00280008, "IS", d.text(str(count))), d.explicit(0x00280010, "US", us(rows)),
        d.explicit(0x00280011, "US", us(columns)), d.explicit(0x00280100, "US", us(16)),
        d.explicit(0x00280101, "US", us(16)), d.explicit(0x00280102, "US", us(15)),
        d.explicit(0x00280103, "US", us(0)), d.explicit(0x7FE00010, "OW", frames.astype("<u2").tobytes()), *extra,
    ]  # fmt: skip
    return d.part10(b"".join(sorted(elements, key=lambda element: struct.unpack("<HH", element[:4]))))


def ds_text(value: float) -> bytes:
    return d.text(f"{value:g}")


RAMP = numpy.arange(0, 4096, 16, dtype=numpy.uint16).reshape(1, 16, 16)


@pytest.mark.parametrize("function", ["LINEAR", "LINEAR_EXACT", "SIGMOID"])
@pytest.mark.parametrize("window", [(1000.0, 1.0), (2048.0, 2000.0), (300.5, 801.0)])
def test_voi_lut_functions_follow_their_formulas(function, window):
    data = grey_file(RAMP, "MONOCHROME2", d.explicit(0x00281050, "DS", ds_text(window[0])),
                     d.explicit(0x00281051, "DS", ds_text(window[1])), d.explicit(0x00281056, "CS", d.text(function)))
    assert_close(render(data), window_reference(RAMP[0].astype(float), *window, function))


@pytest.mark.parametrize("photometric, shape, inverted", [
    ("MONOCHROME2", "INVERSE", True), ("MONOCHROME1", "IDENTITY", True), ("MONOCHROME1", "INVERSE", False),
])  # fmt: skip
def test_monochrome1_and_an_inverse_presentation_shape_invert(photometric, shape, inverted):
    data = grey_file(RAMP, photometric, d.explicit(0x20500020, "CS", d.text(shape)))
    straight = window_reference(RAMP[0].astype(float), 2040.5, 4081.0)  # the range 0..4080
    assert_close(render(data), 255 - straight if inverted else straight)


STORED_BYTES = numpy.arange(256, dtype=numpy.uint16).reshape(1, 16, 16)


def lut_sequence(tag: int, descriptor: tuple[int, int, int], entries: numpy.ndarray) -> bytes:
    data = entries.astype("<u2").tobytes()
    content = d.explicit(0x00283002, "US", us(*descriptor)) + d.explicit(0x00283006, "OW", data)
    return d.sequence(tag, [d.item(content)])


MODALITY_LUT = lut_sequence(0x00283000, (256, 0, 16), 4095 - 16 * numpy.arange(256))  # falling: not a rescale
VOI_LUT = lut_sequence(0x00283010, (4096, 0, 16), numpy.rint(numpy.sqrt(numpy.arange(4096) / 4095) * 65535))


@pytest.mark.parametrize("elements, expected", [
    ((MODALITY_LUT, VOI_LUT), lambda ds: numpy.rint(apply_voi_lut(apply_modality_lut(ds.pixel_array, ds), ds) / 257)),
    ((MODALITY_LUT, d.explicit(0x00281050, "DS", d.text("1000\\3000")),
      d.explicit(0x00281051, "DS", d.text("500\\10"))),
     lambda ds: window_reference(apply_modality_lut(ds.pixel_array, ds).astype(float), 1000, 500)),
    ((d.explicit(0x00280120, "US", us(0)), d.explicit(0x00280121, "US", us(15))),  # padding 0..15 left out
     lambda ds: window_reference(ds.pixel_array.astype(float), (16 + 255 + 1) / 2, 255 - 16 + 1)),
])  # fmt: skip
def test_lookup_tables_multiple_windows_and_padding_ranges(elements, expected):
    data = grey_file(STORED_BYTES, "MONOCHROME2", *elements)
    assert_close(render(data), expected(pydicom.dcmread(io.BytesIO(data))).astype(float))


def test_enhanced_files_take_each_frames_functional_groups_first():
    frames = numpy.stack([RAMP[0], RAMP[0][::-1]])
    def voi(center: float, width: float) -> bytes:
        return d.sequence(0x00289132, [d.item(d.explicit(0x00281050, "DS", ds_text(center)) +
                                              d.explicit(0x00281051, "DS", ds_text(width)))])  # fmt: skip
    rescale = d.sequence(0x00289145, [d.item(d.explicit(0x00281052, "DS", ds_text(-100)) +
                                             d.explicit(0x00281053, "DS", ds_text(2)))])  # fmt: skip
    shared = d.sequence(0x52009229, [d.item(voi(500, 1000) + rescale)])
    per_frame = d.sequence(0x52009230, [d.item(b""), d.item(voi(3000, 2000))], undefined=False)
    data = grey_file(frames, "MONOCHROME2", shared, per_frame)
    for index, window in ((0, (500.0, 1000.0)), (1, (3000.0, 2000.0))):
        png, summary = render_with_summary(data, index)
        assert summary["window"] == list(window) and summary["frames"] == 2
        assert_close(png, window_reference(frames[index].astype(float) * 2 - 100, *window))


def palette_file(stored: numpy.ndarray, descriptor: bytes | None, red: bytes, green_blue: bytes,
                 data_tag: int) -> bytes:
    """An 8-bit PALETTE COLOR file; `data_tag` is (0028,1201) for plain LUT data, (0028,1221) for segmented."""
    rows, columns = stored.shape
    elements = [
        d.explicit(0x00280002, "US", us(1)), d.explicit(0x00280004, "CS", d.text("PALETTE COLOR")),
        d.explicit(0x00280010, "US", us(rows)), d.explicit(0x00280011, "US", us(columns)),
        d.explicit(0x00280100, "US", us(8)), d.explicit(0x00280101, "US", us(8)), d.explicit(0x00280102, "US", us(7)),
        d.explicit(0x00280103, "US", us(0)),
        *(d.explicit(0x00281101 + i, "US", descriptor) for i in range(3) if descriptor is not None),
        d.explicit(data_tag, "OW", red), d.explicit(data_tag + 1, "OW", green_blue),
        d.explicit(data_tag + 2, "OW", green_blue), d.explicit(0x7FE00010, "OB", stored.tobytes()),
    ]  # fmt: skip
    return d.part10(b"".join(elements))


SEGMENTED, PLAIN = 0x00281221, 0x00281201
PALETTE_INDEXES = numpy.arange(106, dtype=numpy.uint8).reshape(2, 53)
SEGMENTED_RAMP = us(0, 106, *range(0, 106 * 600, 600))


def test_a_segmented_palette_expands_discrete_linear_and_indirect_segments():
    red = us(0, 3, 0, 30000, 9000, 1, 100, 65535, 2, 1, 0, 0)  # discrete, linear, then the discrete again
    data = palette_file(PALETTE_INDEXES, us(106, 0, 16), red, SEGMENTED_RAMP, SEGMENTED)
    assert_close(render(data), colour_reference(pydicom.dcmread(io.BytesIO(data))))


@pytest.mark.parametrize("descriptor, red, data_tag", [
    (None, SEGMENTED_RAMP, SEGMENTED),                       # no descriptor
    (us(106, 0, 16), us(7, 2, 1, 1), SEGMENTED),            # an unknown segment type
    (us(106, 0, 16), us(0, 1, 5, 2, 1, 900, 0), SEGMENTED),  # an indirect segment pointing past the data
    (us(50, 0, 16), SEGMENTED_RAMP, SEGMENTED),             # more entries than the descriptor says
    (us(256, 0, 16), us(*range(10)), PLAIN),                 # LUT data shorter than the descriptor
])  # fmt: skip
def test_broken_palettes_raise_a_clear_error(descriptor, red, data_tag):
    data = palette_file(PALETTE_INDEXES, descriptor, red, SEGMENTED_RAMP if data_tag == SEGMENTED else us(*range(256)),
                        data_tag)  # fmt: skip
    with pytest.raises(PixelDataError, match="LUT|palette|segment"):
        render(data)


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview])
def test_any_buffer_renders_alike(wrap):
    data = get_testdata_file("MR_small.dcm")
    with open(data, "rb") as file:
        content = file.read()
    assert render(wrap(content)) == render(data)


def box_average(image: numpy.ndarray, factor: int) -> numpy.ndarray:
    rows, columns = image.shape[0] // factor, image.shape[1] // factor
    blocks = image[: rows * factor, : columns * factor].reshape(rows, factor, columns, factor, *image.shape[2:])
    return numpy.rint(blocks.mean(axis=(1, 3)))


@pytest.mark.parametrize("name, size, expected", [
    ("CT_small.dcm", 64, (64, 64)), ("CT_small.dcm", 50, (50, 50)), ("examples_palette.dcm", 100, (100, 44)),
    ("examples_rgb_color.dcm", 160, (160, 120)), ("MR_small.dcm", 500, (64, 64)),
])  # fmt: skip
def test_downscaling_keeps_the_aspect_and_averages_boxes(name, size, expected):
    path = get_testdata_file(name)
    full, small = decoded(render(path)), render(path, max_size=size)
    assert Image.open(io.BytesIO(small)).size == expected
    factor = full.shape[1] // expected[0]
    if full.shape[:2] == (expected[1] * factor, expected[0] * factor):  # whole boxes: plain block means
        assert numpy.abs(decoded(small) - box_average(full, factor)).max() <= 1


@pytest.mark.parametrize("data, frame, error", [
    (b"not a DICOM file at all", 0, NotDicomError),
    (d.part10(d.explicit(0x00100020, "LO", d.text("X"))), 0, PixelDataError),
    (grey_file(RAMP), 1, PixelDataError),
])  # fmt: skip
def test_what_cannot_be_rendered_raises_a_clear_error(data, frame, error):
    with pytest.raises(error):
        render(data, frame)


def test_the_command_line_writes_the_png_to_a_file_or_to_stdout(tmp_path):
    out = tmp_path / "ct.png"
    command = [sys.executable, "-P", "-m", "zanthe", "render", get_testdata_file("CT_small.dcm"), "--size", "32"]
    subprocess.run([*command, "-o", str(out), "--window", "40,400"], check=True)
    piped = subprocess.run(command, check=True, capture_output=True, env=None).stdout
    assert Image.open(out).size == Image.open(io.BytesIO(piped)).size == (32, 32)
    bad = subprocess.run([*command, "--window", "40"], capture_output=True, text=True)
    assert bad.returncode == 2 and "CENTER,WIDTH" in bad.stderr


# --- the MCP tool


async def render_through_mcp(root: Path, era: str) -> None:
    params = StdioServerParameters(command=sys.executable, args=["-P", "-m", "zanthe", "mcp", "--root", str(root)],
                                   env=child_env())  # fmt: skip
    async with Client(params, mode=era, read_timeout_seconds=60) as client:
        listed = {tool.name: tool for tool in (await client.list_tools()).tools}
        assert listed["dicom_render"].annotations.read_only_hint is True
        cases = [({"path": "ct.dcm", "window": [40, 400]}, (128, 128), [40.0, 400.0]),
                 ({"path": "wide.dcm"}, (1024, 8), [2047.5, 4095.0])]  # fmt: skip
        for arguments, size, window in cases:
            result = await client.call_tool("dicom_render", arguments)
            assert not result.is_error, result.content
            [block] = result.content
            assert block.type == "image" and block.mime_type == "image/png"
            summary = result.structured_content
            assert Image.open(io.BytesIO(base64.b64decode(block.data))).size == (summary["width"], summary["height"])
            assert (summary["width"], summary["height"]) == size and summary["window"] == window
        refused = await client.call_tool("dicom_render", {"path": "notes.txt"})
        assert refused.is_error and "notes.txt" in refused.content[0].text


@pytest.mark.timeout(120)
@pytest.mark.parametrize("era", ["legacy", "2026-07-28"])
def test_an_mcp_client_receives_the_image_and_its_summary(era, tmp_path):
    shutil.copy(get_testdata_file("CT_small.dcm"), tmp_path / "ct.dcm")
    wide = numpy.tile(numpy.arange(0, 4096, 2, dtype=numpy.uint16), (16, 1)).reshape(1, 16, 2048)
    (tmp_path / "wide.dcm").write_bytes(grey_file(wide))
    (tmp_path / "notes.txt").write_text("not an image")
    asyncio.run(render_through_mcp(tmp_path, era))
