"""The codecs of encapsulated frames: JPEG Baseline/Extended (libjpeg-turbo), JPEG Lossless (ours),
JPEG-LS (CharLS), JPEG 2000 and HTJ2K (OpenJPEG).

Stored values are checked against pydicom's ``pixel_array`` (pylibjpeg, pylibjpeg-libjpeg and
pylibjpeg-openjpeg) for every pydicom test file of those syntaxes that pydicom decodes, frame by frame
as pydicom splits them; JPEG Lossless also against streams encoded here for every predictor, point
transform, restart interval and precision, which pylibjpeg-libjpeg must decode to the same values.
"""

import io
import struct
import warnings

import numpy as np
import pydicom
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pydicom.data import get_testdata_file, get_testdata_files
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.encaps import encapsulate, generate_frames
from pydicom.pixels import pixel_array

from zanthe import dicom
from zanthe.errors import PixelDataError, UnsupportedTransferSyntaxError

_codecs_testing = pytest.importorskip("_codecs_testing")
libjpeg = pytest.importorskip("libjpeg")

JPEG_BASELINE = "1.2.840.10008.1.2.4.50"
JPEG_EXTENDED = "1.2.840.10008.1.2.4.51"
JPEG_LOSSLESS = "1.2.840.10008.1.2.4.57"
JPEG_LOSSLESS_SV1 = "1.2.840.10008.1.2.4.70"
JPEG_LS_LOSSLESS = "1.2.840.10008.1.2.4.80"
JPEG_2000_LOSSLESS = "1.2.840.10008.1.2.4.90"
COVERED = {
    JPEG_BASELINE, JPEG_EXTENDED, JPEG_LOSSLESS, JPEG_LOSSLESS_SV1, JPEG_LS_LOSSLESS,
    "1.2.840.10008.1.2.4.81", JPEG_2000_LOSSLESS, "1.2.840.10008.1.2.4.91",
    "1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.202", "1.2.840.10008.1.2.4.203",
}  # fmt: skip
DTYPES = {"B": np.uint8, "b": np.int8, "H": np.uint16, "h": np.int16, "I": np.uint32, "i": np.int32}


class CodecError(Exception):
    def __init__(self, code, detail):
        super().__init__(f"{code}: {detail}")
        self.code = code


def decode(ts, frame, rows, columns, samples=1, bits_allocated=8, bits_stored=None, signed=False,
           photometric="MONOCHROME2"):  # fmt: skip
    code, detail, values, fmt, after = _codecs_testing.decode(
        ts, bytes(frame), rows, columns, samples, bits_allocated, bits_stored or bits_allocated, signed, photometric
    )
    if code != "ok":
        raise CodecError(code, detail)
    shape = (rows, columns, samples) if samples > 1 else (rows, columns)
    return np.frombuffer(values, dtype=DTYPES[fmt]).reshape(shape), after


def decode_dataset_frame(ds, frame):
    return decode(
        str(ds.file_meta.TransferSyntaxUID), frame, ds.Rows, ds.Columns, ds.SamplesPerPixel, ds.BitsAllocated,
        ds.BitsStored, ds.PixelRepresentation == 1, ds.PhotometricInterpretation,
    )  # fmt: skip


def frames_of(ds):
    count = int(ds.get("NumberOfFrames", 1) or 1)
    return list(generate_frames(ds.PixelData, number_of_frames=count))


def corpus():
    """Frame 0 and the last frame of every pydicom test file of a syntax decoded here."""
    found = []
    for path in sorted(get_testdata_files(), key=lambda p: p.rsplit("/", 1)[-1]):
        try:
            ds = pydicom.dcmread(path, stop_before_pixels=True)
            syntax = str(ds.file_meta.TransferSyntaxUID)
            count = int(ds.get("NumberOfFrames", 1) or 1)
        except Exception:
            continue
        if syntax in COVERED:
            name = path.rsplit("/", 1)[-1]
            found += [pytest.param(path, index, id=f"{name}-{index}") for index in sorted({0, count - 1})]
    return found


