// A ZIP archive as a copy of the product web site, through libzip.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "server/SiteBase.h"
#include "server/SitePath.h"
#include "support/Handles.h"
#include "support/Text.h"

namespace {

// Handles open at once; each holds the archive's directory.
constexpr std::size_t kMaxHandles = 8;
// How often a fetch waiting for a handle looks whether it was stopped.
constexpr auto kStopCheckInterval = std::chrono::milliseconds(100);
// The MS-DOS attribute that marks a directory, kept in the low byte by every writer.
constexpr zip_uint32_t kDosDirectory = 0x10;

struct CFileIdentity {
  dev_t nDevice = 0;
  ino_t nInode = 0;
  off_t nSize = 0;
  timespec modified{};
  bool operator==(const CFileIdentity& other) const {
    return nDevice == other.nDevice && nInode == other.nInode && nSize == other.nSize &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
  }
};

CFileIdentity IdentityOf(const struct stat& st) { return {st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }

struct CZipFileCloser {
  void operator()(zip_file_t* pFile) const { zip_fclose(pFile); }
};

std::string ZipErrorText(zip_error_t& error) {
  std::string strText = zip_error_strerror(&error);
  zip_error_fini(&error);
  return strText;
}

// A file, not a directory or a link: by its name, its MS-DOS attributes and,
// where the archive was made on a Unix system, its file mode.
bool IsPlainFile(zip_t* pZip, zip_uint64_t nIndex, const zip_stat_t& st) {
  if ((st.valid & ZIP_STAT_NAME) && std::strlen(st.name) > 0 && st.name[std::strlen(st.name) - 1] == '/') return false;
  zip_uint8_t nSystem = 0;
  zip_uint32_t nAttributes = 0;
  if (zip_file_get_external_attributes(pZip, nIndex, 0, &nSystem, &nAttributes) != 0) return false;
  if (nAttributes & kDosDirectory) return false;
  const auto nMode = static_cast<mode_t>(nAttributes >> 16);
  return nSystem != ZIP_OPSYS_UNIX || (nMode & S_IFMT) == 0 || S_ISREG(nMode);
}

// Names stored without the UTF-8 flag that are not UTF-8 either (archivers
// on Chinese Windows write code page 936 so), with their entries: as UTF-8
// text, and as the bytes they are, which is how the Windows player asked
// for them. libzip would read them as code page 437.
std::unordered_map<std::string, zip_uint64_t> Cp936Names(zip_t* pZip) {
  std::unordered_map<std::string, zip_uint64_t> names;
  const zip_int64_t nEntries = zip_get_num_entries(pZip, 0);
  for (zip_uint64_t i = 0; nEntries > 0 && i < static_cast<zip_uint64_t>(nEntries); ++i) {
    const char* pszRaw = zip_get_name(pZip, i, ZIP_FL_ENC_RAW);
    if (pszRaw == nullptr) continue;
    const std::string strRaw = pszRaw;
    // Strict reading converts from code page 437 exactly the names without the flag.
    const char* pszStrict = zip_get_name(pZip, i, ZIP_FL_ENC_STRICT);
    if (pszStrict == nullptr || strRaw == pszStrict || support::ToUtf8(strRaw, "UTF-8")) continue;
    if (std::optional<std::string> strName = support::ToUtf8(strRaw, "CP936")) {
      names.emplace(std::move(*strName), i);
      names.emplace(strRaw, i);
    }
  }
  return names;
}

// Streams one member into the local file. libzip checks the member's size and
// checksum once it has read it to the end; a mismatch fails the read.
bool ReadMember(zip_t* pZip, zip_int64_t nIndex, const std::string& strLocalPath, const CFetchSettings& settings) {
  if (nIndex < 0) return false;
  const auto nEntry = static_cast<zip_uint64_t>(nIndex);
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(pZip, nEntry, 0, &st) != 0 || !IsPlainFile(pZip, nEntry, st)) return false;
  const std::unique_ptr<zip_file_t, CZipFileCloser> file(zip_fopen_index(pZip, nEntry, 0));
  if (!file) return false;
  zip_uint64_t nTotal = 0;
  return StoreFromReader(
      strLocalPath,
      [&](char* pData, std::size_t nSize) -> ssize_t {
        const zip_int64_t nRead = zip_fread(file.get(), pData, nSize);
        if (nRead > 0) nTotal += static_cast<zip_uint64_t>(nRead);
        if (nRead == 0 && (st.valid & ZIP_STAT_SIZE) && nTotal != st.size) return -1;
        return static_cast<ssize_t>(nRead);
      },
      settings);
}

}  // namespace

class CArchiveBase::CHandle {
 public:
  CHandle(zip_t* pZip, CFileIdentity identity) : m_pZip(pZip), m_identity(identity), m_cp936Names(Cp936Names(pZip)) {}
  CHandle(const CHandle&) = delete;
  CHandle& operator=(const CHandle&) = delete;
  ~CHandle() { zip_discard(m_pZip); }

