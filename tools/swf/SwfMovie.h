#pragma once
// Writer of uncompressed ("FWS") SWF movies with the tags an AVM1 course
// movie needs: stage, rectangles, device-font text fields, buttons with
// actions, placement, frame actions.
#include <cstdint>
#include <optional>
#include <string>

#include "ActionBuilder.h"
#include "ByteWriter.h"

namespace swf {

// Twentieths of a pixel, the unit of every coordinate in the file.
constexpr int32_t Twips(int32_t pixels) { return pixels * 20; }

struct Rect {
  int32_t xMin, xMax, yMin, yMax;  // twips
};
// A rectangle at (x, y) of size w x h, all in pixels.
constexpr Rect PixelRect(int32_t x, int32_t y, int32_t w, int32_t h) {
  return {Twips(x), Twips(x + w), Twips(y), Twips(y + h)};
}

struct Rgb {
  uint8_t r, g, b;
};

struct Outline {
  uint16_t width;  // twips
  Rgb color;
};

struct EditTextSpec {
  enum Align : uint8_t { kLeft = 0, kRight = 1, kCenter = 2 };
  Rect bounds;           // relative to where the field is placed
  std::string variable;  // bound variable; empty for none
  std::string text;      // initial text
  uint16_t fontId = 0;   // a font from DefineDeviceFont; 0 = the player's default
  uint16_t fontHeight = Twips(14);
  Rgb color{0, 0, 0};
  Align align = kLeft;
  bool readOnly = true;
  bool selectable = false;
  bool border = false;
  bool multiline = false;
  uint16_t maxLength = 0;  // 0 = no limit
};

struct ButtonSpec {
  uint16_t upShape = 0;    // also the hit area
  uint16_t overShape = 0;  // 0 = same as up
  uint16_t downShape = 0;  // 0 = same as over
  uint16_t labelId = 0;    // optional character drawn above the shape in every state
  CActionBuilder onRelease;
};

class CSwfMovie {
 public:
  enum TagCode : uint16_t {
    kEnd = 0,
    kShowFrame = 1,
    kDefineShape = 2,
    kSetBackgroundColor = 9,
    kDoAction = 12,
    kPlaceObject2 = 26,
    kDefineButton2 = 34,
    kDefineEditText = 37,
    kDefineFont2 = 48,
    kFileAttributes = 69,
  };
  // FileAttributes flag: the movie may use the network.
  static constexpr uint32_t kUseNetwork = 0x01;

  CSwfMovie(uint8_t version, const Rect& frameSize, double frameRate);

  void FileAttributes(uint32_t flags);
  void SetBackgroundColor(Rgb color);
  // A font without glyphs: text in it is drawn with the player's font of that
  // name ("_sans", "_serif", "_typewriter").
  uint16_t DefineDeviceFont(const std::string& name);
  uint16_t DefineRectShape(const Rect& rect, Rgb fill, std::optional<Outline> outline = std::nullopt);
  uint16_t DefineEditText(const EditTextSpec& desc);
  // A button whose actions run on release (mouse up inside).
  uint16_t DefineButton2(const ButtonSpec& desc);
  void PlaceObject2(uint16_t depth, uint16_t characterId, int32_t x, int32_t y, const std::string& name = "");
  void DoAction(const CActionBuilder& actions);
  void ShowFrame();
  // Any other tag, body as given.
  void Tag(uint16_t code, const Bytes& body);

  // The complete file: header, tags, End.
  Bytes Finish() const;

 private:
  uint16_t NewId() { return m_nNextId++; }

  uint8_t m_nVersion;
  Rect m_frameSize;
  double m_dFrameRate;
  uint16_t m_nNextId = 1;
  uint16_t m_nFrames = 0;
  CByteWriter m_tags;
};

}  // namespace swf
