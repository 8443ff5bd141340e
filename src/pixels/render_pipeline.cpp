#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "pixels/render.h"

namespace zanthe::pixels {
namespace {

constexpr double kOutputMax = 255.0;

[[nodiscard]] PixelStatus failure(PixelCode code, std::string detail) { return PixelStatus{code, std::move(detail)}; }

template <typename T>
[[nodiscard]] std::int64_t load(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof(T));
  return static_cast<std::int64_t>(value);
}

// Sample `i` of the frame's stored values.
[[nodiscard]] std::int64_t stored_value(const Frame& frame, std::size_t i) {
  const std::uint8_t* base = frame.bytes.data();
  switch (frame.type) {
    case SampleType::u8: return base[i];
    case SampleType::i8: return static_cast<std::int8_t>(base[i]);
    case SampleType::u16: return load<std::uint16_t>(base + i * 2);
    case SampleType::i16: return load<std::int16_t>(base + i * 2);
    case SampleType::u32: return load<std::uint32_t>(base + i * 4);
    case SampleType::i32: return load<std::int32_t>(base + i * 4);
  }
  return 0;
}

[[nodiscard]] std::uint8_t to_byte(double y) {
  if (!(y >= 0)) return 0;  // NaN too: a slope of 0 over a window of width 0, say
  return static_cast<std::uint8_t>(std::lround(std::min(y, kOutputMax)));
}

// An entry of `bits` bits scaled onto 0..255.
[[nodiscard]] std::uint8_t scaled_to_byte(double value, unsigned bits) {
  const double top = std::ldexp(1.0, static_cast<int>(bits)) - 1;
  return to_byte(value * kOutputMax / top);
}

// The window functions with the output range 0..255.
[[nodiscard]] double window_linear(double x, Window w) {
  const double width = std::max(w.width, 1.0);
  const double below = w.center - 0.5 - (width - 1) / 2;
  const double above = w.center - 0.5 + (width - 1) / 2;
  if (x <= below) return 0;
  if (x > above) return kOutputMax;
  return ((x - (w.center - 0.5)) / (width - 1) + 0.5) * kOutputMax;
}

[[nodiscard]] double window_linear_exact(double x, Window w) {
  if (x <= w.center - w.width / 2) return 0;
  if (x > w.center + w.width / 2) return kOutputMax;
  return ((x - w.center) / w.width + 0.5) * kOutputMax;
}

[[nodiscard]] double window_sigmoid(double x, Window w) {
  return kOutputMax / (1 + std::exp(-4 * (x - w.center) / w.width));
}

struct GreyMapping {
  const DisplayAttributes& attributes;
  std::optional<Window> window;  // nullopt: the VOI LUT
  VoiFunction function = VoiFunction::linear;
  bool invert = false;

  [[nodiscard]] double modality(std::int64_t stored) const {
    if (attributes.modality_lut) return attributes.modality_lut->at(stored);
    return static_cast<double>(stored) * attributes.rescale_slope + attributes.rescale_intercept;
  }

  [[nodiscard]] std::uint8_t display(std::int64_t stored) const {
    const double value = modality(stored);
    std::uint8_t y = 0;
    if (!window) {
      const LookupTable& lut = *attributes.voi_lut;
      y = scaled_to_byte(lut.at(static_cast<std::int64_t>(std::floor(value))), lut.bits);
    } else {
      switch (function) {
        case VoiFunction::linear: y = to_byte(window_linear(value, *window)); break;
        case VoiFunction::linear_exact: y = to_byte(window_linear_exact(value, *window)); break;
        case VoiFunction::sigmoid: y = to_byte(window_sigmoid(value, *window)); break;
      }
    }
    return invert ? static_cast<std::uint8_t>(255 - y) : y;
  }
};

// The window that maps the smallest modality value of the frame (padding left out) to 0 and the
// largest to 255 under the linear function.
[[nodiscard]] Window range_window(const Frame& frame, const GreyMapping& mapping, std::size_t count) {
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  const auto& padding = mapping.attributes.padding;
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t stored = stored_value(frame, i);
    if (padding && stored >= (*padding)[0] && stored <= (*padding)[1]) continue;
    const double value = mapping.modality(stored);
    low = std::min(low, value);
    high = std::max(high, value);
  }
  if (low > high) low = high = 0;  // nothing but padding
  return Window{(low + high + 1) / 2, high - low + 1};
}

