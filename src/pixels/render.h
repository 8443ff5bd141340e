// The display pipeline: one frame of stored values to an 8-bit grey or RGB image people can look at,
// and that image as PNG.
//
// Grey images go stored value -> Modality LUT (rescale, or a LUT) -> VOI (a window with its function,
// or a VOI LUT) -> 0..255, inverted for MONOCHROME1 and for Presentation LUT Shape INVERSE (both
// together cancel). The window is the caller's, else the file's first (the frame's functional groups
// first), else the file's VOI LUT, else the range of the modality values without padding, mapped
// linearly onto 0..255. PALETTE COLOR goes through its palettes, YBR_FULL and YBR_FULL_422 through
// the full-range YCbCr equations, RGB as it is; each scaled from its bits to 8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pixels/frame.h"
#include "pixels/pixel_status.h"
#include "pixels/render_attributes.h"

namespace zanthe::pixels {

struct RenderedImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t channels = 1;          // 1 grey, 3 RGB
  std::vector<std::uint8_t> pixels;    // rows of width x channels bytes
  std::optional<Window> window;        // the window applied, for grey images shown through one
};

// Renders one frame. `requested` replaces the file's window (its VOI LUT Function still applies).
[[nodiscard]] PixelStatus render_frame(const Frame& frame, const DisplayAttributes& attributes,
                                       const std::optional<Window>& requested, RenderedImage& out);

// Shrinks the image so that its larger side is at most `max_side` (0: no limit), keeping the aspect
// ratio (each side rounded, at least 1). Every output pixel is the exact box average of the source
// area it covers, pixels cut by the box's edges counting by the fraction inside it.
void downscale_to_fit(RenderedImage& image, std::uint32_t max_side);

// 8-bit grey or RGB PNG: zlib level 1, the Up filter on every row, not interlaced. Large images are
// deflated in strips on several threads, still one zlib stream.
[[nodiscard]] PixelStatus encode_png(const RenderedImage& image, std::vector<std::uint8_t>& png);

struct RenderRequest {
  std::uint32_t frame = 0;
  std::optional<Window> window;
  std::uint32_t max_size = 0;  // 0: the frame's own size
};

struct RenderOutcome {
  ImagePixel image;        // of the file
  RenderedImage rendered;  // after downscaling
  std::vector<std::uint8_t> png;
};

// The whole way from a file's bytes to PNG.
[[nodiscard]] PixelStatus render_png(const std::uint8_t* data, std::size_t size, const RenderRequest& request,
                                     RenderOutcome& out);

}  // namespace zanthe::pixels
