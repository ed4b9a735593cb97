// The engine's MP3 targets: each recording with an MP3 target loads the
// encoder library, opens one encoder stream and file per slot, feeds the
// captured PCM in the chunks the encoder asks for, finishes and tags the file
// when the input closes, and frees the library again.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "audio/AudioPlayRec.h"
#include "platform/MessageBox.h"

namespace audio {

namespace {

constexpr const char* kTextLoadFailed = "Error loading lame_enc.DLL";
constexpr const char* kTextNoInterfaces = "Unable to get LAME interfaces";
constexpr const char* kTextOpenStreamFailed = "Error opening encoding stream (%lu)";
constexpr const char* kTextCreateFileFailed = "Error creating file %s";
constexpr const char* kTextOutOfMemory = "Out of memory";
constexpr const char* kTextEncodeFailed = "m_ForMp3_Proc_hEncodeChunk() failed (%lu)";
constexpr const char* kTextWriteError = "Output file write error";
constexpr const char* kTextExitStreamFailed = "beExitStream failed (%lu)";

// The configuration record's version, and the constant bit rate in kbit/s.
constexpr std::uint32_t kStructVersion = 1;
constexpr std::uint32_t kBitrateKbps = 64;
// The channel mode that gives each slot one channel of a two-channel capture.
constexpr int kSplitChannelMode = 2;

std::string FormatResult(const char* format, BE_ERR err) {
  char text[64];
  std::snprintf(text, sizeof text, format, static_cast<unsigned long>(err));
  return text;
}

std::string FormatName(const char* format, const std::string& name) {
  std::string text = format;
  return text.replace(text.find("%s"), 2, name);
}

}  // namespace

bool CAudioPlayRec::LoadEncoder() {
  if (IsEncoderLoaded()) return true;
  const bool loaded = m_strEncoderPath.empty() ? m_ForMp3_hDll.Load() : m_ForMp3_hDll.LoadFrom(m_strEncoderPath);
  if (!loaded) {
    platform::MessageBox(kTextLoadFailed);
    return false;
  }
  // beWriteInfoTag may be missing.
  if (!m_ForMp3_hDll.HasRequiredEntryPoints()) {
    platform::MessageBox(kTextNoInterfaces);
    // No MP3 target exists without the library, so unloading forgets nothing
    // else; the entry points go with it.
    UnloadEncoder();
    return false;
  }
  BE_VERSION version;
  std::memset(&version, 0, sizeof version);
  Procs().beVersion(&version);
  return true;
}

bool CAudioPlayRec::OpenMp3Stream(int nSlot, const std::string& strName) {
  if (!IsEncoderLoaded()) return false;
  CMp3Target& target = m_mp3[nSlot];
  if (target.m_pMp3File) return true;
  target.m_strMp3Name = strName;

  BE_CONFIG config;
  std::memset(&config, 0, sizeof config);
  config.dwConfig = BE_CONFIG_LAME;
  BE_CONFIG_LHV1& lhv1 = config.format.LHV1;
  lhv1.dwStructVersion = kStructVersion;
  lhv1.dwStructSize = sizeof(BE_CONFIG);
  lhv1.dwSampleRate = m_wfx.nSamplesPerSec;
  lhv1.dwReSampleRate = 0;
  const bool bOneChannel = m_wfx.nChannels == 1 || m_nChannelMode == kSplitChannelMode;
  lhv1.nMode = bOneChannel ? BE_MP3_MODE_MONO : BE_MP3_MODE_JSTEREO;
  lhv1.dwBitrate = kBitrateKbps;
  lhv1.dwMaxBitrate = 0;
  lhv1.nPreset = LQP_R3MIX;
  lhv1.dwMpegVersion = MPEG1;
  lhv1.dwPsyModel = 0;
  lhv1.dwEmphasis = 0;
  lhv1.bPrivate = false;
  lhv1.bCRC = false;
  lhv1.bCopyright = false;
  lhv1.bOriginal = true;
  lhv1.bWriteVBRHeader = true;
  lhv1.bEnableVBR = false;
  lhv1.nVBRQuality = 0;
  lhv1.dwVbrAbr_bps = 0;
  lhv1.nVbrMethod = 0;
  lhv1.bNoRes = true;
  lhv1.bStrictIso = false;
  lhv1.nQuality = 0;
  DWORD dwMp3BufferSize = 0;
  const BE_ERR err = Procs().beInitStream(&config, &m_dwSamples, &dwMp3BufferSize, &target.m_hbeStream);

  m_nPcmBufferSize = m_nBuffers * m_dwBufferSize;
  if (err != BE_ERR_SUCCESSFUL) {
    platform::MessageBox(FormatResult(kTextOpenStreamFailed, err));
    return false;
  }
  target.StreamOpened(Procs());

  std::remove(strName.c_str());  // a missing file is fine
  target.m_pMp3File.reset(std::fopen(strName.c_str(), "wb+"));
  if (!target.m_pMp3File) {
    // The stream was opened for nothing: give it back.
    target.Close();
    platform::MessageBox(FormatName(kTextCreateFileFailed, strName));
    return false;
  }

  try {
    target.m_pMp3Buffer.assign(dwMp3BufferSize, 0);
    target.m_pPcmBuffer.assign(m_nPcmBufferSize, 0);
  } catch (const std::bad_alloc&) {
    // Without its buffers the slot can take no data: it has no MP3 target.
    target.Close();
    platform::MessageBox(kTextOutOfMemory);
    return false;
  }
  return true;
}

void CAudioPlayRec::FeedEncoder(const SlotBuffers& data) {
  const DWORD dwChunk = m_wfx.wBitsPerSample / 8 * m_dwSamples;
  for (int slot = 0; slot < kSlots; ++slot) {
    CMp3Target& target = m_mp3[slot];
    if (!target.m_pMp3File) continue;
    // What does not fit is dropped; with room for all the device's buffers
    // that happens only when one chunk is larger than all but one of them.
    const DWORD dwTake = std::min(data[slot].dwBytes, m_nPcmBufferSize - target.m_nPcmFill);
    std::memcpy(target.m_pPcmBuffer.data() + target.m_nPcmFill, data[slot].pData, dwTake);
    target.m_nPcmFill += dwTake;

    // Strictly greater: exactly one chunk's worth stays waiting for more.
    // A failed write loses its chunk only; a failed stream takes its target
    // with it, and nothing more goes to that stream.
    while (dwChunk > 0 && target.m_nPcmFill > dwChunk) {
      EncodeChunk(slot, target.m_pPcmBuffer.data(), dwChunk);
      if (!target.m_pMp3File) break;
      std::memmove(target.m_pPcmBuffer.data(), target.m_pPcmBuffer.data() + dwChunk, target.m_nPcmFill - dwChunk);
      target.m_nPcmFill -= dwChunk;
    }
  }
}

bool CAudioPlayRec::EncodeChunk(int nSlot, unsigned char* pPcm, DWORD dwBytes) {
  CMp3Target& target = m_mp3[nSlot];
  DWORD dwOutput = 0;
  const BE_ERR err = Procs().beEncodeChunk(target.m_hbeStream, dwBytes / 2, reinterpret_cast<std::int16_t*>(pPcm),
                                           target.m_pMp3Buffer.data(), &dwOutput);
  if (err != BE_ERR_SUCCESSFUL) {
    // The stream is gone: the partial file is closed now, and the end of the
    // recording finds no target left to finish.
    target.Close();
    platform::MessageBox(FormatResult(kTextEncodeFailed, err));
    return false;
  }
  if (std::fwrite(target.m_pMp3Buffer.data(), 1, dwOutput, target.m_pMp3File.get()) < dwOutput) {
    platform::MessageBox(kTextWriteError);
    return false;
  }
  return true;
}

void CAudioPlayRec::FinishMp3Stream(int nSlot) {
  CMp3Target& target = m_mp3[nSlot];
  if (!target.m_pMp3File || !Procs().beDeinitStream) return;
  // PCM still waiting (at most one chunk) is not encoded.
  DWORD dwOutput = 0;
  const BE_ERR err = Procs().beDeinitStream(target.m_hbeStream, target.m_pMp3Buffer.data(), &dwOutput);
  if (err != BE_ERR_SUCCESSFUL) {
    // Let go of the file at once, so the next recording can create it again.
    target.Close();
    platform::MessageBox(FormatResult(kTextExitStreamFailed, err));
    return;
  }
  if (dwOutput > 0 && std::fwrite(target.m_pMp3Buffer.data(), 1, dwOutput, target.m_pMp3File.get()) < dwOutput) {
    target.Close();
    platform::MessageBox(kTextWriteError);
    return;
  }
  // The last bytes may reach the disk only as the file closes; a file that
  // lost them gets no tag.
  if (!target.Close()) {
    platform::MessageBox(kTextWriteError);
    return;
  }

  // The tag goes into the closed file.
  if (Procs().beWriteInfoTag)
    Procs().beWriteInfoTag(target.m_hbeStream, target.m_strMp3Name.c_str());
  else
    Procs().beWriteVBRHeader(target.m_strMp3Name.c_str());
}

void CAudioPlayRec::UnloadEncoder() { ResetEncoderState(); }

// Forgets the encoder state. In the regular course FinishMp3Stream has
// closed every target before; one still open is closed here, while the
// library it needs is still loaded, and the library goes last.
void CAudioPlayRec::ResetEncoderState() {
  for (CMp3Target& target : m_mp3) target.Reset();
  m_ForMp3_hDll.Unload();
  m_nPcmBufferSize = 0;
  m_dwSamples = 0;
}

}  // namespace audio
