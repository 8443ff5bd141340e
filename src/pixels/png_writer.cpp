// PNG output written here, chunk by chunk (signature, IHDR, IDAT, IEND, each with zlib's CRC-32), rather
// than through libspng or libpng: neither accepts a zlib stream made outside it, and this one is made in
// parallel. Deflate is most of a render (about 62% of a 512x512 CT slice, 73% of a 2000x2500 mammogram,
// beside 8% in libspng itself), and zlib level 1 on one thread is as fast as one thread goes. So the
// Up-filtered rows are cut into strips of whole rows, about one a hardware thread but none under 64 KiB
// (small images stay on the calling thread), and each strip is raw-deflated on its own thread, primed
// with the 32 KiB of filtered bytes before it so the ratio stays that of one stream. Every strip but the
// last ends in a sync flush (byte-aligned, not final), the last in a finish; behind a zlib header and
// closed by the Adler-32 of all the data, combined from the strips' own, they read as one zlib stream.
#define ZLIB_CONST  // zlib reads its input through pointers to const
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "pixels/render.h"

namespace zanthe::pixels {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint8_t up_filter = 2;
constexpr std::size_t min_strip_bytes = std::size_t{64} << 10;  // below this a thread costs more than it saves
constexpr std::size_t max_strip_bytes = std::size_t{1} << 30;   // keeps a strip's deflate under one IDAT's limit
constexpr std::size_t piece_bytes = std::size_t{64} << 10;      // filtered rows handed to deflate at a time
constexpr std::size_t window_bytes = std::size_t{32} << 10;     // deflate's window: the dictionary a strip gets
constexpr std::size_t max_chunk_bytes = std::size_t{1} << 30;   // IDAT data per chunk (PNG allows 2^31 - 1)
constexpr std::uint32_t max_png_side = 0x7FFFFFFFu;
constexpr std::array<std::uint8_t, 8> png_signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::array<std::uint8_t, 2> zlib_header{0x78, 0x01};  // deflate, 32 KiB window, fastest level

struct Layout {
  std::size_t row_bytes = 0;       // of the image
  std::size_t filtered_row = 0;    // the filter byte and the row
  std::uint32_t height = 0;
};

struct Strip {
  std::uint32_t first_row = 0;
  std::uint32_t end_row = 0;
  std::vector<std::uint8_t> deflated;
  std::size_t deflated_size = 0;
  uLong adler = 1;                 // of the strip's filtered bytes
  PixelStatus status;
};

[[nodiscard]] PixelStatus failure(std::string detail) {
  return PixelStatus{PixelCode::encode_failed, "PNG: " + std::move(detail)};
}

// Rows [first, end) with the Up filter, written to `out` (room for (end - first) filtered rows).
void filter_rows(const RenderedImage& image, const Layout& layout, std::uint32_t first, std::uint32_t end,
                 std::uint8_t* out) {
  for (std::uint32_t row = first; row < end; ++row, out += layout.filtered_row) {
    const std::uint8_t* current = image.pixels.data() + row * layout.row_bytes;
    out[0] = up_filter;
    if (row == 0) {  // the row above the first is zeros
      std::memcpy(out + 1, current, layout.row_bytes);
      continue;
    }
    const std::uint8_t* above = current - layout.row_bytes;
    for (std::size_t i = 0; i < layout.row_bytes; ++i) out[1 + i] = static_cast<std::uint8_t>(current[i] - above[i]);
  }
}

// Deflates `input`, then does `flush`, growing `strip.deflated` as it needs. zlib counts in 32 bits:
// input larger than that goes in slices, unflushed but for the last.
[[nodiscard]] bool deflate_input(z_stream& stream, Bytes input, int flush, Strip& strip) {
  do {
    const std::size_t slice = std::min<std::size_t>(input.size(), UINT_MAX);
    stream.next_in = input.data();
    stream.avail_in = static_cast<uInt>(slice);
    input = input.subspan(slice);
    const int step_flush = input.empty() ? flush : Z_NO_FLUSH;
    for (;;) {
      if (strip.deflated_size == strip.deflated.size()) {
        strip.deflated.resize(std::max<std::size_t>(strip.deflated.size() * 2, 4096));
      }
      stream.next_out = strip.deflated.data() + strip.deflated_size;
      const std::size_t room = strip.deflated.size() - strip.deflated_size;
      stream.avail_out = static_cast<uInt>(std::min<std::size_t>(room, UINT_MAX));
      const uInt offered = stream.avail_out;
      const int result = deflate(&stream, step_flush);
      strip.deflated_size += offered - stream.avail_out;
      if (result == Z_STREAM_ERROR || (result == Z_BUF_ERROR && stream.avail_out != 0)) return false;
      // With room left over, deflate has taken all its input and done the flush asked for.
      if (step_flush == Z_FINISH ? result == Z_STREAM_END : stream.avail_out != 0) break;
    }
  } while (!input.empty());
  return true;
}

struct DeflateStream {
  z_stream stream{};
  bool open = false;
  ~DeflateStream() {
    if (open) deflateEnd(&stream);
  }
};

// The last 32 KiB of filtered bytes before the strip's first row, so its matches can reach back across
// the seam as one stream's would.
[[nodiscard]] bool prime_with_preceding_rows(const RenderedImage& image, const Layout& layout, z_stream& stream,
                                             std::uint32_t first_row) {
  const std::uint32_t rows = static_cast<std::uint32_t>(
      std::min<std::size_t>(first_row, (window_bytes + layout.filtered_row - 1) / layout.filtered_row));
  std::vector<std::uint8_t> preceding(rows * layout.filtered_row);
  filter_rows(image, layout, first_row - rows, first_row, preceding.data());
  const std::size_t size = std::min(preceding.size(), window_bytes);
  return deflateSetDictionary(&stream, preceding.data() + (preceding.size() - size), static_cast<uInt>(size)) == Z_OK;
}

void deflate_strip(const RenderedImage& image, const Layout& layout, bool last, Strip& strip) {
  DeflateStream deflater;
  z_stream& stream = deflater.stream;
  if (deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    strip.status = failure("deflate did not start");
    return;
  }
  deflater.open = true;
  if (strip.first_row > 0 && !prime_with_preceding_rows(image, layout, stream, strip.first_row)) {
    strip.status = failure("deflate refused its dictionary");
    return;
  }
  const std::size_t strip_bytes = (strip.end_row - strip.first_row) * layout.filtered_row;
  strip.deflated.resize(deflateBound(&stream, strip_bytes) + 16);  // the sync flush's empty block beyond the bound
  const std::uint32_t rows_per_piece =
      static_cast<std::uint32_t>(std::max<std::size_t>(1, piece_bytes / layout.filtered_row));
  std::vector<std::uint8_t> piece(std::min<std::size_t>(rows_per_piece, strip.end_row - strip.first_row) *
                                  layout.filtered_row);
  for (std::uint32_t row = strip.first_row; row < strip.end_row;) {
    const std::uint32_t end = row + std::min(rows_per_piece, strip.end_row - row);
    const std::size_t size = (end - row) * layout.filtered_row;
    filter_rows(image, layout, row, end, piece.data());
    strip.adler = adler32_z(strip.adler, piece.data(), size);
    const int flush = end < strip.end_row ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
    if (!deflate_input(stream, Bytes(piece.data(), size), flush, strip)) {
      strip.status = failure("deflate failed");
      return;
    }
    row = end;
  }
}

// A strip's work with nothing thrown out of it: it may run on a thread of its own.
void deflate_strip_caught(const RenderedImage& image, const Layout& layout, bool last, Strip& strip) noexcept {
  try {
    deflate_strip(image, layout, last, strip);
  } catch (const std::bad_alloc&) {
    strip.status = failure("out of memory deflating rows " + std::to_string(strip.first_row) + " to " +
                           std::to_string(strip.end_row));
  }
}

// About one strip a hardware thread, none under min_strip_bytes nor over max_strip_bytes (but at least a
// row), the rows shared out evenly.
[[nodiscard]] std::vector<Strip> plan_strips(const Layout& layout) {
  const std::size_t total = layout.filtered_row * layout.height;
  const std::size_t threads = std::max(1u, std::thread::hardware_concurrency());
  std::size_t count = std::min(threads, std::max<std::size_t>(1, total / min_strip_bytes));
  count = std::max(count, (total + max_strip_bytes - 1) / max_strip_bytes);
  count = std::min<std::size_t>(count, layout.height);
  std::vector<Strip> strips(count);
  for (std::size_t i = 0; i < count; ++i) {
    strips[i].first_row = static_cast<std::uint32_t>(i * layout.height / count);
    strips[i].end_row = static_cast<std::uint32_t>((i + 1) * layout.height / count);
  }
  return strips;
}

// Strips after the first on threads of their own, the first on this one. A thread that cannot be started
// leaves its strip to this thread.
void deflate_strips(const RenderedImage& image, const Layout& layout, std::vector<Strip>& strips) {
  const std::size_t last = strips.size() - 1;
  std::vector<std::jthread> threads;
  threads.reserve(last);
  std::vector<std::size_t> left_over;
  for (std::size_t i = 1; i < strips.size(); ++i) {
    try {
      threads.emplace_back(deflate_strip_caught, std::cref(image), std::cref(layout), i == last, std::ref(strips[i]));
    } catch (const std::system_error&) {
      left_over.push_back(i);  // reserved above: no reallocation
    }
  }
  deflate_strip_caught(image, layout, last == 0, strips[0]);
  for (const std::size_t i : left_over) deflate_strip_caught(image, layout, i == last, strips[i]);
}  // the threads join here

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 24));
  out.push_back(static_cast<std::uint8_t>(value >> 16));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

