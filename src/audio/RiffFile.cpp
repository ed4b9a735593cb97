#include "audio/RiffFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace audio {

bool CRiffFile::Delete(const std::string& name) { return std::remove(name.c_str()) == 0; }

bool CRiffFile::Open(const std::string& name, Mode mode) {
  Close();
  constexpr mode_t kFileMode = 0644;
  int flags = mode == Mode::Read ? O_RDONLY : O_RDWR | O_CREAT | O_TRUNC;
  m_fd.Reset(::open(name.c_str(), flags | O_CLOEXEC, kFileMode));
  return m_fd.IsValid();
}

long CRiffFile::Tell() const { return static_cast<long>(::lseek(m_fd.Get(), 0, SEEK_CUR)); }

bool CRiffFile::Seek(long offset) { return ::lseek(m_fd.Get(), offset, SEEK_SET) == offset; }

long CRiffFile::Read(void* buffer, long count) {
  if (!m_fd.IsValid() || count < 0) return -1;
  auto* p = static_cast<char*>(buffer);
  long done = 0;
  while (done < count) {
    ssize_t n = ::read(m_fd.Get(), p + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done > 0 ? done : -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}

long CRiffFile::Write(const void* buffer, long count) {
  if (!m_fd.IsValid() || count < 0) return 0;
  const auto* p = static_cast<const char*>(buffer);
  long done = 0;
  while (done < count) {
    ssize_t n = ::write(m_fd.Get(), p + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

// RIFF integers are little-endian whatever the machine.
bool CRiffFile::ReadDword(DWORD& value) {
  unsigned char b[4];
  if (Read(b, 4) != 4) return false;
  value = static_cast<DWORD>(b[0]) | static_cast<DWORD>(b[1]) << 8 | static_cast<DWORD>(b[2]) << 16 |
          static_cast<DWORD>(b[3]) << 24;
  return true;
}

bool CRiffFile::WriteDword(DWORD value) {
  unsigned char b[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  return Write(b, 4) == 4;
}

bool CRiffFile::CreateChunk(MMCKINFO& ck, UINT flags) {
  if (!m_fd.IsValid()) return false;
  if (flags & MMIO_CREATERIFF) ck.ckid = FOURCC_RIFF;
  long start = Tell();
  if (start < 0 || !WriteDword(ck.ckid) || !WriteDword(ck.cksize)) return false;
  ck.dwDataOffset = static_cast<DWORD>(start + 8);
  ck.dwFlags = MMIO_DIRTY;
  return !(flags & MMIO_CREATERIFF) || WriteDword(ck.fccType);
}

bool CRiffFile::Ascend(MMCKINFO& ck) {
  if (!m_fd.IsValid()) return false;
  if (ck.dwFlags & MMIO_DIRTY) {
    long end = Tell();
    if (end < static_cast<long>(ck.dwDataOffset)) return false;
    auto size = static_cast<DWORD>(end - ck.dwDataOffset);
    if (size != ck.cksize) {
      if (!Seek(static_cast<long>(ck.dwDataOffset) - 4) || !WriteDword(size)) return false;
      ck.cksize = size;
    }
    ck.dwFlags &= ~MMIO_DIRTY;
    if (!Seek(end)) return false;
    if (size & 1) {
      const char pad = 0;
      if (Write(&pad, 1) != 1) return false;
    }
    return true;
  }
  return Seek(static_cast<long>(ck.dwDataOffset) + static_cast<long>(ck.cksize) + static_cast<long>(ck.cksize & 1));
}

bool CRiffFile::Descend(MMCKINFO& ck, const MMCKINFO* parent, UINT flags) {
  if (!m_fd.IsValid()) return false;
  const FOURCC wantId = ck.ckid;
  const FOURCC wantType = ck.fccType;
  const long limit = parent ? static_cast<long>(parent->dwDataOffset) + static_cast<long>(parent->cksize) : -1;
  for (;;) {
    long start = Tell();
    if (start < 0 || (limit >= 0 && start + 8 > limit)) return false;
    MMCKINFO found{};
    if (!ReadDword(found.ckid) || !ReadDword(found.cksize)) return false;
    found.dwDataOffset = static_cast<DWORD>(start + 8);
    bool hasType = found.ckid == FOURCC_RIFF || found.ckid == mmioFOURCC('L', 'I', 'S', 'T');
    if (hasType && !ReadDword(found.fccType)) return false;
    bool match = (flags & MMIO_FINDRIFF)    ? found.ckid == FOURCC_RIFF && found.fccType == wantType
                 : (flags & MMIO_FINDCHUNK) ? found.ckid == wantId
                                            : true;
    if (match) {
      ck = found;
      return true;
    }
    // Skip the whole chunk and its pad byte.
    if (!Seek(static_cast<long>(found.dwDataOffset) + static_cast<long>(found.cksize) +
              static_cast<long>(found.cksize & 1)))
      return false;
  }
}

}  // namespace audio
