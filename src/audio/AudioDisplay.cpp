// The engine window's level display: the two channel traces, labels, device
// name and frame, drawn by CLevelDisplay at the points the engine calls.
#include "audio/AudioPlayRec.h"

namespace audio {

namespace {

// The device name's rectangle inside the lower panel.
constexpr int kDevicePanelInset = 4;

}  // namespace

// The display's fonts and client rectangle, when the engine's window is created.
void CAudioPlayRec::CreateDisplayResources() { m_display.Create(m_rcWindow); }

// All of the window, when a recording or playback stops.
void CAudioPlayRec::InvalidateDisplay() { m_display.Invalidate(); }

// The lower panel shrunk by 4, where the device name is drawn, when the device changes.
void CAudioPlayRec::InvalidateDevicePanel() {
  RECT rc = DeflateRect(m_display.GetPanelRect(CLevelDisplay::Lower), kDevicePanelInset);
  m_display.Invalidate(&rc);
}

// The current channel buffers m_pLeft and m_pRight, after every buffer.
void CAudioPlayRec::DrawLevel(DWORD dwBytesPerChannel) {
  // A split recording shows only the channels that go to a file.
  bool bSplitRecording = m_nState == kStateRecording && m_nChannelMode == 2;
  bool bUpper = !bSplitRecording || HasSlotTarget(0);
  bool bLower = !bSplitRecording || HasSlotTarget(1);
  m_display.DrawLevel(dwBytesPerChannel, m_wfx.wBitsPerSample, bUpper ? m_pLeft.data() : nullptr,
                      bLower ? m_pRight.data() : nullptr);
}

}  // namespace audio
