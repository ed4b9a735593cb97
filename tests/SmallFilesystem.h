#pragma once
// Disks that run full. CSmallFilesystem: a directory on a file system of its
// own that is small enough to fill up, a tmpfs of the given size where the
// machine lets the test mount one, else a plain directory under a
// CFileSizeLimit of that size (which the whole process obeys meanwhile).
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

#include "TempDir.h"

// While it lives, no file of the process may grow past the size: a write
// there fails with EFBIG, as on a disk that has run full.
class CFileSizeLimit {
 public:
  explicit CFileSizeLimit(std::size_t nBytes) {
    ::getrlimit(RLIMIT_FSIZE, &m_oldLimit);
    rlimit limit = m_oldLimit;
    limit.rlim_cur = nBytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    // Instead of ending the process.
    m_oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  }
  CFileSizeLimit(const CFileSizeLimit&) = delete;
  CFileSizeLimit& operator=(const CFileSizeLimit&) = delete;
  ~CFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &m_oldLimit);
    ::signal(SIGXFSZ, m_oldHandler);
  }

 private:
  rlimit m_oldLimit{};
  sighandler_t m_oldHandler = SIG_DFL;
};

class CSmallFilesystem {
 public:
  explicit CSmallFilesystem(std::size_t nBytes) {
    const std::string strOptions = "size=" + std::to_string(nBytes) + ",mode=0777";
    m_bMounted = !m_dir.Path().empty() &&
                 ::mount("tmpfs", m_dir.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, strOptions.c_str()) == 0;
    if (!m_bMounted) m_limit.emplace(nBytes);
  }
  CSmallFilesystem(const CSmallFilesystem&) = delete;
  CSmallFilesystem& operator=(const CSmallFilesystem&) = delete;
  ~CSmallFilesystem() {
    if (m_bMounted) {
      ::umount2(m_dir.Path().c_str(), MNT_DETACH);
    } else {
      // Directories writable again, so that the files in them can go.
      namespace fs = std::filesystem;
      std::error_code ec;
      fs::permissions(Path(), fs::perms::owner_all, fs::perm_options::add, ec);
      for (const auto& entry : fs::recursive_directory_iterator(Path(), ec))
        if (entry.is_directory(ec)) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }

  const std::string& Path() const { return m_dir.Path(); }
  bool IsTmpfs() const { return m_bMounted; }

  // Writes a filler file until the file system is full (on a tmpfs).
  void Fill() {
    if (!m_bMounted) return;
    std::ofstream filler(Path() + "/filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), block.size())) {
    }
  }

  // From now on nothing in it can be changed: the tmpfs is mounted read-only,
  // or, without one, the files and directories lose their write bits (which
  // stops every user but root).
  void MakeReadOnly() {
    if (m_bMounted) {
      ::mount(nullptr, Path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr);
      return;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(Path(), ec))
      fs::permissions(entry.path(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                      fs::perm_options::remove, ec);
    fs::permissions(Path(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove, ec);
  }

 private:
  CTempDir m_dir;
  bool m_bMounted = false;
  std::optional<CFileSizeLimit> m_limit;
};
