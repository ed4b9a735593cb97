// The engine window's level display: the two channel traces, labels, device
// name and frame. Drawing arrives with the display class; until then these
// draw nothing, but the engine already calls them where it must.
#include "audio/AudioPlayRec.h"

namespace audio {

// The display's fonts and client rectangle, when the engine's window is created.
void CAudioPlayRec::CreateDisplayResources() {}

// All of the window, when a recording or playback stops.
void CAudioPlayRec::InvalidateDisplay() {}

// The lower panel shrunk by 4, where the device name is drawn, when the device changes.
void CAudioPlayRec::InvalidateDevicePanel() {}

// The current channel buffers m_pLeft and m_pRight, after every buffer.
void CAudioPlayRec::DrawLevel(DWORD) {}

}  // namespace audio
