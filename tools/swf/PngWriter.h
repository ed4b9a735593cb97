#pragma once
// A minimal PNG encoder (8-bit RGB, no interlace) for the course's pictures.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace swf {

struct CRgbImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;  // width * height * 3, row by row

  CRgbImage(uint32_t w, uint32_t h) : width(w), height(h), pixels(size_t{w} * h * 3) {}
  void Set(uint32_t x, uint32_t y, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t* p = &pixels[(size_t{y} * width + x) * 3];
    p[0] = r;
    p[1] = g;
    p[2] = b;
  }
};

// The image as the bytes of a PNG file.
std::vector<uint8_t> EncodePng(const CRgbImage& image);

}  // namespace swf