// The frame's samples read as one type; loads go through memcpy, so the bytes need no alignment and
// no aliasing rule is bent, and the compiler still sees fixed-size loads it can vectorise.
template <typename Sample>
struct Samples {
  using Type = Sample;
  const std::uint8_t* base;
  [[nodiscard]] Sample operator[](std::size_t i) const {
    Sample value;
    std::memcpy(&value, base + i * sizeof(Sample), sizeof(Sample));
    return value;
  }
};

// Calls `body` with the frame's samples at their own type, so each pass is one plain loop.
template <typename Body>
decltype(auto) with_samples(const Frame& frame, Body&& body) {
  const std::uint8_t* base = frame.bytes.data();
  switch (frame.type) {
    case SampleType::u8: return body(Samples<std::uint8_t>{base});
    case SampleType::i8: return body(Samples<std::int8_t>{base});
    case SampleType::u16: return body(Samples<std::uint16_t>{base});
    case SampleType::i16: return body(Samples<std::int16_t>{base});
    case SampleType::u32: return body(Samples<std::uint32_t>{base});
    case SampleType::i32: break;
  }
  return body(Samples<std::int32_t>{base});
}

struct ValueRange {
  std::int64_t low = 0, high = 0;
};

[[nodiscard]] ValueRange stored_range(const Frame& frame, std::size_t count) {
  return with_samples(frame, [count](auto values) {
    using Sample = typename decltype(values)::Type;
    Sample low = values[0], high = values[0];
    for (std::size_t i = 1; i < count; ++i) {
      low = std::min(low, values[i]);
      high = std::max(high, values[i]);
    }
    return ValueRange{static_cast<std::int64_t>(low), static_cast<std::int64_t>(high)};
  });
}

// A table of every stored value between the frame's least and greatest pays when it is no longer
// than the frame itself (or 64 Ki entries, the whole of a 16-bit frame's range).
[[nodiscard]] bool table_pays(ValueRange range, std::size_t count) {
  const auto span = static_cast<std::uint64_t>(range.high - range.low) + 1;
  return span <= std::max<std::uint64_t>(count, 65536);
}

[[nodiscard]] PixelStatus render_grey(const Frame& frame, const DisplayAttributes& attributes,
                                      const std::optional<Window>& requested, std::string_view photometric,
                                      RenderedImage& out) {
  const std::size_t count = out.pixels.size();
  GreyMapping mapping{attributes, std::nullopt, VoiFunction::linear, false};
  mapping.invert = (photometric == "MONOCHROME1") != attributes.presentation_inverse;
  if (requested) {
    mapping.window = requested;
    mapping.function = attributes.voi_function;
  } else if (attributes.window) {
    mapping.window = attributes.window;
    mapping.function = attributes.voi_function;
  } else if (!attributes.voi_lut) {
    mapping.window = range_window(frame, mapping, count);
  }
  if (mapping.window && mapping.function != VoiFunction::linear && !(mapping.window->width > 0)) {
    return failure(PixelCode::bad_attributes, "the window width must be above 0");
  }
  out.window = mapping.window;
  const ValueRange range = stored_range(frame, count);
  if (table_pays(range, count)) {
    // Each stored value the frame holds mapped once, then a lookup per pixel.
    std::vector<std::uint8_t> table(static_cast<std::size_t>(range.high - range.low) + 1);
    for (std::size_t v = 0; v < table.size(); ++v) table[v] = mapping.display(range.low + static_cast<std::int64_t>(v));
    with_samples(frame, [&](auto values) {
      for (std::size_t i = 0; i < count; ++i) out.pixels[i] = table[static_cast<std::size_t>(values[i] - range.low)];
    });
  } else {
    for (std::size_t i = 0; i < count; ++i) out.pixels[i] = mapping.display(stored_value(frame, i));
  }
  return {};
}

