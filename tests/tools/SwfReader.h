#pragma once
// A small independent SWF reader for the tests: header, tag list, bit
// fields, action records. It follows the file format, not the writer.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace swftest {

using Bytes = std::vector<uint8_t>;

inline uint16_t U16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8); }
inline uint32_t U32(const Bytes& b, size_t at) { return U16(b, at) | static_cast<uint32_t>(U16(b, at + 2)) << 16; }

class BitReader {
 public:
  BitReader(const Bytes& b, size_t at) : m_b(b), m_bit(at * 8) {}
  uint32_t UB(unsigned n) {
    uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i, ++m_bit) v = v << 1 | ((m_b.at(m_bit / 8) >> (7 - m_bit % 8)) & 1u);
    return v;
  }
  int32_t SB(unsigned n) {
    const uint32_t v = UB(n);
    return n && (v >> (n - 1)) ? static_cast<int32_t>(v | (~0u << n)) : static_cast<int32_t>(v);
  }
  size_t BytePosAligned() const { return (m_bit + 7) / 8; }

 private:
  const Bytes& m_b;
  size_t m_bit;
};

struct Rect {
  int32_t xMin, xMax, yMin, yMax;
};
inline Rect ReadRect(BitReader& r) {
  const unsigned n = r.UB(5);
  Rect rect;
  rect.xMin = r.SB(n);
  rect.xMax = r.SB(n);
  rect.yMin = r.SB(n);
  rect.yMax = r.SB(n);
  return rect;
}

struct Tag {
  uint16_t code;
  bool longForm;
  Bytes body;
};

struct Movie {
  uint8_t version = 0;
  uint32_t fileLength = 0;
  Rect frame{};
  uint16_t frameRate = 0;  // 8.8
  uint16_t frameCount = 0;
  std::vector<Tag> tags;
};

// Throws std::runtime_error when the layout does not add up.
inline Movie ParseMovie(const Bytes& file) {
  Movie m;
  if (file.size() < 8 || file[0] != 'F' || file[1] != 'W' || file[2] != 'S') throw std::runtime_error("not FWS");
  m.version = file[3];
  m.fileLength = U32(file, 4);
  if (m.fileLength != file.size()) throw std::runtime_error("file length field differs from the size");
  BitReader bits(file, 8);
  m.frame = ReadRect(bits);
  size_t at = bits.BytePosAligned();
  m.frameRate = U16(file, at);
  m.frameCount = U16(file, at + 2);
  at += 4;
  for (;;) {
    const uint16_t header = U16(file, at);
    at += 2;
    Tag t{static_cast<uint16_t>(header >> 6), false, {}};
    uint32_t length = header & 0x3F;
    if (length == 0x3F) {
      length = U32(file, at);
      at += 4;
      t.longForm = true;
    }
    if (at + length > file.size()) throw std::runtime_error("tag runs past the end");
    t.body.assign(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + length));
    at += length;
    m.tags.push_back(std::move(t));
    if (m.tags.back().code == 0) break;
  }
  if (at != file.size()) throw std::runtime_error("bytes after the End tag");
  return m;
}

struct Action {
  uint8_t code;
  Bytes payload;
};

// Action records from at until the End action (not included).
inline std::vector<Action> ParseActions(const Bytes& b, size_t at = 0) {
  std::vector<Action> actions;
  while (b.at(at) != 0) {
    Action a{b[at++], {}};
    if (a.code >= 0x80) {
      const uint16_t len = U16(b, at);
      at += 2;
      if (at + len > b.size()) throw std::runtime_error("action runs past the end");
      a.payload.assign(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + len));
      at += len;
    }
    actions.push_back(std::move(a));
  }
  return actions;
}

// The strings a Push action carries (other value types skipped).
inline std::vector<std::string> PushedStrings(const Action& push) {
  std::vector<std::string> out;
  const Bytes& p = push.payload;
  for (size_t i = 0; i < p.size();) {
    const uint8_t type = p[i++];
    switch (type) {
      case 0: {
        std::string s;
        while (p.at(i) != 0) s += static_cast<char>(p[i++]);
        ++i;
        out.push_back(s);
        break;
      }
      case 1:
      case 7:
        i += 4;
        break;
      case 6:
        i += 8;
        break;
      case 4:
      case 5:
      case 8:
        i += 1;
        break;
      case 9:
        i += 2;
        break;
      case 2:
      case 3:
        break;
      default:
        throw std::runtime_error("unknown push type");
    }
  }
  return out;
}

inline std::vector<std::string> AllPushedStrings(const std::vector<Action>& actions) {
  std::vector<std::string> out;
  for (const auto& a : actions)
    if (a.code == 0x96)
      for (auto& s : PushedStrings(a)) out.push_back(s);
  return out;
}

}  // namespace swftest
