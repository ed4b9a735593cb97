#include "PngWriter.h"

#include <zlib.h>

#include <stdexcept>
#include <string>

namespace swf {
namespace {

constexpr uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint8_t kColourTypeRgb = 2;
constexpr uint8_t kFilterNone = 0;

void PutU32BigEndian(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// Length, type, data, then the CRC over type and data.
void PutChunk(std::vector<uint8_t>& out, const char (&type)[5], const std::vector<uint8_t>& data) {
  PutU32BigEndian(out, static_cast<uint32_t>(data.size()));
  const size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  const uLong crc = crc32(0, &out[typeAt], static_cast<uInt>(out.size() - typeAt));
  PutU32BigEndian(out, static_cast<uint32_t>(crc));
}

}  // namespace

std::vector<uint8_t> EncodePng(const CRgbImage& image) {
  if (image.width == 0 || image.height == 0 || image.pixels.size() != size_t{image.width} * image.height * 3)
    throw std::invalid_argument("image size does not match its pixels");

  std::vector<uint8_t> header;
  PutU32BigEndian(header, image.width);
  PutU32BigEndian(header, image.height);
  header.insert(header.end(), {8, kColourTypeRgb, 0, 0, 0});  // depth, colour, deflate, filter method, no interlace

  // Every scanline starts with its filter type.
  std::vector<uint8_t> raw;
  const size_t rowBytes = size_t{image.width} * 3;
  raw.reserve(image.height * (rowBytes + 1));
  for (uint32_t y = 0; y < image.height; ++y) {
    raw.push_back(kFilterNone);
    const auto row = image.pixels.begin() + static_cast<std::ptrdiff_t>(y * rowBytes);
    raw.insert(raw.end(), row, row + static_cast<std::ptrdiff_t>(rowBytes));
  }
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> packed(packedSize);
  if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), Z_BEST_COMPRESSION) != Z_OK)
    throw std::runtime_error("deflate failed");
  packed.resize(packedSize);

  std::vector<uint8_t> png(std::begin(kSignature), std::end(kSignature));
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", packed);
  PutChunk(png, "IEND", {});
  return png;
}

}  // namespace swf
