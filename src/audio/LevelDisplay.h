#pragma once
// What the engine's window shows of the sound it hears or plays: two panels,
// "Left" above and "Right" below, each with a trace of the last buffer's
// samples of its channel, a divider, the input device's name in the lower
// right corner and a frame. It is drawn with cairo into an in-memory surface
// of the window's client size; a window of zero size has no surface, so its
// drawing costs next to nothing.
#include <cairo.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/WinTypes.h"

namespace audio {

using platform::COLORREF;
using platform::DWORD;
using platform::GetBValue;
using platform::GetGValue;
using platform::GetRValue;
using platform::RECT;
using platform::RGB;
using platform::UINT;

// GetPixel outside the surface.
constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;

// The rectangle shrunk by d on every side.
constexpr RECT DeflateRect(const RECT& rc, int d) { return RECT{rc.left + d, rc.top + d, rc.right - d, rc.bottom - d}; }

// A device context on the display's surface (GetDC … ReleaseDC); empty when
// the window has no area.
class CDisplayDC {
 public:
  explicit CDisplayDC(cairo_surface_t* surface);
  ~CDisplayDC();
  CDisplayDC(CDisplayDC&& other) noexcept;
  CDisplayDC& operator=(CDisplayDC&&) = delete;
  CDisplayDC(const CDisplayDC&) = delete;
  CDisplayDC& operator=(const CDisplayDC&) = delete;

  explicit operator bool() const { return m_cr != nullptr; }
  cairo_t* get() const { return m_cr; }

 private:
  cairo_t* m_cr = nullptr;
};

class CLevelDisplay {
 public:
  enum EPanel { Upper, Lower };

  // With the black background.
  CLevelDisplay();
  ~CLevelDisplay();
  CLevelDisplay(const CLevelDisplay&) = delete;
  CLevelDisplay& operator=(const CLevelDisplay&) = delete;

  // The window's creation: its client rectangle, taken once, the surface and the fonts.
  void Create(const RECT& rcClient);
  bool IsCreated() const { return m_bCreated; }
  const RECT& GetClientRect() const { return m_rcClient; }

  void SetBackgroundColor(COLORREF crBack);
  COLORREF GetBackgroundColor() const { return m_crBack; }
  // The caller invalidates the lower panel shrunk by 4 where the name shows.
  void SetDeviceName(const std::string& strDeviceName) { m_strDeviceName = strDeviceName; }
  const std::string& GetDeviceName() const { return m_strDeviceName; }

  // Nothing repaints the surface later, so invalidating with erasing draws
  // the background again at once, within the rectangle (all of it for null).
  void Invalidate(const RECT* pRect = nullptr);

  CDisplayDC GetDC();
  // The background; the default processing then finds no class brush to erase with.
  bool OnEraseBkgnd(CDisplayDC& dc);
  // One buffer's channels, dwBytesPerChannel bytes each of 8- or 16-bit
  // samples; a null channel's trace is not drawn.
  void DrawLevel(DWORD dwBytesPerChannel, std::uint16_t wBitsPerSample, const void* pLeft, const void* pRight);
  void DrawBackground(CDisplayDC& dc);
  void DrawPanel(CDisplayDC& dc, EPanel which);
  RECT GetPanelRect(EPanel which) const;
  void DrawTrace(CDisplayDC& dc, EPanel which, UINT nCount, const void* pSamples, std::uint16_t wBitsPerSample);

  // The surface's pixel, CLR_INVALID outside it.
  COLORREF GetPixel(int x, int y) const;

 private:
  struct SurfaceDestroy {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
  };
  struct PatternDestroy {
    void operator()(cairo_pattern_t* p) const { cairo_pattern_destroy(p); }
  };
  struct FontFaceDestroy {
    void operator()(cairo_font_face_t* f) const { cairo_font_face_destroy(f); }
  };
  // A font as the window's fonts are given: a face and a pixel height, the
  // em height (GDI's negative height) or the whole cell (positive).
  struct CDisplayFont {
    std::unique_ptr<cairo_font_face_t, FontFaceDestroy> face;
    int nHeight = 0;
    bool bUnderline = false;
    double dEmSize = 0;  // found when first selected
  };

  void SelectFont(CDisplayDC& dc, CDisplayFont& font);
  void DrawText(CDisplayDC& dc, const std::string& text, const RECT& rc, bool bRightBottom, bool bUnderline);

  std::unique_ptr<cairo_pattern_t, PatternDestroy> m_brBack;
  COLORREF m_crBack = RGB(0, 0, 0);
  RECT m_rcClient;
  CDisplayFont m_fontLabel;
  CDisplayFont m_fontName;
  std::string m_strDeviceName;
  std::unique_ptr<cairo_surface_t, SurfaceDestroy> m_surface;
  bool m_bCreated = false;
};

}  // namespace audio
