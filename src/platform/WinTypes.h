#pragma once
// The few Windows integer types the ported interfaces keep in their signatures.
#include <cstdint>

namespace platform {

using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using UINT_PTR = std::uintptr_t;
// A window handle is an id the message loop hands out; 0 is no window.
using HWND = std::uintptr_t;

constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr int IDOK = 1;

}  // namespace platform
