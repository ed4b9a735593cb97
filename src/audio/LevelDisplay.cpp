#include "audio/LevelDisplay.h"

#include <cstring>
#include <utility>

namespace audio {

namespace {

constexpr COLORREF kLabelColour = RGB(255, 255, 0);
constexpr COLORREF kNameColour = RGB(128, 255, 255);
constexpr COLORREF kFrameColour = RGB(128, 64, 0);
// The default pen: solid, one pixel, black.
constexpr COLORREF kPenColour = RGB(0, 0, 0);

constexpr const char* kLabelUpper = "Left";
constexpr const char* kLabelLower = "Right";

// Impact 10 point at 96 pixels per inch: an em of 13 pixels.
constexpr const char* kLabelFace = "Impact";
constexpr int kLabelHeight = -13;
// MS Sans Serif, a cell 14 pixels high, italic, underlined.
constexpr const char* kNameFace = "MS Sans Serif";
constexpr int kNameHeight = 14;

constexpr int kLabelInset = 2;
constexpr int kNameInset = 4;

void SetColour(cairo_t* cr, COLORREF colour) {
  cairo_set_source_rgb(cr, GetRValue(colour) / 255.0, GetGValue(colour) / 255.0, GetBValue(colour) / 255.0);
}

void FillRect(cairo_t* cr, const RECT& rc) {
  cairo_rectangle(cr, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top);
  cairo_fill(cr);
}

void ClipRect(cairo_t* cr, const RECT& rc) {
  cairo_rectangle(cr, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top);
  cairo_clip(cr);
}

// Paths through pixel centres, so a one-pixel pen covers whole pixels.
void MoveTo(cairo_t* cr, int x, int y) { cairo_move_to(cr, x + 0.5, y + 0.5); }
void LineTo(cairo_t* cr, int x, int y) { cairo_line_to(cr, x + 0.5, y + 0.5); }

void StrokeWithPen(cairo_t* cr) {
  SetColour(cr, kPenColour);
  cairo_set_line_width(cr, 1.0);
  cairo_stroke(cr);
}

// Draw3dRect: one-pixel edges, top and left in the first colour, bottom and
// right in the second.
void Draw3dRect(cairo_t* cr, const RECT& rc, COLORREF crTopLeft, COLORREF crBottomRight) {
  SetColour(cr, crTopLeft);
  FillRect(cr, RECT{rc.left, rc.top, rc.right - 1, rc.top + 1});
  FillRect(cr, RECT{rc.left, rc.top, rc.left + 1, rc.bottom - 1});
  SetColour(cr, crBottomRight);
  FillRect(cr, RECT{rc.right - 1, rc.top, rc.right, rc.bottom});
  FillRect(cr, RECT{rc.left, rc.bottom - 1, rc.right, rc.bottom});
}

}  // namespace

CDisplayDC::CDisplayDC(cairo_surface_t* surface) {
  if (!surface) return;
  m_cr = cairo_create(surface);
  // GDI draws without smoothing; so does the display.
  cairo_set_antialias(m_cr, CAIRO_ANTIALIAS_NONE);
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_NONE);
  cairo_set_font_options(m_cr, options);
  cairo_font_options_destroy(options);
  cairo_set_line_cap(m_cr, CAIRO_LINE_CAP_BUTT);
}

CDisplayDC::CDisplayDC(CDisplayDC&& other) noexcept : m_cr(std::exchange(other.m_cr, nullptr)) {}

CDisplayDC::~CDisplayDC() {
  if (m_cr) cairo_destroy(m_cr);
}

CLevelDisplay::CLevelDisplay() { SetBackgroundColor(RGB(0, 0, 0)); }

CLevelDisplay::~CLevelDisplay() = default;

