#pragma once
// The few Windows types the ported interfaces keep in their signatures.
#include <cstdint>

namespace platform {

using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using UINT_PTR = std::uintptr_t;
// A window handle is an id the message loop hands out; 0 is no window.
using HWND = std::uintptr_t;

// A colour as 0x00BBGGRR.
using COLORREF = DWORD;
constexpr COLORREF RGB(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) | (static_cast<COLORREF>(b) << 16);
}
constexpr std::uint8_t GetRValue(COLORREF cr) { return static_cast<std::uint8_t>(cr & 0xFF); }
constexpr std::uint8_t GetGValue(COLORREF cr) { return static_cast<std::uint8_t>((cr >> 8) & 0xFF); }
constexpr std::uint8_t GetBValue(COLORREF cr) { return static_cast<std::uint8_t>((cr >> 16) & 0xFF); }

struct RECT {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  bool operator==(const RECT&) const = default;
};

constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr int IDOK = 1;

}  // namespace platform