def pydicom_frame(ds, index):
    """pydicom's pixel_array of frame `index`, or None when pydicom cannot decode it."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return pixel_array(ds, index=index)
        except Exception:
            return None


def assert_as_pydicom(ds, index, source):
    expected = pydicom_frame(ds, index)
    if expected is None:
        try:  # still a clean answer, whatever it is
            dicom.pixels(source, index)
        except (PixelDataError, UnsupportedTransferSyntaxError):
            pass
        pytest.skip("pydicom cannot decode this file")
    syntax = str(ds.file_meta.TransferSyntaxUID)
    if syntax == JPEG_EXTENDED and ds.BitsStored > 8:
        with pytest.raises(UnsupportedTransferSyntaxError, match="unsupported transfer syntax 1.2.840.10008.1.2.4.51"):
            dicom.pixels(source, index)
        return
    frame = dicom.pixels(source, index)
    values = np.asarray(frame)
    assert values.shape == expected.shape
    if syntax == JPEG_BASELINE:
        # Lossy DCT: libjpeg-turbo and pylibjpeg-libjpeg round their inverse transforms (and the YCbCr
        # conversion) differently, by a few levels on a few samples.
        difference = np.abs(values.astype(np.int64) - expected.astype(np.int64))
        assert difference.max() <= 3 and (difference > 0).mean() < 0.1
    else:
        assert (values.dtype.kind, values.dtype.itemsize) == (expected.dtype.kind, expected.dtype.itemsize)
        np.testing.assert_array_equal(values, expected)
    transformed = ("YBR_FULL", "YBR_FULL_422", "YBR_ICT", "YBR_RCT")
    photometric = ds.PhotometricInterpretation
    assert frame.photometric == ("RGB" if photometric in transformed else photometric)


@pytest.mark.parametrize(("path", "index"), corpus())
def test_stored_values_equal_pydicom(path, index):
    assert_as_pydicom(pydicom.dcmread(path), index, path)


def dicom_file(syntax, frames, image, bits_stored, photometric="MONOCHROME2"):
    """A Secondary Capture file of the encapsulated `frames` of `image` (frames x rows x columns [x samples])."""
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = syntax
    ds.file_meta.MediaStorageSOPClassUID = ds.SOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID = "1.2.3.4"
    ds.Rows, ds.Columns = image.shape[1:3]
    ds.SamplesPerPixel = image.shape[3] if image.ndim == 4 else 1
    ds.PhotometricInterpretation = photometric
    if ds.SamplesPerPixel > 1:
        ds.PlanarConfiguration = 0
    ds.BitsAllocated = image.dtype.itemsize * 8
    ds.BitsStored, ds.HighBit = bits_stored, bits_stored - 1
    ds.PixelRepresentation = int(image.dtype.kind == "i")
    ds.NumberOfFrames = len(frames)
    ds.PixelData = encapsulate(frames)
    ds["PixelData"].VR = "OB"
    buffer = io.BytesIO()
    ds.save_as(buffer, enforce_file_format=True)
    return buffer.getvalue()


HTJ2K = ["1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.202", "1.2.840.10008.1.2.4.203"]


@pytest.mark.parametrize(
    ("syntax", "dtype", "bits", "samples", "options"),
    [(HTJ2K[0], np.uint16, 12, 1, {}), (HTJ2K[1], np.int16, 16, 1, {}), (HTJ2K[0], np.uint8, 8, 3, {}),
     (HTJ2K[2], np.uint16, 16, 1, {"reversible": False, "qstep": 0.01}),
     (HTJ2K[2], np.int16, 16, 1, {"reversible": False, "qstep": 0.005})],
)  # fmt: skip
def test_htj2k_frames_equal_pydicom(syntax, dtype, bits, samples, options):
    ojph = pytest.importorskip("ojph")
    rng = np.random.default_rng(bits * samples)
    low, high = (-(1 << (bits - 1)), 1 << (bits - 1)) if np.dtype(dtype).kind == "i" else (0, 1 << bits)
    y, x = np.mgrid[0:40, 0:56]
    smooth = (x * 37 + y * 53) % (high - low) + low  # lossy coding keeps smooth images close
    shape = (2, 40, 56, samples) if samples > 1 else (2, 40, 56)
    noise = rng.integers(0, 8, shape)
    image = np.clip((smooth[..., None] if samples > 1 else smooth) + noise, low, high - 1).astype(dtype)
    frames = [ojph.imwrite_to_memory(f, **options).tobytes() for f in image]
    data = dicom_file(syntax, frames, image, bits, "RGB" if samples > 1 else "MONOCHROME2")
    ds = pydicom.dcmread(io.BytesIO(data))
    for index in (0, 1):
        assert_as_pydicom(ds, index, data)
    if options.get("reversible", True):
        np.testing.assert_array_equal(np.asarray(dicom.pixels(data, 1)), image[1])


@pytest.mark.parametrize("jp2_file", [False, True])
@pytest.mark.parametrize(
    ("dtype", "bits", "samples", "photometric"),
    [(np.uint16, 12, 1, "MONOCHROME2"), (np.int16, 16, 1, "MONOCHROME2"), (np.uint8, 8, 3, "YBR_RCT"),
     (np.int8, 5, 1, "MONOCHROME2")],
)  # fmt: skip
def test_jpeg_2000_codestreams_and_jp2_files_decode_to_what_was_encoded(jp2_file, dtype, bits, samples, photometric):
    openjpeg = pytest.importorskip("openjpeg")
    rng = np.random.default_rng(bits)
    low, high = (-(1 << (bits - 1)), 1 << (bits - 1)) if np.dtype(dtype).kind == "i" else (0, 1 << bits)
    image = rng.integers(low, high, (48, 67, samples) if samples > 1 else (48, 67)).astype(dtype)
    stream = openjpeg.encode(image, bits_stored=bits, photometric_interpretation=1 if samples > 1 else 0,
                             codec_format=1 if jp2_file else 0)  # fmt: skip
    assert stream[:4] == (b"\x00\x00\x00\x0c" if jp2_file else b"\xff\x4f\xff\x51")
    values, after = decode(JPEG_2000_LOSSLESS, stream, 48, 67, samples, image.itemsize * 8, bits,
                           np.dtype(dtype).kind == "i", photometric)  # fmt: skip
    np.testing.assert_array_equal(values, image)
    assert after == ("RGB" if photometric == "YBR_RCT" else "")


# -------------------------------------------------------------------------------------------------
# JPEG Lossless streams made here: Huffman coded, one table with a 5-bit code for every category.


class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.value = 0
        self.count = 0

    def write(self, value, bits):
        for shift in range(bits - 1, -1, -1):
            self.value = (self.value << 1) | ((value >> shift) & 1)
            self.count += 1
            if self.count == 8:
                self.out.append(self.value)
                if self.value == 0xFF:
                    self.out.append(0)
                self.value = self.count = 0

    def flush(self):
        while self.count:
            self.write(1, 1)


def predict(plane, x, y, predictor, interval_row, start, initial):
    if start:
        return initial
    if y == interval_row:
        return int(plane[y, x - 1])
    if x == 0:
        return int(plane[y - 1, x])
    a, b, c = int(plane[y, x - 1]), int(plane[y - 1, x]), int(plane[y - 1, x - 1])
    return [a, b, c, a + b - c, a + ((b - c) >> 1), b + ((a - c) >> 1), (a + b) >> 1][predictor - 1]


def encode_scan(image, components, predictor, precision, point_transform, restart, writer):
    rows, columns = image.shape[:2]
    initial = 1 << (precision - point_transform - 1)
    interval_row, start, left, marker = 0, True, restart, 0
    for y in range(rows):
        for x in range(columns):
            if restart:
                if left == 0:
                    writer.flush()
                    writer.out += bytes([0xFF, 0xD0 + marker])
                    marker = (marker + 1) % 8
                    left, start, interval_row = restart, True, y
                left -= 1
            for c in components:
                plane = image[:, :, c]
                difference = (int(plane[y, x]) - predict(plane, x, y, predictor, interval_row, start, initial)) & 0xFFFF
                if difference >= 0x8000:
                    difference -= 0x10000
                category = 16 if difference == -0x8000 else abs(difference).bit_length()
                writer.write(category, 5)
                if 0 < category < 16:
                    writer.write(difference if difference > 0 else difference + (1 << category) - 1, category)
            start = False
    writer.flush()


def segment(marker, body):
    return bytes([0xFF, marker]) + struct.pack(">H", len(body) + 2) + body


def encode_lossless(image, precision, predictor=1, point_transform=0, restart=0, scan_per_component=False):
    """A JPEG Lossless (process 14) stream of `image` (rows x columns x components, already shifted right by
    the point transform)."""
    rows, columns, count = image.shape
    out = bytearray(b"\xff\xd8")
    sof = struct.pack(">BHHB", precision, rows, columns, count)
    sof += b"".join(bytes([c + 1, 0x11, 0]) for c in range(count))
    out += segment(0xC3, sof)
    out += segment(0xC4, bytes([0x00]) + bytes([0, 0, 0, 0, 17] + [0] * 11) + bytes(range(17)))
    if restart:
        out += segment(0xDD, struct.pack(">H", restart))
    scans = [[c] for c in range(count)] if scan_per_component else [list(range(count))]
    for components in scans:
        sos = bytes([len(components)]) + b"".join(bytes([c + 1, 0x00]) for c in components)
        out += segment(0xDA, sos + bytes([predictor, 0, point_transform]))
        writer = BitWriter()
        encode_scan(image, components, predictor, precision, point_transform, restart, writer)
        out += writer.out
    return bytes(out + b"\xff\xd9")


def sample_image(rows, columns, count, precision, seed):
    """Smooth gradients with noise and a few extremes, so every category and wrap-around shows up."""
    rng = np.random.default_rng(seed)
    top = (1 << precision) - 1
    y, x = np.mgrid[0:rows, 0:columns]
    planes = []
    for c in range(count):
        plane = (x * (top // max(columns, 1)) + y * (c + 1) * 3 + rng.integers(0, 4, (rows, columns))) % (top + 1)
        plane[0, 0], plane[-1, -1], plane[rows // 2, columns // 2] = top, 0, top
        planes.append(plane)
    return np.stack(planes, axis=-1).astype(np.uint16)


@pytest.mark.parametrize("predictor", range(1, 8))
@pytest.mark.parametrize(
    ("precision", "point_transform", "restart", "count", "scan_per_component"),
    [(8, 0, 0, 1, False), (16, 0, 0, 1, False), (12, 2, 0, 1, False), (2, 0, 0, 1, False),
     (16, 0, 23, 1, False), (8, 1, 46, 3, False), (6, 0, 23, 3, False), (10, 0, 0, 3, True)],
)  # fmt: skip
def test_lossless_streams_decode_as_pylibjpeg_libjpeg_does(predictor, precision, point_transform, restart, count,
                                                           scan_per_component):  # fmt: skip
    rows, columns = 19, 23
    shifted = sample_image(rows, columns, count, precision - point_transform, seed=predictor * 31 + precision)
    stream = encode_lossless(shifted, precision, predictor, point_transform, restart, scan_per_component)
    allocated = 8 if precision <= 8 else 16
    photometric = "RGB" if count == 3 else "MONOCHROME2"
    values, _ = decode(JPEG_LOSSLESS, stream, rows, columns, count, allocated, precision, False, photometric)
    original = (shifted.astype(np.int64) << point_transform).reshape(values.shape)
    np.testing.assert_array_equal(values, original)
    if point_transform == 0:
        # pylibjpeg-libjpeg starts a point-transformed scan from 2^(P-1), not the 2^(P-Pt-1) of the
        # standard; lossless DICOM data never carry a point transform.
        np.testing.assert_array_equal(np.asarray(libjpeg.decode(stream)).reshape(values.shape), original)


def test_a_restart_interval_splitting_a_row_is_refused():
    stream = encode_lossless(sample_image(4, 10, 1, 8, seed=1), 8, restart=5)
    with pytest.raises(CodecError, match="restart interval 5 is not a whole number of rows of 10"):
        decode(JPEG_LOSSLESS, stream, 4, 10)


def test_lossless_signed_samples_are_sign_extended():
    rows, columns = 8, 9
    signed = np.arange(-36, 36, dtype=np.int16).reshape(rows, columns) * 50
    stream = encode_lossless((signed.astype(np.int64) & 0xFFF).astype(np.uint16)[..., None], 12)
    values, _ = decode(JPEG_LOSSLESS_SV1, stream, rows, columns, 1, 16, 12, True)
    assert values.dtype == np.int16
    np.testing.assert_array_equal(values, signed)


# -------------------------------------------------------------------------------------------------
# Hostile streams: a clear error from the header, before any allocation, and never a crash.


def first_frame(name):
    ds = pydicom.dcmread(get_testdata_file(name))
    return ds, frames_of(ds)[0]


def decode_like(ds, frame, **changes):
    fields = dict(ts=str(ds.file_meta.TransferSyntaxUID), rows=ds.Rows, columns=ds.Columns,
                  samples=ds.SamplesPerPixel, bits_allocated=ds.BitsAllocated, bits_stored=ds.BitsStored,
                  signed=ds.PixelRepresentation == 1, photometric=ds.PhotometricInterpretation)  # fmt: skip
    fields.update(changes)
    ts = fields.pop("ts")
    return decode(ts, frame, **fields)


def patch_sof(frame, marker, rows, columns):
    at = frame.find(bytes([0xFF, marker]))
    return frame[: at + 5] + struct.pack(">HH", rows, columns) + frame[at + 9 :]


@pytest.mark.parametrize(
    ("name", "marker"),
    [("SC_rgb_jpeg_dcmtk.dcm", 0xC0), ("MR_small_jpeg_ls_lossless.dcm", 0xF7), ("SC_rgb_jpeg_gdcm.dcm", 0xC3)],
)
def test_a_stream_claiming_a_larger_size_than_the_attributes_is_too_large(name, marker):
    ds, frame = first_frame(name)
    with pytest.raises(CodecError, match=r"65535x65535 with \d components, but Columns x Rows is") as failed:
        decode_like(ds, patch_sof(frame, marker, 65535, 65535))
    assert failed.value.code == "too_large"


@pytest.mark.parametrize(
    ("name", "marker"),
    [("SC_rgb_jpeg_dcmtk.dcm", 0xC0), ("MR_small_jpeg_ls_lossless.dcm", 0xF7), ("SC_rgb_jpeg_gdcm.dcm", 0xC3)],
)
def test_a_huge_size_the_attributes_agree_with_is_refused_before_decoding(name, marker):
    ds, frame = first_frame(name)
    with pytest.raises(CodecError, match="exceeds the decoder's limit") as failed:
        decode_like(ds, patch_sof(frame, marker, 65500, 65500), rows=65500, columns=65500)
    assert failed.value.code == "too_large"


@pytest.mark.parametrize(
    "name",
    ["SC_rgb_jpeg_dcmtk.dcm", "MR_small_jpeg_ls_lossless.dcm", "SC_rgb_jpeg_gdcm.dcm", "MR_small_jp2klossless.dcm"],
)
def test_attributes_disagreeing_with_the_stream_are_refused(name):
    ds, frame = first_frame(name)
    with pytest.raises(CodecError, match=f"stream is {ds.Columns}x{ds.Rows} with") as failed:
        decode_like(ds, frame, rows=ds.Rows // 2)
    assert failed.value.code == "too_large"
    with pytest.raises(CodecError, match="components, but") as failed:
        decode_like(ds, frame, samples=4 - ds.SamplesPerPixel)
    assert failed.value.code == "too_large"


@pytest.mark.parametrize(
    ("name", "cut"),
    [("MR_small_jp2klossless.dcm", 0.5), ("MR_small_jp2klossless.dcm", 0.05), ("SC_rgb_jpeg_gdcm.dcm", 0.5),
     ("SC_rgb_jpeg_dcmtk.dcm", 0.9), ("SC_jpeg_no_color_transform.dcm", 0.5),
     ("MR_small_jpeg_ls_lossless.dcm", 0.5), ("MR_small_jpeg_ls_lossless.dcm", 0.01)],
)  # fmt: skip
def test_a_truncated_stream_fails_to_decode(name, cut):
    ds, frame = first_frame(name)
    with pytest.raises(CodecError) as failed:
        decode_like(ds, frame[: int(len(frame) * cut)])
    assert failed.value.code == "decode_failed"


@pytest.mark.parametrize("ts", sorted(COVERED))
@pytest.mark.parametrize("frame", [b"", b"\x00" * 64, b"\xff\xd8\xff\xd9", b"\xff\x4f\xff\x51" + b"\x00" * 40])
def test_bytes_that_are_no_stream_fail_to_decode(ts, frame):
    with pytest.raises(CodecError) as failed:
        decode(ts, frame, 16, 16)
    assert failed.value.code == "decode_failed"


@pytest.mark.parametrize(("name", "filed_as"), [("SC_rgb_jpeg_dcmtk.dcm", JPEG_LOSSLESS_SV1),
                                               ("SC_rgb_jpeg_gdcm.dcm", JPEG_BASELINE)])
def test_a_stream_filed_under_the_other_jpeg_process_is_still_decoded(name, filed_as):
    ds, frame = first_frame(name)
    np.testing.assert_array_equal(decode_like(ds, frame, ts=filed_as)[0], decode_like(ds, frame)[0])


def test_a_stream_of_higher_precision_than_bits_allocated_is_refused():
    ds, frame = first_frame("MR_small_jpeg_ls_lossless.dcm")
    with pytest.raises(CodecError, match="16-bit samples, which do not fit Bits Allocated 8"):
        decode_like(ds, frame, bits_allocated=8, bits_stored=8)


STREAMS = ["SC_rgb_jpeg_dcmtk.dcm", "SC_rgb_jpeg_gdcm.dcm", "JPEGLSNearLossless_08.dcm", "MR_small_jp2klossless.dcm"]


@settings(max_examples=60)
@given(name=st.sampled_from(STREAMS), data=st.data())
def test_damaged_streams_decode_or_fail_cleanly(name, data):
    ds, frame = first_frame(name)
    damaged = bytearray(frame)
    for _ in range(data.draw(st.integers(1, 8))):
        damaged[data.draw(st.integers(0, len(damaged) - 1))] = data.draw(st.integers(0, 255))
    try:
        values, _ = decode_like(ds, bytes(damaged))
    except CodecError as error:
        assert error.code in {"decode_failed", "too_large", "unsupported_transfer_syntax"}
    else:
        assert values.shape[:2] == (ds.Rows, ds.Columns)


def test_a_file_whose_rows_disagree_with_its_jpeg_stream_raises_pixel_data_error():
    ds = pydicom.dcmread(get_testdata_file("SC_rgb_jpeg_dcmtk.dcm"))
    ds.Rows = 50
    buffer = io.BytesIO()
    ds.save_as(buffer)
    with pytest.raises(PixelDataError, match="JPEG stream is 100x100 with 3 components, but Columns x Rows is 100x50"):
        dicom.pixels(buffer.getvalue())


@settings(max_examples=80)
@given(
    rows=st.integers(1, 9), columns=st.integers(1, 9), count=st.sampled_from([1, 3]), precision=st.integers(2, 16),
    predictor=st.integers(1, 7), restart_rows=st.integers(0, 3), seed=st.integers(0, 2**32 - 1),
)  # fmt: skip
def test_any_lossless_stream_decodes_to_its_samples(rows, columns, count, precision, predictor, restart_rows, seed):
    image = np.random.default_rng(seed).integers(0, 1 << precision, (rows, columns, count)).astype(np.uint16)
    stream = encode_lossless(image, precision, predictor, restart=restart_rows * columns)
    values, _ = decode(JPEG_LOSSLESS, stream, rows, columns, count, 8 if precision <= 8 else 16, precision)
    np.testing.assert_array_equal(values.reshape(image.shape), image)
    np.testing.assert_array_equal(np.asarray(libjpeg.decode(stream)).reshape(image.shape), image)
