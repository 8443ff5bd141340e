"""Speed of zanthe.dicom.render (one DICOM frame to an 8-bit PNG) against the same pipeline over pydicom, side by side.

    python bench/pixels_bench.py [--build-dir build/bench] [--seconds 0.2] [--quick] [--json PATH]

The peer is the natural numpy program for the job: pydicom.dcmread(path) and ds.pixel_array
(pylibjpeg-openjpeg decodes JPEG 2000), pydicom's apply_modality_lut, the linear window function
(Window Center and Width, as a viewer applies it) in numpy to uint8 rounded half up, with max_size
the exact box average zanthe uses (by cumulative sums in numpy), and a PNG made the way zanthe makes
it: every row with the Up filter, zlib level 1, the chunks written here. zanthe runs
zanthe.dicom.render(path, window=..., max_size=...); both get the same window.

Before timing, both PNGs are decoded with Pillow and compared: the note says whether they agree
within 1 grey level, and how big the peer's PNG is beside zanthe's (same filter, same zlib level:
the sizes should match). Where they do not agree, the ratio is of unequal work.

Cases: a synthetic 512x512 CT slice (12 bits in 16, Rescale Slope and Intercept, noise), the same
slice as JPEG 2000 lossless (pydicom's encoder over pylibjpeg-openjpeg), pydicom's lossy JPEG 2000
CT 693_J2KI.dcm, and a synthetic 2000x2500 mammogram (14 bits in 16), native and JPEG 2000
lossless, each whole and shrunk to max_size 1024. Where the time goes: zanthe.dicom.pixels alone
(decode) beside render (decode, LUT, PNG), the peer's decode, LUT and PNG phases each alone, and
zlib.compress(level=1) of the filtered rows alone: the peer's floor, one thread of the same zlib
(zanthe deflates large images in strips on every core, so its PNG step can go below it).

Times are the best of several rounds, in milliseconds per image. Nothing here asserts on time.
"""

from __future__ import annotations

import argparse
import io
import math
import os
import struct
import sys
import tempfile
import warnings
import zlib
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pydicom
import pydicom.data
from PIL import Image
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.pixels import apply_modality_lut
from pydicom.uid import ExplicitVRLittleEndian, JPEG2000Lossless, generate_uid

from common import best_microseconds, import_native, print_header, print_table, ratio_text, write_results

TEST_FILES = Path(pydicom.data.__file__).parent / "test_files"
PEER = "pydicom"
CT_WINDOW = (40.0, 400.0)
MAMMOGRAPHY_WINDOW = (9000.0, 7000.0)


# ---------------------------------------------------------------------------------------------------
# The peer: decode, Modality LUT, window, optional box average, PNG with the Up filter at zlib level 1.


def peer_decode(path: str):
    ds = pydicom.dcmread(path)
    return ds, ds.pixel_array


def linear_window(values: np.ndarray, center: float, width: float) -> np.ndarray:
    """The linear window function onto 0..255, rounded half up."""
    width = max(width, 1.0)
    y = ((values - (center - 0.5)) / (width - 1) + 0.5) * 255.0
    return np.floor(np.clip(y, 0.0, 255.0) + 0.5).astype(np.uint8)


def shrunk_size(height: int, width: int, max_size: int) -> tuple[int, int]:
    scale = max_size / max(height, width)
    return tuple(min(max(1, math.floor(side * scale + 0.5)), max_size) for side in (height, width))


def shrink_axis(values: np.ndarray, target: int, axis: int) -> np.ndarray:
    """Each output pixel the exact average of the source span it covers, pixels cut by a span's edges
    counting by the part inside: differences of the running sum taken at the spans' edges."""
    n = values.shape[axis]
    edges = np.minimum(np.arange(target + 1) * (n / target), n)
    whole = np.floor(edges).astype(np.intp)
    fraction = edges - whole  # 0 at the last edge, where `whole` is n
    sums = np.cumsum(values, axis=axis)
    sums = np.concatenate([np.zeros_like(np.take(sums, [0], axis=axis)), sums], axis=axis)
    shape = [1] * values.ndim
    shape[axis] = target + 1
    integral = np.take(sums, whole, axis=axis) + fraction.reshape(shape) * np.take(values, np.minimum(whole, n - 1), axis=axis)
    return np.diff(integral, axis=axis) / np.diff(edges).reshape([*shape[:axis], target, *shape[axis + 1:]])


