#include "SwfMovie.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace swf {
namespace {

// Tag bodies shorter than this fit the short header (length in 6 bits).
constexpr size_t kLongTagLength = 0x3F;

void WriteRect(CBitWriter& bits, const Rect& r) {
  const unsigned n = std::max({CBitWriter::SignedBits(r.xMin), CBitWriter::SignedBits(r.xMax),
                               CBitWriter::SignedBits(r.yMin), CBitWriter::SignedBits(r.yMax)});
  bits.UB(5, n);
  bits.SB(n, r.xMin);
  bits.SB(n, r.xMax);
  bits.SB(n, r.yMin);
  bits.SB(n, r.yMax);
}

Bytes RectBytes(const Rect& r) {
  CBitWriter bits;
  WriteRect(bits, r);
  return bits.Take();
}

// A MATRIX holding a translation only.
Bytes TranslateMatrix(int32_t x, int32_t y) {
  CBitWriter bits;
  bits.UB(1, 0);  // no scale
  bits.UB(1, 0);  // no rotation
  const unsigned n = std::max(CBitWriter::SignedBits(x), CBitWriter::SignedBits(y));
  bits.UB(5, n);
  bits.SB(n, x);
  bits.SB(n, y);
  return bits.Take();
}

void WriteRgb(CByteWriter& out, Rgb c) {
  out.U8(c.r);
  out.U8(c.g);
  out.U8(c.b);
}

// A straight edge that is horizontal or vertical.
void WriteStraightEdge(CBitWriter& bits, bool vertical, int32_t delta) {
  const unsigned n = std::max(2u, CBitWriter::SignedBits(delta));
  bits.UB(1, 1);  // edge record
  bits.UB(1, 1);  // straight
  bits.UB(4, n - 2);
  bits.UB(1, 0);  // not a general line
  bits.UB(1, vertical ? 1 : 0);
  bits.SB(n, delta);
}

}  // namespace

CSwfMovie::CSwfMovie(uint8_t version, const Rect& frameSize, double frameRate)
    : m_nVersion(version), m_frameSize(frameSize), m_dFrameRate(frameRate) {}

void CSwfMovie::Tag(uint16_t code, const Bytes& body) {
  if (body.size() > std::numeric_limits<uint32_t>::max()) throw std::length_error("tag too long");
  if (body.size() < kLongTagLength) {
    m_tags.U16(static_cast<uint16_t>(code << 6 | body.size()));
  } else {
    m_tags.U16(static_cast<uint16_t>(code << 6 | kLongTagLength));
    m_tags.U32(static_cast<uint32_t>(body.size()));
  }
  m_tags.Append(body);
}

void CSwfMovie::FileAttributes(uint32_t flags) {
  CByteWriter body;
  body.U32(flags);
  Tag(kFileAttributes, body.Data());
}

void CSwfMovie::SetBackgroundColor(Rgb color) {
  CByteWriter body;
  WriteRgb(body, color);
  Tag(kSetBackgroundColor, body.Data());
}

uint16_t CSwfMovie::DefineDeviceFont(const std::string& name) {
  constexpr uint8_t kWideCodes = 0x04;
  if (name.size() > std::numeric_limits<uint8_t>::max()) throw std::length_error("font name too long");
  const uint16_t id = NewId();
  CByteWriter body;
  body.U16(id);
  body.U8(kWideCodes);
  body.U8(0);  // language: none
  body.U8(static_cast<uint8_t>(name.size()));
  body.Append(Bytes(name.begin(), name.end()));
  body.U16(0);  // no glyphs, hence no offset and code tables
  Tag(kDefineFont2, body.Data());
  return id;
}

uint16_t CSwfMovie::DefineRectShape(const Rect& rect, Rgb fill, std::optional<Outline> outline) {
  const uint16_t id = NewId();
  const int32_t pad = outline ? outline->width / 2 : 0;
  CByteWriter body;
  body.U16(id);
  body.Append(RectBytes({rect.xMin - pad, rect.xMax + pad, rect.yMin - pad, rect.yMax + pad}));
  body.U8(1);     // one fill style
  body.U8(0x00);  // solid
  WriteRgb(body, fill);
  body.U8(outline ? 1 : 0);
  if (outline) {
    body.U16(outline->width);
    WriteRgb(body, outline->color);
  }

  CBitWriter bits;
  const unsigned lineBits = outline ? 1 : 0;
  bits.UB(4, 1);  // fill style index bits
  bits.UB(4, lineBits);
  // Style change: move to the top left corner, fill on the right of the path.
  bits.UB(1, 0);
  bits.UB(1, 0);  // no new styles
  bits.UB(1, outline ? 1 : 0);
  bits.UB(1, 1);  // fill style 1
  bits.UB(1, 0);  // fill style 0
  bits.UB(1, 1);  // move to
  const unsigned moveBits = std::max(CBitWriter::SignedBits(rect.xMin), CBitWriter::SignedBits(rect.yMin));
  bits.UB(5, moveBits);
  bits.SB(moveBits, rect.xMin);
  bits.SB(moveBits, rect.yMin);
  bits.UB(1, 1);
  if (outline) bits.UB(lineBits, 1);
  // Clockwise on screen (y grows downward), so the right side is inside.
  const int32_t w = rect.xMax - rect.xMin, h = rect.yMax - rect.yMin;
  WriteStraightEdge(bits, false, w);
  WriteStraightEdge(bits, true, h);
  WriteStraightEdge(bits, false, -w);
  WriteStraightEdge(bits, true, -h);
  bits.UB(1, 0);  // end of shape
  bits.UB(5, 0);
  body.Append(bits.Take());
  Tag(kDefineShape, body.Data());
  return id;
}

