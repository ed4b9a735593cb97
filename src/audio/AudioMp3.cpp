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

void Release(std::vector<unsigned char>& buffer) { std::vector<unsigned char>().swap(buffer); }

}  // namespace

bool CAudioPlayRec::LoadEncoder() {
  if (IsEncoderLoaded()) return true;
  const bool loaded = m_strEncoderPath.empty() ? m_ForMp3_hDll.Load() : m_ForMp3_hDll.LoadFrom(m_strEncoderPath);
  if (!loaded) {
    platform::MessageBox(kTextLoadFailed);
    return false;
  }
  const LameEntryPoints& procs = m_ForMp3_hDll.EntryPoints();
  m_ForMp3_Proc_hInitStream = procs.beInitStream;
  m_ForMp3_Proc_hEncodeChunk = procs.beEncodeChunk;
  m_ForMp3_Proc_hDeinitStream = procs.beDeinitStream;
  m_ForMp3_Proc_hCloseStream = procs.beCloseStream;
  m_ForMp3_Proc_hVersion = procs.beVersion;
  m_ForMp3_Proc_hWriteVBRHeader = procs.beWriteVBRHeader;
  m_ForMp3_Proc_hWriteInfoTag = procs.beWriteInfoTag;  // may be missing
  if (!m_ForMp3_Proc_hInitStream || !m_ForMp3_Proc_hEncodeChunk || !m_ForMp3_Proc_hDeinitStream ||
      !m_ForMp3_Proc_hCloseStream || !m_ForMp3_Proc_hVersion || !m_ForMp3_Proc_hWriteVBRHeader) {
    platform::MessageBox(kTextNoInterfaces);
    // No MP3 target exists without the library, so unloading forgets nothing
    // else; the entry points go with it.
    UnloadEncoder();
    return false;
  }
  BE_VERSION version;
  std::memset(&version, 0, sizeof version);
  m_ForMp3_Proc_hVersion(&version);
  return true;
}

bool CAudioPlayRec::OpenMp3Stream(int nSlot, const std::string& strName) {
  if (!IsEncoderLoaded()) return false;
  if (m_pMp3File[nSlot]) return true;
  m_strMp3Name[nSlot] = strName;

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
  const BE_ERR err = m_ForMp3_Proc_hInitStream(&config, &m_dwSamples, &dwMp3BufferSize, &m_hbeStream[nSlot]);

  m_nPcmBufferSize = m_nBuffers * m_dwBufferSize;
  if (err != BE_ERR_SUCCESSFUL) {
    platform::MessageBox(FormatResult(kTextOpenStreamFailed, err));
    return false;
  }

  std::remove(strName.c_str());  // a missing file is fine
  m_pMp3File[nSlot].reset(std::fopen(strName.c_str(), "wb+"));
  if (!m_pMp3File[nSlot]) {
    // The stream was opened for nothing: give it back.
    m_ForMp3_Proc_hCloseStream(m_hbeStream[nSlot]);
    platform::MessageBox(FormatName(kTextCreateFileFailed, strName));
    return false;
  }

  try {
    Release(m_pMp3Buffer[nSlot]);
    Release(m_pPcmBuffer[nSlot]);
    m_pMp3Buffer[nSlot].resize(dwMp3BufferSize);
    m_pPcmBuffer[nSlot].resize(m_nPcmBufferSize);
  } catch (const std::bad_alloc&) {
    // Without its buffers the slot can take no data: it has no MP3 target.
    m_ForMp3_Proc_hCloseStream(m_hbeStream[nSlot]);
    ReleaseMp3Target(nSlot);
    platform::MessageBox(kTextOutOfMemory);
    return false;
  }
  return true;
}

void CAudioPlayRec::FeedEncoder(const SlotBuffers& data) {
  const DWORD dwChunk = m_wfx.wBitsPerSample / 8 * m_dwSamples;
  for (int slot = 0; slot < kSlots; ++slot) {
    if (!m_pMp3File[slot]) continue;
    // What does not fit is dropped; with room for all the device's buffers
    // that happens only when one chunk is larger than all but one of them.
    const DWORD dwTake = std::min(data[slot].dwBytes, m_nPcmBufferSize - m_nPcmFill[slot]);
    std::memcpy(m_pPcmBuffer[slot].data() + m_nPcmFill[slot], data[slot].pData, dwTake);
    m_nPcmFill[slot] += dwTake;

    // Strictly greater: exactly one chunk's worth stays waiting for more.
    // A failed write loses its chunk only; a failed stream takes its target
    // with it, and nothing more goes to that stream.
    while (dwChunk > 0 && m_nPcmFill[slot] > dwChunk) {
      EncodeChunk(slot, m_pPcmBuffer[slot].data(), dwChunk);
      if (!m_pMp3File[slot]) break;
      std::memmove(m_pPcmBuffer[slot].data(), m_pPcmBuffer[slot].data() + dwChunk, m_nPcmFill[slot] - dwChunk);
      m_nPcmFill[slot] -= dwChunk;
    }
  }
}