def box_average(image: np.ndarray, max_size: int) -> np.ndarray:
    height, width = shrunk_size(*image.shape[:2], max_size)
    if (height, width) == image.shape[:2]:
        return image
    shrunk = shrink_axis(shrink_axis(image.astype(np.float64), height, 0), width, 1)
    return np.floor(np.clip(shrunk, 0.0, 255.0) + 0.5).astype(np.uint8)


def peer_display(ds, stored: np.ndarray, window: tuple[float, float], max_size: int | None) -> np.ndarray:
    grey = linear_window(apply_modality_lut(stored, ds), *window)
    return box_average(grey, max_size) if max_size else grey


def png_chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def up_filtered(image: np.ndarray) -> bytes:
    """The PNG scanlines of an 8-bit grey image, each with the Up filter."""
    height, width = image.shape
    filtered = np.empty((height, width + 1), np.uint8)
    filtered[:, 0] = 2  # Up
    filtered[0, 1:] = image[0]
    np.subtract(image[1:], image[:-1], out=filtered[1:, 1:])  # uint8 arithmetic: modulo 256
    return filtered.tobytes()


def peer_png(image: np.ndarray) -> bytes:
    """8-bit grey PNG: the Up filter on every row, zlib level 1, one IDAT chunk."""
    height, width = image.shape
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"IDAT", zlib.compress(up_filtered(image), 1))
            + png_chunk(b"IEND", b""))  # fmt: skip


def peer_render(path: str, window: tuple[float, float], max_size: int | None) -> bytes:
    ds, stored = peer_decode(path)
    return peer_png(peer_display(ds, stored, window, max_size))


# ---------------------------------------------------------------------------------------------------
# Cases: synthetic images written by pydicom, and pydicom's lossy JPEG 2000 CT.


def ellipse(shape: tuple[int, int], center: tuple[float, float], radii: tuple[float, float]) -> np.ndarray:
    y, x = np.ogrid[: shape[0], : shape[1]]
    return ((y - center[0]) / radii[0]) ** 2 + ((x - center[1]) / radii[1]) ** 2 <= 1


def ct_slice(rng: np.random.Generator) -> np.ndarray:
    """Hounsfield units of an axial chest slice: air, fat, soft tissue, lungs, spine, noise."""
    shape = (512, 512)
    hu = np.full(shape, -1000.0)
    hu[ellipse(shape, (256, 256), (190, 240))] = -100  # fat
    hu[ellipse(shape, (256, 256), (175, 225))] = 40  # soft tissue
    for side in (160, 352):
        hu[ellipse(shape, (240, side), (120, 80))] = -850  # lungs
    hu[ellipse(shape, (390, 256), (30, 30))] = 700  # vertebra
    hu[ellipse(shape, (390, 256), (18, 18))] = 250
    return hu + rng.normal(0, 20, shape)


def mammogram(rng: np.random.Generator) -> np.ndarray:
    """14-bit values of a breast seen from the side: a half ellipse of smooth tissue, noise, background."""
    shape = (2500, 2000)
    tissue = np.kron(rng.normal(0, 900, (50, 40)), np.ones((50, 50)))  # structures about 50 pixels wide
    values = np.full(shape, 300.0)
    breast = ellipse(shape, (1250, 0), (1100, 1500))
    values[breast] = 9000 + tissue[breast]
    return np.clip(values + rng.normal(0, 60, shape), 0, 16383)


def part10(ds: Dataset, transfer_syntax: str) -> bytes:
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = ds.SOPClassUID
    meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID
    meta.TransferSyntaxUID = transfer_syntax
    ds.file_meta = meta
    out = io.BytesIO()
    pydicom.dcmwrite(out, ds, enforce_file_format=True)
    return out.getvalue()


def grey_image(stored: np.ndarray, bits_stored: int, sop_class: str, modality: str) -> Dataset:
    ds = Dataset()
    ds.SOPClassUID, ds.SOPInstanceUID, ds.Modality = sop_class, generate_uid(), modality
    ds.StudyInstanceUID, ds.SeriesInstanceUID = generate_uid(), generate_uid()
    ds.PatientName, ds.PatientID = "BENCH^PIXELS", "PIXELS-1"
    ds.Rows, ds.Columns = stored.shape
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, bits_stored, bits_stored - 1, 0
    ds.PixelData = stored.astype(np.uint16).tobytes()
    return ds