void put_bytes(std::vector<std::uint8_t>& out, Bytes bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// One chunk: its length, type and data (given in up to three parts), and the CRC-32 of type and data.
void put_chunk(std::vector<std::uint8_t>& png, const char (&type)[5], Bytes head, Bytes body, Bytes tail) {
  put_u32(png, static_cast<std::uint32_t>(head.size() + body.size() + tail.size()));
  const std::size_t typed = png.size();
  png.insert(png.end(), type, type + 4);
  put_bytes(png, head);
  put_bytes(png, body);
  put_bytes(png, tail);
  put_u32(png, static_cast<std::uint32_t>(crc32_z(0, png.data() + typed, png.size() - typed)));
}

void put_header(std::vector<std::uint8_t>& png, const RenderedImage& image) {
  std::vector<std::uint8_t> header;
  put_u32(header, image.width);
  put_u32(header, image.height);
  const std::uint8_t colour_type = image.channels == 3 ? 2 : 0;  // truecolour, greyscale
  // 8 bits a sample, deflate, the adaptive filters (Up alone here), not interlaced.
  header.insert(header.end(), {std::uint8_t{8}, colour_type, 0, 0, 0});
  put_chunk(png, "IHDR", {}, header, {});
}

// The zlib stream as IDAT chunks, one a strip unless a strip outgrows a chunk: the header before the
// first strip's bytes, the Adler-32 of all the filtered data after the last's.
void put_image_data(std::vector<std::uint8_t>& png, const std::vector<Strip>& strips, const Layout& layout) {
  uLong adler = strips.front().adler;
  for (std::size_t i = 1; i < strips.size(); ++i) {
    const auto length = static_cast<z_off_t>((strips[i].end_row - strips[i].first_row) * layout.filtered_row);
    adler = adler32_combine(adler, strips[i].adler, length);
  }
  std::vector<std::uint8_t> trailer;
  put_u32(trailer, static_cast<std::uint32_t>(adler));
  for (std::size_t i = 0; i < strips.size(); ++i) {
    Bytes rest(strips[i].deflated.data(), strips[i].deflated_size);
    bool first_chunk = true;
    do {
      const Bytes body = rest.first(std::min(rest.size(), max_chunk_bytes));
      rest = rest.subspan(body.size());
      const bool stream_starts = i == 0 && first_chunk;
      const bool stream_ends = i + 1 == strips.size() && rest.empty();
      const Bytes head = stream_starts ? Bytes(zlib_header) : Bytes();
      put_chunk(png, "IDAT", head, body, stream_ends ? Bytes(trailer) : Bytes());
      first_chunk = false;
    } while (!rest.empty());
  }
}

[[nodiscard]] PixelStatus encode(const RenderedImage& image, std::vector<std::uint8_t>& png) {
  const Layout layout{.row_bytes = std::size_t{image.width} * image.channels,
                      .filtered_row = 1 + std::size_t{image.width} * image.channels,
                      .height = image.height};
  std::vector<Strip> strips = plan_strips(layout);
  deflate_strips(image, layout, strips);
  std::size_t deflated = 0;
  for (const Strip& strip : strips) {
    if (!strip.status.ok()) return strip.status;
    deflated += strip.deflated_size;
  }
  // Signature, IHDR, IEND and the zlib framing; 12 bytes each IDAT, a strip making more than one only
  // when it outgrows a chunk.
  png.reserve(png_signature.size() + 25 + 12 + 6 + deflated + 12 * (strips.size() + deflated / max_chunk_bytes));
  put_bytes(png, png_signature);
  put_header(png, image);
  put_image_data(png, strips, layout);
  put_chunk(png, "IEND", {}, {}, {});
  return {};
}

}  // namespace

PixelStatus encode_png(const RenderedImage& image, std::vector<std::uint8_t>& png) {
  png.clear();
  // The sides first: within PNG's limit, their product with the channels cannot overflow.
  if (image.width == 0 || image.height == 0 || image.width > max_png_side || image.height > max_png_side ||
      (image.channels != 1 && image.channels != 3) ||
      image.pixels.size() != static_cast<std::size_t>(image.width) * image.height * image.channels) {
    return failure("the image's size does not match its pixels");
  }
  try {
    PixelStatus status = encode(image, png);
    if (!status.ok()) png.clear();
    return status;
  } catch (const std::bad_alloc&) {
    png.clear();
    return failure("out of memory for a " + std::to_string(image.width) + "x" + std::to_string(image.height) +
                   " image");
  }
}

}  // namespace zanthe::pixels