uint16_t CSwfMovie::DefineEditText(const EditTextSpec& desc) {
  enum : uint8_t {
    kHasText = 0x80,
    kWordWrap = 0x40,
    kMultiline = 0x20,
    kReadOnly = 0x08,
    kHasTextColor = 0x04,
    kHasMaxLength = 0x02,
    kHasFont = 0x01,
  };
  enum : uint8_t { kHasLayout = 0x20, kNoSelect = 0x10, kBorder = 0x08 };

  const uint16_t id = NewId();
  CByteWriter body;
  body.U16(id);
  body.Append(RectBytes(desc.bounds));
  uint8_t flags1 = kHasTextColor;
  if (!desc.text.empty()) flags1 |= kHasText;
  if (desc.multiline) flags1 |= kMultiline | kWordWrap;
  if (desc.readOnly) flags1 |= kReadOnly;
  if (desc.maxLength) flags1 |= kHasMaxLength;
  if (desc.fontId) flags1 |= kHasFont;
  uint8_t flags2 = kHasLayout;
  if (!desc.selectable) flags2 |= kNoSelect;
  if (desc.border) flags2 |= kBorder;
  body.U8(flags1);
  body.U8(flags2);
  if (desc.fontId) {
    body.U16(desc.fontId);
    body.U16(desc.fontHeight);
  }
  WriteRgb(body, desc.color);
  body.U8(0xFF);  // opaque
  if (desc.maxLength) body.U16(desc.maxLength);
  body.U8(desc.align);
  body.U16(0);  // left margin
  body.U16(0);  // right margin
  body.U16(0);  // indent
  body.S16(0);  // leading
  body.String(desc.variable);
  if (!desc.text.empty()) body.String(desc.text);
  Tag(kDefineEditText, body.Data());
  return id;
}

uint16_t CSwfMovie::DefineButton2(const ButtonSpec& desc) {
  enum : uint8_t { kStateUp = 0x01, kStateOver = 0x02, kStateDown = 0x04, kStateHitTest = 0x08 };
  // Condition bits of a BUTTONCONDACTION, read as one little-endian word.
  constexpr uint16_t kOverDownToOverUp = 0x0008;

  const uint16_t over = desc.overShape ? desc.overShape : desc.upShape;
  const uint16_t down = desc.downShape ? desc.downShape : over;
  const Bytes identity = TranslateMatrix(0, 0);
  CByteWriter records;
  auto record = [&](uint8_t states, uint16_t characterId, uint16_t depth) {
    records.U8(states);
    records.U16(characterId);
    records.U16(depth);
    records.Append(identity);
    records.U8(0x00);  // colour transform without terms (4 bits of zero count)
  };
  record(kStateUp, desc.upShape, 1);
  record(kStateOver, over, 1);
  record(kStateDown, down, 1);
  record(kStateHitTest, desc.upShape, 1);
  if (desc.labelId) record(kStateUp | kStateOver | kStateDown, desc.labelId, 2);
  records.U8(0);  // end of records

  const uint16_t id = NewId();
  CByteWriter body;
  body.U16(id);
  body.U8(0);  // not tracked as a menu
  // Offset from this field to the first condition: the field itself plus the records.
  body.U16(static_cast<uint16_t>(2 + records.Size()));
  body.Append(records.Data());
  body.U16(0);  // last (only) condition
  body.U16(kOverDownToOverUp);
  body.Append(desc.onRelease.Assemble());
  body.U8(CActionBuilder::kEnd);
  Tag(kDefineButton2, body.Data());
  return id;
}

void CSwfMovie::PlaceObject2(uint16_t depth, uint16_t characterId, int32_t x, int32_t y, const std::string& name) {
  enum : uint8_t { kHasName = 0x20, kHasMatrix = 0x04, kHasCharacter = 0x02 };
  CByteWriter body;
  body.U8(static_cast<uint8_t>(kHasMatrix | kHasCharacter | (name.empty() ? 0 : kHasName)));
  body.U16(depth);
  body.U16(characterId);
  body.Append(TranslateMatrix(x, y));
  if (!name.empty()) body.String(name);
  Tag(kPlaceObject2, body.Data());
}

void CSwfMovie::DoAction(const CActionBuilder& actions) {
  Bytes code = actions.Assemble();
  code.push_back(CActionBuilder::kEnd);
  Tag(kDoAction, code);
}

void CSwfMovie::ShowFrame() {
  Tag(kShowFrame, {});
  ++m_nFrames;
}

Bytes CSwfMovie::Finish() const {
  CByteWriter rest;
  rest.Append(RectBytes(m_frameSize));
  rest.U16(static_cast<uint16_t>(m_dFrameRate * 256));  // 8.8 fixed point
  rest.U16(m_nFrames);
  rest.Append(m_tags.Data());
  rest.U16(kEnd << 6);

  CByteWriter file;
  file.U8('F');
  file.U8('W');
  file.U8('S');
  file.U8(m_nVersion);
  file.U32(static_cast<uint32_t>(8 + rest.Size()));
  file.Append(rest.Data());
  return file.Take();
}

}  // namespace swf
