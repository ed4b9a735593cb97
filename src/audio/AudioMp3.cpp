// The engine's MP3 targets, encoded through the LAME library loaded at run
// time. The library loader is not wired in yet: every MP3 target reports the
// library missing, and the recording goes on with its WAV target. The
// encoder's state, its loading, the per-slot streams and their feeding all
// belong in this file.
#include "audio/AudioPlayRec.h"
#include "platform/MessageBox.h"

namespace audio {

namespace {
constexpr const char* kTextLoadFailed = "Error loading lame_enc.DLL";
}  // namespace

bool CAudioPlayRec::IsEncoderLoaded() const { return false; }

bool CAudioPlayRec::LoadEncoder() {
  // Not yet: the library is reported missing.
  platform::MessageBox(kTextLoadFailed);
  return false;
}

bool CAudioPlayRec::OpenMp3Stream(int, const std::string&) {
  // Without the library there is no stream; LoadEncoder has said why.
  return IsEncoderLoaded();
}

void CAudioPlayRec::FeedEncoder(const SlotBuffers&) {}

void CAudioPlayRec::CloseMp3File(int) {
  // Finishes the slot's stream when the library is loaded.
}

void CAudioPlayRec::UnloadEncoder() { ResetEncoderState(); }

void CAudioPlayRec::ResetEncoderState() {
  for (int slot = 0; slot < kSlots; ++slot) {
    m_pMp3Buffer[slot].clear();
    m_pPcmBuffer[slot].clear();
    m_pMp3File[slot].reset();
    m_strMp3Name[slot].clear();
    m_nPcmFill[slot] = 0;
    m_hbeStream[slot] = 0;
  }
  m_nPcmBufferSize = 0;
  m_dwSamples = 0;
}

}  // namespace audio