void CLevelDisplay::Create(const RECT& rcClient) {
  m_rcClient = rcClient;
  m_surface.reset();
  if (rcClient.right > rcClient.left && rcClient.bottom > rcClient.top && rcClient.left >= 0 && rcClient.top >= 0) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, rcClient.right, rcClient.bottom);
    if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS)
      m_surface.reset(surface);
    else
      cairo_surface_destroy(surface);
  }
  m_fontLabel.face.reset(cairo_toy_font_face_create(kLabelFace, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL));
  m_fontLabel.nHeight = kLabelHeight;
  m_fontName.face.reset(cairo_toy_font_face_create(kNameFace, CAIRO_FONT_SLANT_ITALIC, CAIRO_FONT_WEIGHT_NORMAL));
  m_fontName.nHeight = kNameHeight;
  m_fontName.bUnderline = true;
  m_bCreated = true;
}

void CLevelDisplay::SetBackgroundColor(COLORREF crBack) {
  m_crBack = crBack;
  m_brBack.reset(
      cairo_pattern_create_rgb(GetRValue(crBack) / 255.0, GetGValue(crBack) / 255.0, GetBValue(crBack) / 255.0));
  if (cairo_pattern_status(m_brBack.get()) != CAIRO_STATUS_SUCCESS) m_brBack.reset();
  if (m_bCreated) Invalidate();
}

void CLevelDisplay::Invalidate(const RECT* pRect) {
  CDisplayDC dc = GetDC();
  if (!dc) return;
  if (pRect) ClipRect(dc.get(), *pRect);
  OnEraseBkgnd(dc);
}

CDisplayDC CLevelDisplay::GetDC() { return CDisplayDC(m_surface.get()); }

bool CLevelDisplay::OnEraseBkgnd(CDisplayDC& dc) {
  DrawBackground(dc);
  return false;
}

void CLevelDisplay::DrawLevel(DWORD dwBytesPerChannel, std::uint16_t wBitsPerSample, const void* pLeft,
                              const void* pRight) {
  CDisplayDC dc = GetDC();
  if (!dc) return;  // a window without area shows nothing
  DrawBackground(dc);
  UINT nCount = wBitsPerSample == 16 ? dwBytesPerChannel / 2 : dwBytesPerChannel;
  if (pLeft) DrawTrace(dc, Upper, nCount, pLeft, wBitsPerSample);
  if (pRight) DrawTrace(dc, Lower, nCount, pRight, wBitsPerSample);
}

void CLevelDisplay::DrawBackground(CDisplayDC& dc) {
  if (!dc) return;
  cairo_t* cr = dc.get();
  DrawPanel(dc, Upper);
  DrawPanel(dc, Lower);

  int H = m_rcClient.bottom - m_rcClient.top;
  MoveTo(cr, 0, H / 2);
  LineTo(cr, m_rcClient.right, H / 2);
  StrokeWithPen(cr);

  cairo_save(cr);
  SelectFont(dc, m_fontName);
  SetColour(cr, kNameColour);
  DrawText(dc, m_strDeviceName, DeflateRect(m_rcClient, kNameInset), true, m_fontName.bUnderline);
  cairo_restore(cr);

  Draw3dRect(cr, m_rcClient, kFrameColour, kFrameColour);
}

void CLevelDisplay::DrawPanel(CDisplayDC& dc, EPanel which) {
  if (!dc || !m_brBack) return;
  cairo_t* cr = dc.get();
  RECT rc = GetPanelRect(which);
  cairo_set_source(cr, m_brBack.get());
  FillRect(cr, rc);

  cairo_save(cr);
  SelectFont(dc, m_fontLabel);
  SetColour(cr, kLabelColour);
  DrawText(dc, which == Upper ? kLabelUpper : kLabelLower, DeflateRect(rc, kLabelInset), false, false);
  cairo_restore(cr);
}

RECT CLevelDisplay::GetPanelRect(EPanel which) const {
  const RECT& rc = m_rcClient;
  int H = rc.bottom - rc.top;
  if (which == Upper) return RECT{rc.left, rc.top, rc.right, (H - 2) / 2};
  return RECT{rc.left, (H + 2) / 2, rc.right, rc.bottom};
}