void render_palette(const Frame& frame, const std::array<LookupTable, 3>& palette, RenderedImage& out) {
  const std::size_t count = static_cast<std::size_t>(out.width) * out.height;
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t index = stored_value(frame, i);
    for (std::size_t c = 0; c < 3; ++c) out.pixels[i * 3 + c] = scaled_to_byte(palette[c].at(index), palette[c].bits);
  }
}

enum class ColourSpace : std::uint8_t { rgb, ybr_full, ybr_partial };

[[nodiscard]] ColourSpace colour_space_of(std::string_view photometric) {
  if (photometric == "YBR_FULL" || photometric == "YBR_FULL_422") return ColourSpace::ybr_full;
  if (photometric == "YBR_PARTIAL_422" || photometric == "YBR_PARTIAL_420") return ColourSpace::ybr_partial;
  return ColourSpace::rgb;
}

void render_colour(const Frame& frame, ColourSpace space, RenderedImage& out) {
  const unsigned bits = std::clamp<unsigned>(frame.image.bits_stored, 1, 32);
  const double top = std::ldexp(1.0, static_cast<int>(bits)) - 1;
  const double half = std::ldexp(1.0, static_cast<int>(bits) - 1);
  const double black = std::ldexp(16.0, static_cast<int>(bits) - 8);  // the partial range's Y offset
  const std::size_t count = static_cast<std::size_t>(out.width) * out.height;
  for (std::size_t i = 0; i < count; ++i) {
    const double a = static_cast<double>(stored_value(frame, i * 3));
    const double b = static_cast<double>(stored_value(frame, i * 3 + 1));
    const double c = static_cast<double>(stored_value(frame, i * 3 + 2));
    std::array<double, 3> rgb{a, b, c};
    if (space == ColourSpace::ybr_full) {
      const double cb = b - half;
      const double cr = c - half;
      rgb = {a + 1.402 * cr, a - (0.114 * 1.772 / 0.587) * cb - (0.299 * 1.402 / 0.587) * cr, a + 1.772 * cb};
    } else if (space == ColourSpace::ybr_partial) {
      const double y = 1.1644 * (a - black);
      const double cb = b - half;
      const double cr = c - half;
      rgb = {y + 1.5960 * cr, y - 0.3918 * cb - 0.8130 * cr, y + 2.0172 * cb};
    }
    for (std::size_t k = 0; k < 3; ++k) {
      out.pixels[i * 3 + k] = to_byte(std::clamp(rgb[k], 0.0, top) * kOutputMax / top);
    }
  }
}

}  // namespace

PixelStatus render_frame(const Frame& frame, const DisplayAttributes& attributes,
                         const std::optional<Window>& requested, RenderedImage& out) {
  out = RenderedImage{};
  const ImagePixel& image = frame.image;
  const std::uint32_t samples = image.samples_per_pixel;
  const std::string_view photometric =
      frame.photometric_after_decoding.empty() ? std::string_view(image.photometric) : frame.photometric_after_decoding;
  if (samples != 1 && samples != 3) {
    return failure(PixelCode::bad_attributes, "cannot display " + std::to_string(samples) + " samples per pixel");
  }
  const std::size_t count = static_cast<std::size_t>(image.rows) * image.columns;
  if (count == 0 || frame.bytes.size() < count * samples * sample_size(frame.type)) {
    return failure(PixelCode::truncated, "the frame holds fewer values than rows x columns x samples");
  }
  out.width = image.columns;
  out.height = image.rows;
  const bool palette = samples == 1 && photometric == "PALETTE COLOR";
  out.channels = samples == 3 || palette ? 3 : 1;
  out.pixels.resize(count * out.channels);
  if (palette) {
    if (!attributes.palette) return failure(PixelCode::bad_attributes, "PALETTE COLOR without palettes");
    render_palette(frame, *attributes.palette, out);
    return {};
  }
  if (samples == 3) {
    render_colour(frame, colour_space_of(photometric), out);
    return {};
  }
  return render_grey(frame, attributes, requested, photometric, out);
}

}  // namespace zanthe::pixels