def ct_dataset(rng: np.random.Generator) -> Dataset:
    ds = grey_image(np.clip(np.rint(ct_slice(rng)) + 1024, 0, 4095), 12, "1.2.840.10008.5.1.4.1.1.2", "CT")
    ds.RescaleSlope, ds.RescaleIntercept, ds.RescaleType = 1, -1024, "HU"
    ds.WindowCenter, ds.WindowWidth = CT_WINDOW
    return ds


def mammography_dataset(rng: np.random.Generator) -> Dataset:
    ds = grey_image(np.rint(mammogram(rng)), 14, "1.2.840.10008.5.1.4.1.1.1.2", "MG")
    ds.WindowCenter, ds.WindowWidth = MAMMOGRAPHY_WINDOW
    return ds


def native(ds: Dataset) -> bytes:
    return part10(ds, ExplicitVRLittleEndian)


def jpeg_2000_lossless(ds: Dataset) -> bytes:
    ds = pydicom.dcmread(io.BytesIO(native(ds)))
    ds.compress(JPEG2000Lossless, encoding_plugin="pylibjpeg")
    return part10(ds, JPEG2000Lossless)


@dataclass
class Case:
    name: str
    data: bytes
    window: tuple[float, float]
    max_size: int | None = None


def cases() -> list[Case]:
    rng = np.random.default_rng(20260728)
    ct, mammography = ct_dataset(rng), mammography_dataset(rng)
    print("  encoding the JPEG 2000 files", file=sys.stderr)
    ct_j2k, mammography_native, mammography_j2k = jpeg_2000_lossless(ct), native(mammography), jpeg_2000_lossless(mammography)
    shipped = (TEST_FILES / "693_J2KI.dcm").read_bytes()
    return [
        Case("CT 512x512, native", native(ct), CT_WINDOW),
        Case("CT 512x512, JPEG 2000 lossless", ct_j2k, CT_WINDOW),
        Case("CT 512x512, JPEG 2000 lossy (693_J2KI)", shipped, (40.0, 100.0)),
        Case("MG 2000x2500, native", mammography_native, MAMMOGRAPHY_WINDOW),
        Case("MG 2000x2500, native, max_size 1024", mammography_native, MAMMOGRAPHY_WINDOW, 1024),
        Case("MG 2000x2500, JPEG 2000 lossless", mammography_j2k, MAMMOGRAPHY_WINDOW),
        Case("MG 2000x2500, JPEG 2000 lossless, max_size 1024", mammography_j2k, MAMMOGRAPHY_WINDOW, 1024),
    ]


# ---------------------------------------------------------------------------------------------------
# Measuring.


def agreement(ours: bytes, theirs: bytes) -> str:
    """The note on whether the two PNGs show the same image, decoded by Pillow."""
    a, b = (np.asarray(Image.open(io.BytesIO(png))).astype(np.int16) for png in (ours, theirs))
    if a.shape != b.shape:
        return f"DIFFER: {a.shape[1]}x{a.shape[0]} against {b.shape[1]}x{b.shape[0]}"
    worst = int(np.abs(a - b).max())
    size = f"peer's PNG {len(theirs) / len(ours):.3f}x zanthe's"
    if worst == 0:
        return f"same pixels; {size}"
    off = int(np.count_nonzero(a != b))
    verdict = "agree within 1 grey level" if worst <= 1 else f"DIFFER by up to {worst} grey levels"
    return f"{verdict} ({off:,} of {a.size:,} pixels off); {size}"


def milliseconds(call: Callable[[], object], seconds: float) -> float | None:
    try:
        call()
    except Exception as error:  # a side that fails is not timed; say why
        print(f"  fails: {type(error).__name__}: {error}", file=sys.stderr)
        return None
    return best_microseconds(call, seconds) / 1000


def measure(dicom, case: Case, path: str, seconds: float) -> dict:
    """The whole render each side, and each phase: zanthe's decode alone, the peer's decode, LUT and PNG."""
    window, max_size = case.window, case.max_size
    ds, stored = peer_decode(path)
    grey = peer_display(ds, stored, window, max_size)
    scanlines = up_filtered(grey)
    return {
        "render": milliseconds(lambda: dicom.render(path, window=window, max_size=max_size), seconds),
        "decode": milliseconds(lambda: dicom.pixels(path), seconds),
        "peer render": milliseconds(lambda: peer_render(path, window, max_size), seconds),
        "peer decode": milliseconds(lambda: peer_decode(path), seconds),
        "peer LUT": milliseconds(lambda: peer_display(ds, stored, window, max_size), seconds),
        "peer PNG": milliseconds(lambda: peer_png(grey), seconds),
        "zlib": milliseconds(lambda: zlib.compress(scanlines, 1), seconds),
    }