  // The entry of a member name, or -1.
  zip_int64_t Locate(const std::string& strMember) const {
    const zip_int64_t nIndex = zip_name_locate(m_pZip, strMember.c_str(), 0);
    if (nIndex >= 0) return nIndex;
    const auto it = m_cp936Names.find(strMember);
    return it == m_cp936Names.end() ? -1 : static_cast<zip_int64_t>(it->second);
  }

  zip_t* const m_pZip;
  const CFileIdentity m_identity;

 private:
  const std::unordered_map<std::string, zip_uint64_t> m_cp936Names;
};

namespace {

// Opens the archive read-only on a descriptor that programs the process
// starts do not inherit; without waiting, should the path have become a pipe.
std::unique_ptr<CArchiveBase::CHandle> OpenArchive(const std::string& strPath, std::string& strError) {
  const int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (nFd < 0) {
    strError = std::strerror(errno);
    return {};
  }
  support::CFilePtr file(::fdopen(nFd, "rb"));
  struct stat st {};
  if (!file) {
    strError = std::strerror(errno);
    ::close(nFd);
    return {};
  }
  if (::fstat(nFd, &st) != 0 || !S_ISREG(st.st_mode)) {
    strError = "not a file";
    return {};
  }
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* pSource = zip_source_filep_create(file.get(), 0, -1, &error);
  if (pSource == nullptr) {
    strError = ZipErrorText(error);
    return {};
  }
  file.release();  // the source owns it now
  zip_t* pZip = zip_open_from_source(pSource, ZIP_RDONLY, &error);
  if (pZip == nullptr) {
    zip_source_free(pSource);
    // libzip finds no archive directory in a file that was cut short, too.
    const bool bNoArchive = zip_error_code_zip(&error) == ZIP_ER_NOZIP;
    strError = bNoArchive ? "not a ZIP archive, or one cut short or damaged" : ZipErrorText(error);
    if (bNoArchive) zip_error_fini(&error);
    return {};
  }
  zip_error_fini(&error);
  return std::make_unique<CArchiveBase::CHandle>(pZip, IdentityOf(st));
}

}  // namespace

// A handle lent to one fetch, given back when the fetch ends however it ends.
class CArchiveBase::CLease {
 public:
  CLease() = default;
  CLease(const CArchiveBase* pOwner, std::unique_ptr<CHandle> handle) : m_pOwner(pOwner), m_handle(std::move(handle)) {}
  // Made in place only: a moved-from lease would give its slot back twice.
  CLease(CLease&&) = delete;
  CLease& operator=(CLease&&) = delete;
  ~CLease() {
    if (m_pOwner) m_pOwner->Release(std::move(m_handle));
  }
  explicit operator bool() const { return m_handle != nullptr; }
  const CHandle& Handle() const { return *m_handle; }

 private:
  const CArchiveBase* m_pOwner = nullptr;
  std::unique_ptr<CHandle> m_handle;
};

CArchiveBase::CArchiveBase(std::string strText, std::string strPath)
    : CSiteBase(std::move(strText)), m_strPath(std::move(strPath)) {}

CArchiveBase::~CArchiveBase() = default;

CArchiveBase::CLease CArchiveBase::Acquire(const CFetchSettings& settings, std::string& strError) const {
  struct stat st {};
  if (::stat(m_strPath.c_str(), &st) != 0) {
    strError = std::strerror(errno);
    return {};
  }
  const CFileIdentity identity = IdentityOf(st);
  {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
      // Handles of an archive that has been replaced since would read the old one.
      m_nOpen -= std::erase_if(m_idle, [&](const auto& handle) { return !(handle->m_identity == identity); });
      if (!m_idle.empty()) {
        std::unique_ptr<CHandle> handle = std::move(m_idle.back());
        m_idle.pop_back();
        return CLease(this, std::move(handle));
      }
      if (m_nOpen < kMaxHandles) break;
      if (settings.IsStopped()) {
        strError = "stopped";
        return {};
      }
      m_released.wait_for(lock, kStopCheckInterval);
    }
    ++m_nOpen;  // this fetch's own, counted before it is open so no other opens it too
  }
  std::unique_ptr<CHandle> handle = OpenArchive(m_strPath, strError);
  if (!handle) Release(nullptr);
  return handle ? CLease(this, std::move(handle)) : CLease();
}

void CArchiveBase::Release(std::unique_ptr<CHandle> handle) const {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (handle)
      m_idle.push_back(std::move(handle));
    else
      --m_nOpen;
  }
  m_released.notify_one();
}

bool CArchiveBase::Fetch(const std::string& strPath, const std::string& strLocalPath,
                         const CFetchSettings& settings) const {
  std::string strMember;
  if (!SiteMemberName(strPath, strMember)) return false;
  std::string strError;
  const CLease lease = Acquire(settings, strError);
  return lease && ReadMember(lease.Handle().m_pZip, lease.Handle().Locate(strMember), strLocalPath, settings);
}

std::string CArchiveBase::Problem() const {
  std::string strError;
  Acquire(CFetchSettings(), strError);
  return strError;
}
