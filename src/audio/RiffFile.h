#pragma once
// RIFF chunk access on a plain file, byte for byte as the multimedia file
// functions of the original write and read it: chunk headers written on
// create, sizes fixed and odd chunks padded on ascend, chunks found by id.
// Unbuffered, so a short write shows at the write that failed.
#include <string>

#include "audio/device/WaveDevice.h"
#include "support/Handles.h"

namespace audio {

using FOURCC = DWORD;

constexpr FOURCC mmioFOURCC(char a, char b, char c, char d) {
  return static_cast<FOURCC>(static_cast<unsigned char>(a)) | static_cast<FOURCC>(static_cast<unsigned char>(b)) << 8 |
         static_cast<FOURCC>(static_cast<unsigned char>(c)) << 16 |
         static_cast<FOURCC>(static_cast<unsigned char>(d)) << 24;
}

constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');

// How mmioCreateChunk and mmioDescend are asked.
constexpr UINT MMIO_FINDCHUNK = 0x0010;
constexpr UINT MMIO_FINDRIFF = 0x0020;
constexpr UINT MMIO_CREATERIFF = 0x0020;
// Set on a chunk this file created: its size is fixed on ascend.
constexpr DWORD MMIO_DIRTY = 0x10000000;

struct MMCKINFO {
  FOURCC ckid;
  DWORD cksize;
  FOURCC fccType;
  DWORD dwDataOffset;
  DWORD dwFlags;
};

class CRiffFile {
 public:
  enum class Mode { Read, Create };

  CRiffFile() = default;

  // Removes the file; false when there was none or it cannot go.
  static bool Delete(const std::string& name);

  // Create makes a new empty file (or empties an existing one) for writing.
  bool Open(const std::string& name, Mode mode);
  void Close() { m_fd.Reset(); }
  explicit operator bool() const { return m_fd.IsValid(); }

  // Writes the chunk's header at the current position (with the form type for
  // MMIO_CREATERIFF), the size being ck.cksize for now.
  bool CreateChunk(MMCKINFO& ck, UINT flags);
  // Leaves the chunk: a created one gets its real size and a pad byte when odd.
  bool Ascend(MMCKINFO& ck);
  // Enters the next chunk, or with MMIO_FINDCHUNK / MMIO_FINDRIFF the next one
  // with ck's id / form type, searching no further than the parent's end.
  bool Descend(MMCKINFO& ck, const MMCKINFO* parent, UINT flags);

  // Bytes read (0 at the end) or -1.
  long Read(void* buffer, long count);
  // Bytes written; fewer than count on failure.
  long Write(const void* buffer, long count);

 private:
  long Tell() const;
  bool Seek(long offset);
  bool ReadDword(DWORD& value);
  bool WriteDword(DWORD value);

  support::CFd m_fd;
};

}  // namespace audio
