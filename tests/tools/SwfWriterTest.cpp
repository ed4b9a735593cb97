#include <gtest/gtest.h>

#include <cstring>

#include "ActionBuilder.h"
#include "SwfMovie.h"
#include "tools/SwfReader.h"

using namespace swf;
using swftest::Bytes;

namespace {

// A Push action of one string, as the file format lays it out.
Bytes PushString(const std::string& s) {
  const auto len = static_cast<uint8_t>(s.size() + 2);
  Bytes b;
  b.reserve(s.size() + 5);
  for (uint8_t c : {uint8_t{0x96}, len, uint8_t{0}, uint8_t{0}}) b.push_back(c);
  for (char c : s) b.push_back(static_cast<uint8_t>(c));
  b.push_back(0);
  return b;
}
Bytes PushInt(uint8_t v) { return {0x96, 0x05, 0x00, 0x07, v, 0x00, 0x00, 0x00}; }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts)
    for (uint8_t c : p) out.push_back(c);
  return out;
}

}  // namespace

TEST(SwfMovie, HeaderAndTagsParseBackWithExactLengths) {
  CSwfMovie movie(8, PixelRect(0, 0, 970, 607), 12);
  movie.FileAttributes(CSwfMovie::kUseNetwork);
  movie.SetBackgroundColor({0x12, 0x34, 0x56});
  movie.DefineRectShape(PixelRect(10, 20, 30, 40), {1, 2, 3});
  EditTextSpec text;
  text.bounds = PixelRect(0, 0, 100, 20);
  text.text = std::string(80, 'x');  // long enough for the long tag header
  movie.DefineEditText(text);
  movie.ShowFrame();
  const Bytes file = movie.Finish();

  const auto m = swftest::ParseMovie(file);
  EXPECT_EQ(m.version, 8);
  EXPECT_EQ(m.frame.xMin, 0);
  EXPECT_EQ(m.frame.xMax, 970 * 20);
  EXPECT_EQ(m.frame.yMax, 607 * 20);
  EXPECT_EQ(m.frameRate, 12 << 8);
  EXPECT_EQ(m.frameCount, 1);
  std::vector<uint16_t> codes;
  for (const auto& t : m.tags) codes.push_back(t.code);
  EXPECT_EQ(codes, (std::vector<uint16_t>{69, 9, 2, 37, 1, 0}));
  EXPECT_EQ(m.tags[0].body, (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(m.tags[1].body, (Bytes{0x12, 0x34, 0x56}));
  EXPECT_FALSE(m.tags[1].longForm);
  EXPECT_TRUE(m.tags[3].longForm);
  EXPECT_TRUE(m.tags[4].body.empty());
}

TEST(SwfMovie, RectangleShapeHasItsBoundsAndAClosedFilledPath) {
  CSwfMovie movie(8, PixelRect(0, 0, 100, 100), 12);
  const uint16_t id = movie.DefineRectShape(PixelRect(10, 20, 30, 40), {0xAA, 0xBB, 0xCC}, Outline{20, {0, 0, 0}});
  const auto m = swftest::ParseMovie(movie.Finish());
  const Bytes& b = m.tags.at(0).body;
  ASSERT_EQ(m.tags[0].code, 2);
  EXPECT_EQ(swftest::U16(b, 0), id);
  swftest::BitReader r(b, 2);
  const auto bounds = swftest::ReadRect(r);  // grown by half the outline
  EXPECT_EQ(bounds.xMin, 200 - 10);
  EXPECT_EQ(bounds.xMax, 800 + 10);
  EXPECT_EQ(bounds.yMin, 400 - 10);
  EXPECT_EQ(bounds.yMax, 1200 + 10);
  size_t at = r.BytePosAligned();
  ASSERT_EQ(b[at], 1);  // one fill style: solid AABBCC
  EXPECT_EQ(Bytes(b.begin() + at + 1, b.begin() + at + 5), (Bytes{0x00, 0xAA, 0xBB, 0xCC}));
  ASSERT_EQ(b[at + 5], 1);  // one line style, 20 twips
  EXPECT_EQ(swftest::U16(b, at + 6), 20);

  swftest::BitReader s(b, at + 11);
  const unsigned fillBits = s.UB(4), lineBits = s.UB(4);
  int32_t x = 0, y = 0, startX = 0, startY = 0, edges = 0;
  uint32_t fill1 = 0;
  for (;;) {
    if (s.UB(1) == 0) {  // style change or end
      const uint32_t flags = s.UB(5);
      if (flags == 0) break;
      ASSERT_EQ(flags & 0x10, 0u) << "no new styles";
      if (flags & 0x01) {
        const unsigned n = s.UB(5);
        startX = x = s.SB(n);
        startY = y = s.SB(n);
      }
      if (flags & 0x02) s.UB(fillBits);
      if (flags & 0x04) fill1 = s.UB(fillBits);
      if (flags & 0x08) s.UB(lineBits);
    } else {
      ASSERT_EQ(s.UB(1), 1u) << "straight edges only";
      const unsigned n = s.UB(4) + 2;
      if (s.UB(1)) {
        x += s.SB(n);
        y += s.SB(n);
      } else if (s.UB(1)) {
        y += s.SB(n);
      } else {
        x += s.SB(n);
      }
      ++edges;
    }
  }
  EXPECT_EQ(startX, 200);
  EXPECT_EQ(startY, 400);
  EXPECT_EQ(edges, 4);
  EXPECT_EQ(fill1, 1u);
  EXPECT_EQ(x, startX);
  EXPECT_EQ(y, startY);
}

TEST(SwfMovie, EditTextBindsItsVariableToADeviceFont) {
  CSwfMovie movie(8, PixelRect(0, 0, 100, 100), 12);
  const uint16_t font = movie.DefineDeviceFont("_sans");
  EditTextSpec desc;
  desc.bounds = PixelRect(0, 0, 200, 30);
  desc.variable = "uploadState";
  desc.text = "未上传";
  desc.fontId = font;
  desc.fontHeight = 320;
  desc.color = {0xB0, 0x30, 0x20};
  desc.align = EditTextSpec::kCenter;
  const uint16_t id = movie.DefineEditText(desc);
  const auto m = swftest::ParseMovie(movie.Finish());

  const Bytes& f = m.tags.at(0).body;
  ASSERT_EQ(m.tags[0].code, 48);
  EXPECT_EQ(swftest::U16(f, 0), font);
  ASSERT_EQ(f[4], 5);
  EXPECT_EQ(std::string(f.begin() + 5, f.begin() + 10), "_sans");
  EXPECT_EQ(swftest::U16(f, 10), 0) << "no glyphs";
  EXPECT_EQ(f.size(), 12u);

  const Bytes& t = m.tags.at(1).body;
  ASSERT_EQ(m.tags[1].code, 37);
  EXPECT_EQ(swftest::U16(t, 0), id);
  swftest::BitReader r(t, 2);
  const auto bounds = swftest::ReadRect(r);
  EXPECT_EQ(bounds.xMax, 4000);
  size_t at = r.BytePosAligned();
  const uint8_t flags1 = t[at], flags2 = t[at + 1];
  EXPECT_EQ(flags1, 0x80 | 0x08 | 0x04 | 0x01) << "text, read-only, colour, font";
  EXPECT_EQ(flags2, 0x20 | 0x10) << "layout, not selectable, device font";
  EXPECT_EQ(swftest::U16(t, at + 2), font);
  EXPECT_EQ(swftest::U16(t, at + 4), 320);
  EXPECT_EQ(Bytes(t.begin() + at + 6, t.begin() + at + 10), (Bytes{0xB0, 0x30, 0x20, 0xFF}));
  EXPECT_EQ(t[at + 10], 2) << "centred";
  at += 19;
  const std::string rest(t.begin() + at, t.end());
  EXPECT_EQ(rest, std::string("uploadState") + '\0' + "未上传" + '\0');
}

TEST(SwfMovie, ButtonRunsItsActionsOnRelease) {
  CSwfMovie movie(8, PixelRect(0, 0, 100, 100), 12);
  ButtonSpec desc;
  desc.upShape = movie.DefineRectShape(PixelRect(0, 0, 10, 10), {1, 1, 1});
  desc.overShape = movie.DefineRectShape(PixelRect(0, 0, 10, 10), {2, 2, 2});
  EditTextSpec label;
  label.bounds = PixelRect(0, 0, 10, 10);
  desc.labelId = movie.DefineEditText(label);
  desc.onRelease.ExternalCall("RecStart", {}).Pop();
  const Bytes expectedActions = desc.onRelease.Assemble();
  const uint16_t id = movie.DefineButton2(desc);
  movie.PlaceObject2(3, id, 200, 400, "recButton");
  const auto m = swftest::ParseMovie(movie.Finish());

  const Bytes& b = m.tags.at(3).body;
  ASSERT_EQ(m.tags[3].code, 34);
  EXPECT_EQ(swftest::U16(b, 0), id);
  const uint16_t actionOffset = swftest::U16(b, 3);
  // Records: up, over, down (= over), hit (= up), label; each 1+2+2+matrix+cxform.
  std::vector<std::pair<uint8_t, uint16_t>> records;
  size_t at = 5;
  while (b[at] != 0) {
    records.emplace_back(b[at], swftest::U16(b, at + 1));
    swftest::BitReader r(b, at + 5);
    ASSERT_EQ(r.UB(1), 0u);
    ASSERT_EQ(r.UB(1), 0u);
    const unsigned n = r.UB(5);
    EXPECT_EQ(r.SB(n), 0);
    EXPECT_EQ(r.SB(n), 0);
    at = r.BytePosAligned() + 1;  // colour transform without terms
  }
  EXPECT_EQ(records, (std::vector<std::pair<uint8_t, uint16_t>>{{0x01, desc.upShape},
                                                                {0x02, desc.overShape},
                                                                {0x04, desc.overShape},
                                                                {0x08, desc.upShape},
                                                                {0x07, desc.labelId}}));
  ASSERT_EQ(3u + actionOffset, at + 1) << "offset counts from its own field to the first condition";
  const size_t cond = at + 1;
  EXPECT_EQ(swftest::U16(b, cond), 0) << "last condition";
  EXPECT_EQ(swftest::U16(b, cond + 2), 0x0008) << "OverDownToOverUp";
  EXPECT_EQ(Bytes(b.begin() + static_cast<long>(cond + 4), b.end() - 1), expectedActions);
  EXPECT_EQ(b.back(), 0);

  const Bytes& p = m.tags.at(4).body;
  ASSERT_EQ(m.tags[4].code, 26);
  EXPECT_EQ(p[0], 0x20 | 0x04 | 0x02);
  EXPECT_EQ(swftest::U16(p, 1), 3);
  EXPECT_EQ(swftest::U16(p, 3), id);
  swftest::BitReader r(p, 5);
  r.UB(2);
  const unsigned n = r.UB(5);
  EXPECT_EQ(r.SB(n), 200);
  EXPECT_EQ(r.SB(n), 400);
  EXPECT_EQ(std::string(p.begin() + static_cast<long>(r.BytePosAligned()), p.end()), std::string("recButton") + '\0');
}

TEST(ActionBuilder, ExternalInterfaceCallAssemblesToTheKnownBytes) {
  CActionBuilder a;
  a.ExternalCall("getWelcome", {}).Pop();
  const Bytes expected = Cat({PushString("getWelcome"),
                              PushInt(1),
                              PushString("flash"),
                              {0x1C},
                              PushString("external"),
                              {0x4E},
                              PushString("ExternalInterface"),
                              {0x4E},
                              PushString("call"),
                              {0x52, 0x17}});
  EXPECT_EQ(a.Assemble(), expected);

  CSwfMovie movie(8, PixelRect(0, 0, 10, 10), 12);
  movie.DoAction(a);
  const auto m = swftest::ParseMovie(movie.Finish());
  ASSERT_EQ(m.tags.at(0).code, 12);
  EXPECT_EQ(m.tags[0].body, Cat({expected, {0x00}}));
}

TEST(ActionBuilder, PushEncodesEveryValueType) {
  CActionBuilder a;
  a.Push({std::string("a"), int32_t{-2}, 1.5, true, nullptr, Undefined{}, Register{3}});
  const Bytes expected{0x96, 0x17, 0x00,                          //
                       0x00, 'a',  0x00,                          // string
                       0x07, 0xFE, 0xFF, 0xFF, 0xFF,              // integer
                       0x06, 0x00, 0x00, 0xF8, 0x3F, 0, 0, 0, 0,  // double, high half first
                       0x05, 0x01,                                // boolean
                       0x02,                                      // null
                       0x03,                                      // undefined
                       0x04, 0x03};                               // register
  EXPECT_EQ(a.Assemble(), expected);
}

TEST(ActionBuilder, BranchesResolveForwardAndBackwardAndRejectUnknownLabels) {
  CActionBuilder a;
  a.Label("top").Push({true}).If("end").Jump("top").Label("end").Stop();
  const Bytes expected{0x96, 0x02, 0x00, 0x05, 0x01,  // push true (0..4)
                       0x9D, 0x02, 0x00, 0x05, 0x00,  // if: 15 - 10
                       0x99, 0x02, 0x00, 0xF1, 0xFF,  // jump: 0 - 15
                       0x07};
  EXPECT_EQ(a.Assemble(), expected);

  CActionBuilder bad;
  bad.Jump("nowhere");
  EXPECT_THROW(bad.Assemble(), std::invalid_argument);
  EXPECT_THROW(CActionBuilder().Label("x").Label("x"), std::invalid_argument);
}

TEST(ActionBuilder, DefineFunctionCountsItsBodyAndAddCallbackPassesIt) {
  CActionBuilder body;
  body.Push({std::string("x")}).Return();
  CActionBuilder a;
  a.DefineFunction("", {"arg"}, body).Push({nullptr, std::string("UPOK")});
  a.CallPushed("flash.external.ExternalInterface", "addCallback", 3);
  const Bytes code = a.Assemble();
  const Bytes header{0x9B, 0x09, 0x00, 0x00, 0x01, 0x00, 'a', 'r', 'g', 0x00, 0x07, 0x00};
  ASSERT_GE(code.size(), header.size() + 5);
  EXPECT_EQ(Bytes(code.begin(), code.begin() + 12), header);
  EXPECT_EQ(Bytes(code.begin() + 12, code.begin() + 18), (Bytes{0x96, 0x03, 0x00, 0x00, 'x', 0x00}));
  EXPECT_EQ(code[18], 0x3E);
  // After the body: null, "UPOK", 3, the object, "addCallback", CallMethod.
  Bytes withEnd = code;
  withEnd.push_back(0);
  const auto actions = swftest::ParseActions(withEnd, 19);
  EXPECT_EQ(swftest::AllPushedStrings(actions),
            (std::vector<std::string>{"UPOK", "flash", "external", "ExternalInterface", "addCallback"}));
  EXPECT_EQ(actions.back().code, 0x52);
}