def difference(whole: float | None, part: float | None) -> float | None:
    return whole - part if whole is not None and part is not None else None


def result_rows(case: Case, figures: dict) -> list[dict]:
    """rows for run_all: the whole render, then the phases (zanthe's LUT and PNG as render minus decode)."""
    lut_and_png = difference(figures["render"], figures["decode"])
    peer_lut_and_png = None if None in (figures["peer LUT"], figures["peer PNG"]) else figures["peer LUT"] + figures["peer PNG"]
    phases = [("render to PNG", figures["render"], figures["peer render"]),
              ("decode", figures["decode"], figures["peer decode"]),
              ("LUT and PNG", lut_and_png, peer_lut_and_png),
              ("LUT", None, figures["peer LUT"]),
              ("PNG", None, figures["peer PNG"]),
              ("zlib level 1 alone", None, figures["zlib"])]  # fmt: skip
    return [{"case": f"{case.name}: {phase}", "unit": "ms", "zanthe": ours, "peers": {PEER: theirs}} for phase, ours, theirs in phases]


def cell(value: float | None) -> str:
    return "-" if value is None else f"{value:.2f}" if value < 100 else f"{value:.0f}"


def print_tables(measured: list[tuple[Case, dict, str]]) -> None:
    table = []
    for case, figures, note in measured:
        ours, theirs = figures["render"], figures["peer render"]
        table.append([case.name, f"{len(case.data) / 2**20:.2f}", cell(ours), cell(theirs), ratio_text(theirs, ours), note])
    print_table(["render to 8-bit PNG", "MiB", "zanthe ms", "pydicom ms", "ratio", "note"], table)
    print("\nratio = pydicom pipeline time / zanthe time (higher is faster for zanthe)\n")
    table = []
    for case, figures, _ in measured:
        rest = difference(figures["render"], figures["decode"])
        table.append([case.name, cell(figures["decode"]), cell(rest), cell(figures["peer decode"]), cell(figures["peer LUT"]),
                      cell(figures["peer PNG"]), cell(figures["zlib"]), ratio_text(figures["peer decode"], figures["decode"])])  # fmt: skip
    print_table(["where the time goes, ms", "zanthe decode", "zanthe LUT+PNG", "pydicom decode", "pydicom LUT",
                 "pydicom PNG", "zlib alone", "decode ratio"], table)  # fmt: skip
    print("\nzanthe decode = zanthe.dicom.pixels(path); zanthe LUT+PNG = render minus decode;")
    print("pydicom decode = dcmread + pixel_array; LUT = apply_modality_lut + window to uint8 (+ box average);")
    print("PNG = Up filter in numpy + zlib.compress(level=1) + chunks; zlib alone = zlib.compress(level=1) of the")
    print("filtered rows on one thread: the peer's floor (zanthe deflates large images in strips on every core)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("ZANTHE_BUILD_DIR"))
    parser.add_argument("--seconds", type=float, default=0.2, help="rough time per round")
    parser.add_argument("--quick", action="store_true", help="short rounds: a smoke run, not figures to keep")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    seconds = 0.02 if args.quick else args.seconds

    module = import_native(args.build_dir, "_dicom")
    from zanthe import dicom

    warnings.simplefilter("ignore")  # pydicom's warnings about the shipped file would break the table
    print_header(module, "pydicom", "numpy", "pylibjpeg-openjpeg", "Pillow")
    measured, rows = [], []
    with tempfile.TemporaryDirectory() as scratch:
        for n, case in enumerate(cases()):
            path = str(Path(scratch) / f"{n}.dcm")
            Path(path).write_bytes(case.data)
            note = agreement(dicom.render(path, window=case.window, max_size=case.max_size),
                             peer_render(path, case.window, case.max_size))  # fmt: skip
            figures = measure(dicom, case, path, seconds)
            measured.append((case, figures, note))
            rows += result_rows(case, figures)
            print(f"  measured {case.name}", file=sys.stderr)
    print_tables(measured)
    write_results(args.json, rows, [])


if __name__ == "__main__":
    main()