void CLevelDisplay::DrawTrace(CDisplayDC& dc, EPanel which, UINT nCount, const void* pSamples,
                              std::uint16_t wBitsPerSample) {
  // No samples, no trace (there is no sample 0 to start from).
  if (!dc || !pSamples || nCount == 0) return;
  cairo_t* cr = dc.get();
  RECT rc = GetPanelRect(which);
  int h = rc.bottom - rc.top;
  const auto* bytes = static_cast<const unsigned char*>(pSamples);
  auto y = [&](UINT i) {
    if (wBitsPerSample == 16) {
      std::int16_t s;
      std::memcpy(&s, bytes + 2 * static_cast<std::size_t>(i), sizeof s);
      // Positive samples lie below the middle.
      return (rc.bottom + rc.top) / 2 + s * h / 65535;
    }
    return rc.top + bytes[i] * h / 255;
  };

  MoveTo(cr, 0, y(0));
  float step = static_cast<float>(rc.right - rc.left) / static_cast<float>(nCount);
  float x = 0.0f;
  for (UINT i = 1; i < nCount; ++i) {
    x = x + step;
    LineTo(cr, static_cast<int>(x), y(i));
  }
  StrokeWithPen(cr);
}

COLORREF CLevelDisplay::GetPixel(int x, int y) const {
  if (!m_surface) return CLR_INVALID;
  cairo_surface_t* s = m_surface.get();
  if (x < 0 || y < 0 || x >= cairo_image_surface_get_width(s) || y >= cairo_image_surface_get_height(s))
    return CLR_INVALID;
  cairo_surface_flush(s);
  const unsigned char* row = cairo_image_surface_get_data(s) +
                             static_cast<std::size_t>(y) * static_cast<std::size_t>(cairo_image_surface_get_stride(s));
  std::uint32_t pixel;
  std::memcpy(&pixel, row + 4 * static_cast<std::size_t>(x), sizeof pixel);
  return RGB(static_cast<std::uint8_t>(pixel >> 16), static_cast<std::uint8_t>(pixel >> 8),
             static_cast<std::uint8_t>(pixel));
}

void CLevelDisplay::SelectFont(CDisplayDC& dc, CDisplayFont& font) {
  // A font that could not be made leaves the context's font in place.
  if (!font.face || cairo_font_face_status(font.face.get()) != CAIRO_STATUS_SUCCESS) return;
  cairo_t* cr = dc.get();
  cairo_set_font_face(cr, font.face.get());
  if (font.dEmSize == 0) {
    if (font.nHeight < 0) {
      font.dEmSize = -font.nHeight;
    } else {
      // A cell height: scale the em so ascent and descent fill it.
      cairo_set_font_size(cr, font.nHeight);
      cairo_font_extents_t fe;
      cairo_font_extents(cr, &fe);
      double cell = fe.ascent + fe.descent;
      font.dEmSize = cell > 0 ? font.nHeight * font.nHeight / cell : font.nHeight;
    }
  }
  cairo_set_font_size(cr, font.dEmSize);
}

// DrawText with DT_SINGLELINE: top-left or right-bottom in the rectangle,
// clipped to it; the background stays as it is.
void CLevelDisplay::DrawText(CDisplayDC& dc, const std::string& text, const RECT& rc, bool bRightBottom,
                             bool bUnderline) {
  if (text.empty() || rc.right <= rc.left || rc.bottom <= rc.top) return;
  cairo_t* cr = dc.get();
  cairo_save(cr);
  ClipRect(cr, rc);
  cairo_font_extents_t fe;
  cairo_font_extents(cr, &fe);
  cairo_text_extents_t te;
  cairo_text_extents(cr, text.c_str(), &te);
  double x = bRightBottom ? rc.right - te.x_advance : rc.left;
  double baseline = bRightBottom ? rc.bottom - fe.descent : rc.top + fe.ascent;
  cairo_move_to(cr, x, baseline);
  cairo_show_text(cr, text.c_str());
  if (bUnderline) {
    double under = baseline + 1.5;
    cairo_move_to(cr, x, under);
    cairo_line_to(cr, x + te.x_advance, under);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
  }
  cairo_restore(cr);
}

}  // namespace audio
