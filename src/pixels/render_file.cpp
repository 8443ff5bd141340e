// From a file's bytes to PNG: open, read the frame, gather the display attributes, render, shrink, encode.
#include "pixels/render.h"

namespace zanthe::pixels {

PixelStatus render_png(const std::uint8_t* data, std::size_t size, const RenderRequest& request, RenderOutcome& out) {
  out = RenderOutcome{};
  DicomImage image;
  if (PixelStatus status = open_image(data, size, image); !status.ok()) return status;
  out.image = image.image;
  Frame frame;
  if (PixelStatus status = read_frame(image, request.frame, frame); !status.ok()) return status;
  const DatasetView dataset(image.elements, image.encoding);
  const bool palette = frame.image.samples_per_pixel == 1 && frame.image.photometric == "PALETTE COLOR";
  DisplayAttributes attributes;
  if (PixelStatus status = read_display_attributes(dataset, frame.image.is_signed, request.frame, palette, attributes);
      !status.ok()) {
    return status;
  }
  if (PixelStatus status = render_frame(frame, attributes, request.window, out.rendered); !status.ok()) return status;
  downscale_to_fit(out.rendered, request.max_size);
  return encode_png(out.rendered, out.png);
}

}  // namespace zanthe::pixels
