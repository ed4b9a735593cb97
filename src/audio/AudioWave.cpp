// The engine's WAV files: the recording targets and the playback file.
#include <algorithm>

#include "audio/AudioPlayRec.h"
#include "platform/MessageBox.h"
#include "support/Text.h"

namespace audio {

namespace {

constexpr const char* kPlaybackFile = "test.wav";
constexpr FOURCC kWave = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC kFmt = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC kData = mmioFOURCC('d', 'a', 't', 'a');
// The format record is read no further than its 18 bytes; the rest of a
// longer fmt chunk is skipped when ascending out of it.
constexpr DWORD kFormatRecordSize = sizeof(WAVEFORMATEX);

constexpr const char* kTextOpenFailed = "Open wave file failed";
constexpr const char* kTextNoRiff = "Error descending into file";
constexpr const char* kTextNoFmt = "Error descending in wave file";
constexpr const char* kTextAscendFailed = "Error ascending in File";
constexpr const char* kTextNoData = "error reading data chunk";

}  // namespace

bool CAudioPlayRec::OpenWaveForWriting(const std::string& strName, int nSlot) {
  if (m_hWaveFile[nSlot]) return true;
  CRiffFile::Delete(strName);  // a missing file is fine
  WAVEFORMATEX wfx = m_wfx;
  if (m_nChannelMode == 2) {
    // Each of the two files carries one channel of the capture.
    wfx.nChannels = 1;
    wfx.nBlockAlign = static_cast<WORD>(wfx.wBitsPerSample / 8);
    wfx.nAvgBytesPerSec = wfx.nSamplesPerSec * wfx.nBlockAlign;
  }
  CRiffFile& file = m_hWaveFile[nSlot];
  if (!file.Open(strName, CRiffFile::Mode::Create)) {
    platform::MessageBox(kTextOpenFailed);
    return false;
  }
  m_ckRiff[nSlot] = MMCKINFO{};
  m_ckRiff[nSlot].fccType = kWave;
  file.CreateChunk(m_ckRiff[nSlot], MMIO_CREATERIFF);
  m_ckSub[nSlot] = MMCKINFO{};
  m_ckSub[nSlot].ckid = kFmt;
  // cbSize is always 0 for the capture format: the record is its 18 bytes.
  m_ckSub[nSlot].cksize = kFormatRecordSize + wfx.cbSize;
  file.CreateChunk(m_ckSub[nSlot], 0);
  file.Write(&wfx, kFormatRecordSize);
  file.Ascend(m_ckSub[nSlot]);
  m_ckSub[nSlot].ckid = kData;
  file.CreateChunk(m_ckSub[nSlot], 0);
  return true;
}

void CAudioPlayRec::CloseOutputFile(int nSlot, const std::string& strType) {
  const std::string type = support::ToLowerAscii(strType);
  if (type == "mp3") {
    if (IsEncoderLoaded()) FinishMp3Stream(nSlot);
  } else if (type == "wav" && m_hWaveFile[nSlot]) {
    m_hWaveFile[nSlot].Ascend(m_ckSub[nSlot]);   // data size
    m_hWaveFile[nSlot].Ascend(m_ckRiff[nSlot]);  // file length - 8
    m_hWaveFile[nSlot].Close();
  }
}

bool CAudioPlayRec::OpenWaveForReading() {
  if (m_hWaveFile[0]) return false;
  CRiffFile& file = m_hWaveFile[0];
  if (!file.Open(kPlaybackFile, CRiffFile::Mode::Read)) {
    platform::MessageBox(kTextOpenFailed);
    return false;
  }
  auto fail = [&file](const char* text) {
    platform::MessageBox(text);
    file.Close();
    return false;
  };
  m_ckRiff[0].fccType = kWave;
  if (!file.Descend(m_ckRiff[0], nullptr, MMIO_FINDRIFF)) return fail(kTextNoRiff);
  m_ckSub[0].ckid = kFmt;
  if (!file.Descend(m_ckSub[0], &m_ckRiff[0], MMIO_FINDCHUNK)) return fail(kTextNoFmt);
  // A 16-byte fmt leaves cbSize as it was.
  file.Read(&m_wfx, static_cast<long>(std::min(m_ckSub[0].cksize, kFormatRecordSize)));
  PrepareBuffers();
  if (!file.Ascend(m_ckSub[0])) return fail(kTextAscendFailed);
  m_ckSub[0].ckid = kData;
  if (!file.Descend(m_ckSub[0], &m_ckRiff[0], MMIO_FINDCHUNK)) return fail(kTextNoData);
  return true;
}

long CAudioPlayRec::ReadWaveData(char* pBuffer, DWORD dwCount) {
  // Not limited to the data chunk: whatever follows it plays as samples too.
  return m_hWaveFile[0].Read(pBuffer, static_cast<long>(dwCount));
}

}  // namespace audio