bool CAudioPlayRec::EncodeChunk(int nSlot, unsigned char* pPcm, DWORD dwBytes) {
  DWORD dwOutput = 0;
  const BE_ERR err = m_ForMp3_Proc_hEncodeChunk(m_hbeStream[nSlot], dwBytes / 2, reinterpret_cast<std::int16_t*>(pPcm),
                                                m_pMp3Buffer[nSlot].data(), &dwOutput);
  if (err != BE_ERR_SUCCESSFUL) {
    m_ForMp3_Proc_hCloseStream(m_hbeStream[nSlot]);
    // The stream is gone: the partial file is closed now, and the end of the
    // recording finds no target left to finish.
    ReleaseMp3Target(nSlot);
    platform::MessageBox(FormatResult(kTextEncodeFailed, err));
    return false;
  }
  if (std::fwrite(m_pMp3Buffer[nSlot].data(), 1, dwOutput, m_pMp3File[nSlot].get()) < dwOutput) {
    platform::MessageBox(kTextWriteError);
    return false;
  }
  return true;
}

void CAudioPlayRec::FinishMp3Stream(int nSlot) {
  if (!m_pMp3File[nSlot] || !m_ForMp3_Proc_hDeinitStream) return;
  // PCM still waiting (at most one chunk) is not encoded.
  DWORD dwOutput = 0;
  const BE_ERR err = m_ForMp3_Proc_hDeinitStream(m_hbeStream[nSlot], m_pMp3Buffer[nSlot].data(), &dwOutput);
  if (err != BE_ERR_SUCCESSFUL) {
    m_ForMp3_Proc_hCloseStream(m_hbeStream[nSlot]);
    // Let go of the file at once, so the next recording can create it again.
    ReleaseMp3Target(nSlot);
    platform::MessageBox(FormatResult(kTextExitStreamFailed, err));
    return;
  }
  if (dwOutput > 0 && std::fwrite(m_pMp3Buffer[nSlot].data(), 1, dwOutput, m_pMp3File[nSlot].get()) < dwOutput) {
    ReleaseMp3Target(nSlot);
    platform::MessageBox(kTextWriteError);
    return;
  }
  m_ForMp3_Proc_hCloseStream(m_hbeStream[nSlot]);

  Release(m_pMp3Buffer[nSlot]);
  Release(m_pPcmBuffer[nSlot]);
  // The last bytes may reach the disk only now; a file that lost them gets no tag.
  const bool bClosed = std::fclose(m_pMp3File[nSlot].release()) == 0;
  if (!bClosed) {
    platform::MessageBox(kTextWriteError);
    return;
  }

  // The tag goes into the closed file.
  if (m_ForMp3_Proc_hWriteInfoTag)
    m_ForMp3_Proc_hWriteInfoTag(m_hbeStream[nSlot], m_strMp3Name[nSlot].c_str());
  else
    m_ForMp3_Proc_hWriteVBRHeader(m_strMp3Name[nSlot].c_str());
}

// The slot's file is closed as it stands and its buffers go.
void CAudioPlayRec::ReleaseMp3Target(int nSlot) {
  m_pMp3File[nSlot].reset();
  Release(m_pMp3Buffer[nSlot]);
  Release(m_pPcmBuffer[nSlot]);
  m_nPcmFill[nSlot] = 0;
}

void CAudioPlayRec::UnloadEncoder() {
  m_ForMp3_hDll.Unload();
  ResetEncoderState();
}

// Forgets the encoder state. In the regular course FinishMp3Stream and
// UnloadEncoder have released everything before; whatever is still held here
// is released by its owner as it is forgotten.
void CAudioPlayRec::ResetEncoderState() {
  for (int slot = 0; slot < kSlots; ++slot) {
    Release(m_pMp3Buffer[slot]);
    Release(m_pPcmBuffer[slot]);
    m_pMp3File[slot].reset();
    m_strMp3Name[slot].clear();
    m_nPcmFill[slot] = 0;
    m_hbeStream[slot] = 0;
  }
  m_ForMp3_Proc_hInitStream = nullptr;
  m_ForMp3_Proc_hEncodeChunk = nullptr;
  m_ForMp3_Proc_hDeinitStream = nullptr;
  m_ForMp3_Proc_hCloseStream = nullptr;
  m_ForMp3_Proc_hVersion = nullptr;
  m_ForMp3_Proc_hWriteVBRHeader = nullptr;
  m_ForMp3_Proc_hWriteInfoTag = nullptr;
  m_ForMp3_hDll.Unload();
  m_nPcmBufferSize = 0;
  m_dwSamples = 0;
}

}  // namespace audio
