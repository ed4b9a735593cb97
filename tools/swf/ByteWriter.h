#pragma once
// Little-endian byte and MSB-first bit writers for the SWF file format.
#include <cstdint>
#include <string>
#include <vector>

namespace swf {

using Bytes = std::vector<uint8_t>;

class CByteWriter {
 public:
  void U8(uint8_t v) { m_bytes.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void S16(int16_t v) { U16(static_cast<uint16_t>(v)); }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  // Zero-terminated string (UTF-8 from SWF 6 on).
  void String(const std::string& s) {
    m_bytes.insert(m_bytes.end(), s.begin(), s.end());
    U8(0);
  }
  void Append(const Bytes& b) { m_bytes.insert(m_bytes.end(), b.begin(), b.end()); }
  void PatchU16(size_t at, uint16_t v) {
    m_bytes[at] = static_cast<uint8_t>(v);
    m_bytes[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  size_t Size() const { return m_bytes.size(); }
  const Bytes& Data() const { return m_bytes; }
  Bytes Take() { return std::move(m_bytes); }

 private:
  Bytes m_bytes;
};

// Bit fields (RECT, MATRIX, shape records) are packed from the most
// significant bit on and end on a byte boundary.
class CBitWriter {
 public:
  void UB(unsigned nBits, uint32_t value) {
    for (unsigned i = nBits; i-- > 0;) {
      if (m_nBitPos == 0) m_bytes.push_back(0);
      if ((value >> i) & 1u) m_bytes.back() |= static_cast<uint8_t>(0x80u >> m_nBitPos);
      m_nBitPos = (m_nBitPos + 1) % 8;
    }
  }
  void SB(unsigned nBits, int32_t value) { UB(nBits, static_cast<uint32_t>(value)); }
  void Align() { m_nBitPos = 0; }
  Bytes Take() {
    Align();
    return std::move(m_bytes);
  }

  // Bits needed to hold value as a signed field (at least 1).
  static unsigned SignedBits(int32_t value) {
    unsigned n = 1;
    while (value < -(1 << (n - 1)) || value >= (1 << (n - 1))) ++n;
    return n;
  }

 private:
  Bytes m_bytes;
  unsigned m_nBitPos = 0;
};

}  // namespace swf
