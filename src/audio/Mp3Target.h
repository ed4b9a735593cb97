#pragma once
// One file slot's MP3 target: the encoder stream, the open file and the two
// buffers, held together so they always go in the encoder's order.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/encoder/LameLibrary.h"
#include "support/Handles.h"

namespace audio {

class CMp3Target {
 public:
  CMp3Target() = default;
  CMp3Target(const CMp3Target&) = delete;
  CMp3Target& operator=(const CMp3Target&) = delete;
  ~CMp3Target() { Close(); }

  // The stream beInitStream opened. The entry points are the loaded
  // library's; the engine closes its targets before it frees the library.
  void StreamOpened(const LameEntryPoints& procs) {
    m_pProcs = &procs;
    m_bStreamOpen = true;
  }
  // The stream's handle stays for the tag writer, which runs after the close.
  void CloseStream() {
    if (m_bStreamOpen && m_pProcs->beCloseStream) m_pProcs->beCloseStream(m_hbeStream);
    m_bStreamOpen = false;
  }
  // The stream first (its last bytes are written by then), the buffers, and
  // the file last. False when the file's close failed: the last bytes may
  // not have reached the disk.
  bool Close() {
    CloseStream();
    std::vector<unsigned char>().swap(m_pMp3Buffer);
    std::vector<unsigned char>().swap(m_pPcmBuffer);
    m_nPcmFill = 0;
    return !m_pMp3File || std::fclose(m_pMp3File.release()) == 0;
  }
  // Closes whatever is still open and forgets the name and the handle.
  void Reset() {
    Close();
    m_strMp3Name.clear();
    m_hbeStream = 0;
  }

  std::vector<unsigned char> m_pMp3Buffer;
  std::vector<unsigned char> m_pPcmBuffer;
  support::CFilePtr m_pMp3File;
  std::string m_strMp3Name;
  std::uint32_t m_nPcmFill = 0;
  HBE_STREAM m_hbeStream = 0;

 private:
  const LameEntryPoints* m_pProcs = nullptr;
  bool m_bStreamOpen = false;
};

}  // namespace audio
