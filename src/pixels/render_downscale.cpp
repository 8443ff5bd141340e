// Area-average downscaling, one axis at a time: output pixel k of an axis of n source pixels shrunk to m
// covers [k n / m, (k + 1) n / m), and each source pixel counts by the length of its overlap with that box.
#include <algorithm>
#include <cmath>

#include "pixels/render.h"

namespace zanthe::pixels {
namespace {

struct Box {
  std::size_t first = 0;
  std::vector<double> weights;  // for source pixels first, first + 1, ..., summing to 1
};

[[nodiscard]] std::vector<Box> boxes(std::uint32_t source, std::uint32_t target) {
  std::vector<Box> out(target);
  const double step = static_cast<double>(source) / target;
  for (std::uint32_t k = 0; k < target; ++k) {
    const double start = k * step;
    const double end = std::min<double>((k + 1) * step, source);
    Box& box = out[k];
    box.first = static_cast<std::size_t>(start);
    for (std::size_t i = box.first; static_cast<double>(i) < end; ++i) {
      const double overlap = std::min<double>(i + 1, end) - std::max<double>(i, start);
      box.weights.push_back(overlap / (end - start));
    }
  }
  return out;
}

// One source row averaged across: `out` holds one value per output column and channel.
void narrow_row(const std::uint8_t* row, const std::vector<Box>& across, std::size_t channels,
                std::vector<double>& out) {
  for (std::size_t x = 0; x < across.size(); ++x) {
    const Box& box = across[x];
    for (std::size_t c = 0; c < channels; ++c) {
      double sum = 0;
      for (std::size_t i = 0; i < box.weights.size(); ++i) sum += box.weights[i] * row[(box.first + i) * channels + c];
      out[x * channels + c] = sum;
    }
  }
}

[[nodiscard]] std::uint32_t scaled_side(std::uint32_t side, double scale) {
  return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround(side * scale)));
}

}  // namespace

void downscale_to_fit(RenderedImage& image, std::uint32_t max_side) {
  const std::uint32_t larger = std::max(image.width, image.height);
  if (max_side == 0 || larger <= max_side || image.pixels.empty()) return;
  const double scale = static_cast<double>(max_side) / larger;
  const std::uint32_t width = std::min(scaled_side(image.width, scale), max_side);
  const std::uint32_t height = std::min(scaled_side(image.height, scale), max_side);
  const std::size_t channels = image.channels;
  const std::vector<Box> across = boxes(image.width, width);
  const std::vector<Box> down = boxes(image.height, height);

  // Each output row sums its box's source rows, each narrowed on the way: a source row is narrowed at
  // most twice (it may straddle two boxes) and only one output row of sums is held at a time.
  const std::size_t stride = width * channels;
  std::vector<double> narrowed(stride);
  std::vector<double> sums(stride);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(height) * stride);
  for (std::size_t y = 0; y < height; ++y) {
    const Box& rows = down[y];
    std::fill(sums.begin(), sums.end(), 0.0);
    for (std::size_t r = 0; r < rows.weights.size(); ++r) {
      narrow_row(image.pixels.data() + (rows.first + r) * image.width * channels, across, channels, narrowed);
      for (std::size_t x = 0; x < stride; ++x) sums[x] += rows.weights[r] * narrowed[x];
    }
    for (std::size_t x = 0; x < stride; ++x) {
      pixels[y * stride + x] = static_cast<std::uint8_t>(std::lround(std::clamp(sums[x], 0.0, 255.0)));
    }
  }
  image.width = width;
  image.height = height;
  image.pixels = std::move(pixels);
}

}  // namespace zanthe::pixels
