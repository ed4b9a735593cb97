#include "net/Outbox.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/Paths.h"
#include "platform/ReplaceFile.h"
#include "support/Handles.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMagic = "quillby-upload";
constexpr int kFormatVersion = 1;
constexpr std::string_view kEntrySuffix = ".upload";
constexpr std::size_t kSequenceDigits = 12;
// Header line: magic, version and four sizes.
constexpr std::size_t kMaxHeaderSize = 120;
// "<8 hex digits>\n"
constexpr std::size_t kTrailerSize = 9;
constexpr std::size_t kCopyBlock = 65536;
constexpr const char* kFileField = "txtfile";
// The name the recording has in the request, wherever it is kept.
constexpr const char* kRecordingName = "test.mp3";

void Say(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", platform::GetExeBaseName().c_str(), text.c_str());
}

// "<12 digits>-<digits>.upload": the names entries have.
bool IsEntryName(std::string_view name) {
  if (!name.ends_with(kEntrySuffix)) return false;
  name.remove_suffix(kEntrySuffix.size());
  if (name.size() < kSequenceDigits + 2 || name[kSequenceDigits] != '-') return false;
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  const std::string_view sequence = name.substr(0, kSequenceDigits), pid = name.substr(kSequenceDigits + 1);
  return std::all_of(sequence.begin(), sequence.end(), isDigit) && std::all_of(pid.begin(), pid.end(), isDigit);
}

struct CListed {
  std::string path;
  std::uint64_t size;
};

// The entries in dir, oldest first.
std::vector<CListed> ListEntries(const std::string& dir) {
  std::vector<CListed> entries;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code ecFile;
    if (!IsEntryName(it->path().filename().native()) || !it->is_regular_file(ecFile)) continue;
    const std::uintmax_t size = it->file_size(ecFile);
    entries.push_back({it->path().string(), ecFile ? 0 : size});
  }
  std::sort(entries.begin(), entries.end(), [](const CListed& a, const CListed& b) {
    return fs::path(a.path).filename() < fs::path(b.path).filename();
  });
  return entries;
}

std::uint32_t Crc(std::uint32_t crc, const char* data, std::size_t size) {
  return static_cast<std::uint32_t>(::crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

bool ReadAt(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

struct CEntry {
  UploadParam param;
  std::uint64_t nRecordingOffset = 0;
  long long nRecordingSize = -1;  // -1: the upload had no recording file
};

// The entry in the open file fd of nFileSize bytes, or why there is none.
std::optional<CEntry> ReadEntry(int fd, std::uint64_t nFileSize, std::string& why) {
  char head[kMaxHeaderSize + 1] = {};
  const ssize_t nHead = ::pread(fd, head, kMaxHeaderSize, 0);
  const char* pLineEnd =
      nHead > 0 ? static_cast<const char*>(std::memchr(head, '\n', static_cast<size_t>(nHead))) : nullptr;
  if (!pLineEnd || std::string_view(head).substr(0, kMagic.size() + 1) != std::string(kMagic) + " ") {
    why = "not an upload entry";
    return std::nullopt;
  }
  const std::size_t nLine = static_cast<std::size_t>(pLineEnd - head) + 1;
  int nVersion = 0;
  std::size_t nSizes[3] = {};
  long long nRecording = 0;
  char extra = 0;
  const std::string fields(head + kMagic.size() + 1, static_cast<std::size_t>(pLineEnd - head) - kMagic.size() - 1);
  if (std::sscanf(fields.c_str(), "%d", &nVersion) == 1 && nVersion != kFormatVersion) {
    why = "written in another format (" + std::to_string(nVersion) + ")";
    return std::nullopt;
  }
  if (std::sscanf(fields.c_str(), "%d %zu %zu %zu %lld%c", &nVersion, &nSizes[0], &nSizes[1], &nSizes[2], &nRecording,
                  &extra) != 5 ||
      std::any_of(std::begin(nSizes), std::end(nSizes), [](std::size_t n) { return n > COutbox::kMaxFieldSize; }) ||
      nRecording < -1 || nRecording > static_cast<long long>(COutbox::kMaxBytes)) {
    why = "damaged header";
    return std::nullopt;
  }
  const std::uint64_t nRecordingSize = nRecording < 0 ? 0 : static_cast<std::uint64_t>(nRecording);
  const std::uint64_t nExpected = nLine + nSizes[0] + nSizes[1] + nSizes[2] + nRecordingSize + kTrailerSize;
  if (nFileSize != nExpected) {
    why = nFileSize < nExpected
              ? "truncated (" + std::to_string(nFileSize) + " of " + std::to_string(nExpected) + " bytes)"
              : "longer than its header says";
    return std::nullopt;
  }

  CEntry entry;
  std::string* values[3] = {&entry.param.strUid, &entry.param.strTid, &entry.param.strEnglish};
  std::uint64_t offset = nLine;
  std::uint32_t crc = Crc(0, nullptr, 0);
  for (int i = 0; i < 3; ++i) {
    values[i]->resize(nSizes[i]);
    if (!ReadAt(fd, values[i]->data(), nSizes[i], offset)) {
      why = "cannot be read";
      return std::nullopt;
    }
    crc = Crc(crc, values[i]->data(), nSizes[i]);
    offset += nSizes[i];
  }
  entry.nRecordingOffset = offset;
  entry.nRecordingSize = nRecording;
  std::vector<char> block(kCopyBlock);
  for (std::uint64_t left = nRecordingSize; left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
    if (!ReadAt(fd, block.data(), n, offset)) {
      why = "cannot be read";
      return std::nullopt;
    }
    crc = Crc(crc, block.data(), n);
    offset += n;
    left -= n;
  }
  char trailer[kTrailerSize + 1] = {};
  unsigned nStored = 0;
  if (!ReadAt(fd, trailer, kTrailerSize, offset) || trailer[kTrailerSize - 1] != '\n' ||
      std::sscanf(trailer, "%8x", &nStored) != 1 || nStored != crc) {
    why = "damaged (checksum does not match)";
    return std::nullopt;
  }
  return entry;
}

}  // namespace

COutbox::COutbox(std::string strDir, const CUploadSettings& settings)
    : m_strDir(std::move(strDir)), m_settings(settings) {
  m_settings.m_pbStop = &m_bStop;
}

COutbox::~COutbox() {
  Stop();
  if (m_worker.joinable()) m_worker.join();
}

COutbox::EOutcome COutbox::Judge(long nStatus) {
  // A 2xx is the service's word that it has the upload, whatever came after.
  if (nStatus >= 200 && nStatus < 300) return EOutcome::Delivered;
  // Proxy login, time-out and too many requests may pass; the rest will not.
  if (nStatus >= 400 && nStatus < 500 && nStatus != 407 && nStatus != 408 && nStatus != 429) return EOutcome::Refused;
  return EOutcome::Failed;
}

std::string COutbox::Keep(const UploadParam& param, const std::string& strRecording) {
  std::string why;
  std::string path;
  {
    std::lock_guard keep(m_keepLock);
    path = Write(param, strRecording, why);
  }
  if (path.empty()) {
    std::lock_guard report(m_reportLock);
    if (!m_bFailureReported)
      Say("recordings cannot be kept in " + m_strDir + " until they are uploaded: " + why +
          "; a failed upload is lost");
    m_bFailureReported = true;
  }
  return path;
}

std::string COutbox::Write(const UploadParam& param, const std::string& strRecording, std::string& why) {
  const std::string* values[3] = {&param.strUid, &param.strTid, &param.strEnglish};
  if (std::any_of(std::begin(values), std::end(values),
                  [](const std::string* v) { return v->size() > kMaxFieldSize; })) {
    why = "the movie's values are too large";
    return {};
  }
  // A recording that is missing goes as the upload did: without a file part.
  support::CFilePtr recording(std::fopen(strRecording.c_str(), "rb"));
  struct stat info {};
  if (recording && ::fstat(::fileno(recording.get()), &info) != 0) recording.reset();
  const long long nRecording = recording ? static_cast<long long>(info.st_size) : -1;

  char header[kMaxHeaderSize];
  std::snprintf(header, sizeof header, "%s %d %zu %zu %zu %lld\n", kMagic.data(), kFormatVersion, param.strUid.size(),
                param.strTid.size(), param.strEnglish.size(), nRecording);
  const std::uint64_t nSize = std::strlen(header) + param.strUid.size() + param.strTid.size() +
                              param.strEnglish.size() + static_cast<std::uint64_t>(std::max(nRecording, 0LL)) +
                              kTrailerSize;
  if (nSize > kMaxBytes) {
    why = "the recording is larger than the outbox holds";
    return {};
  }
  std::error_code ec;
  if (!platform::EnsureDurableDirectory(m_strDir, ec)) {
    why = ec.message();
    return {};
  }
  MakeRoom(m_strDir, nSize);

  const std::string path = m_strDir + "/" + NextName();
  platform::CReplacingFile file(path);
  errno = 0;
  std::uint32_t crc = Crc(0, nullptr, 0);
  bool bWritten = file.Create() && file.Write(header, std::strlen(header));
  for (const std::string* value : values) {
    crc = Crc(crc, value->data(), value->size());
    bWritten = bWritten && file.Write(value->data(), value->size());
  }
  std::vector<char> block(kCopyBlock);
  for (long long left = std::max(nRecording, 0LL); bWritten && left > 0;) {
    const std::size_t n = std::fread(block.data(), 1, std::min<std::size_t>(block.size(), left), recording.get());
    if (n == 0) {
      why = "the recording changed while it was kept";
      return {};
    }
    crc = Crc(crc, block.data(), n);
    bWritten = file.Write(block.data(), n);
    left -= static_cast<long long>(n);
  }
  char trailer[kTrailerSize + 1];
  std::snprintf(trailer, sizeof trailer, "%08x\n", static_cast<unsigned>(crc));
  bWritten = bWritten && file.Write(trailer, kTrailerSize);
  // A short write without an error is a full disk.
  if (!bWritten && errno == 0) errno = ENOSPC;
  if (bWritten) bWritten = file.Commit(true);
  if (!bWritten) {
    why = std::strerror(errno);
    return {};
  }
  return path;
}

void COutbox::MakeRoom(const std::string& strDir, std::uint64_t nIncoming) {
  std::vector<CListed> entries = ListEntries(strDir);
  std::uint64_t nTotal = 0;
  for (const CListed& entry : entries) nTotal += entry.size;
  bool bDropped = false;
  for (std::size_t i = 0;
       i < entries.size() && (entries.size() - i + 1 > kMaxEntries || nTotal + nIncoming > kMaxBytes); ++i) {
    if (::unlink(entries[i].path.c_str()) != 0) continue;
    bDropped = true;
    nTotal -= entries[i].size;
    Say("upload " + entries[i].path + " dropped: the outbox keeps at most " + std::to_string(kMaxEntries) +
        " uploads and " + std::to_string(kMaxBytes >> 20) + " MB, the oldest go first");
  }
  if (bDropped) platform::SyncDirectory(strDir);
}

std::string COutbox::NextName() const {
  // After every name in use, refused ones included, so a name never comes twice.
  unsigned long long nLast = 0;
  for (const std::string& dir : {m_strDir, m_strDir + "/" + kRefusedSubdir})
    for (const CListed& entry : ListEntries(dir))
      nLast = std::max(nLast, std::strtoull(fs::path(entry.path).filename().c_str(), nullptr, 10));
  char name[64];
  std::snprintf(name, sizeof name, "%0*llu-%d%s", static_cast<int>(kSequenceDigits), nLast + 1,
                static_cast<int>(::getpid()), kEntrySuffix.data());
  return name;
}

COutbox::EOutcome COutbox::Send(const std::string& strEntry) {
  support::CFd fd(::open(strEntry.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.IsValid() || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return EOutcome::Skipped;
  // Another sender may have delivered it between the open and the lock.
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0 || info.st_nlink == 0) return EOutcome::Skipped;
  std::string why;
  const std::optional<CEntry> entry = ReadEntry(fd.Get(), static_cast<std::uint64_t>(info.st_size), why);
  if (!entry) {
    ReportDamaged(strEntry, why);
    return EOutcome::Skipped;
  }

  CSendData sendData;
  PrepareUpload(sendData, entry->param);
  if (entry->nRecordingSize >= 0) {
    // Read through the descriptor: the bytes sent are those just checked,
    // even if the entry is dropped meanwhile.
    const std::uint32_t nFieldsOnly = sendData.GetContentLength();
    sendData.AddFile("/proc/self/fd/" + std::to_string(fd.Get()), kFileField, kRecordingName, entry->nRecordingOffset,
                     static_cast<std::uint64_t>(entry->nRecordingSize));
    // Never an upload without its recording.
    if (sendData.GetContentLength() == nFieldsOnly) return EOutcome::Failed;
  }
  sendData.Send(m_settings);
  const EOutcome outcome = Judge(sendData.GetStatus());
  if (outcome == EOutcome::Delivered && ::unlink(strEntry.c_str()) == 0) platform::SyncDirectory(m_strDir);
  if (outcome == EOutcome::Refused)
    FileRefused(strEntry, static_cast<std::uint64_t>(info.st_size), sendData.GetStatus());
  return outcome;
}

void COutbox::FileRefused(const std::string& strEntry, std::uint64_t nSize, long nStatus) {
  const std::string dir = m_strDir + "/" + kRefusedSubdir;
  const std::string target = dir + "/" + fs::path(strEntry).filename().string();
  std::error_code ec;
  std::lock_guard keep(m_keepLock);
  if (platform::EnsureDurableDirectory(dir, ec)) MakeRoom(dir, nSize);
  if (ec || ::rename(strEntry.c_str(), target.c_str()) != 0) {
    Say("upload " + strEntry + " refused by the service (HTTP " + std::to_string(nStatus) +
        "); it stays where it is: " + (ec ? ec.message() : std::strerror(errno)));
    return;
  }
  platform::SyncDirectory(dir);
  platform::SyncDirectory(m_strDir);
  Say("upload " + strEntry + " refused by the service (HTTP " + std::to_string(nStatus) + "); kept in " + target);
}

void COutbox::ReportDamaged(const std::string& strEntry, const std::string& why) {
  std::lock_guard report(m_reportLock);
  if (m_damagedReported.insert(strEntry).second) Say("upload " + strEntry + " skipped: " + why);
}

std::vector<std::string> COutbox::Pending() const {
  std::vector<std::string> paths;
  for (CListed& entry : ListEntries(m_strDir)) paths.push_back(std::move(entry.path));
  return paths;
}

void COutbox::Start() {
  if (!m_worker.joinable()) m_worker = std::thread([this] { Run(); });
}

void COutbox::Wake() {
  {
    std::lock_guard lock(m_wakeLock);
    m_bWanted = true;
  }
  m_wake.notify_all();
}

void COutbox::Stop() {
  {
    std::lock_guard lock(m_wakeLock);
    m_bStop = true;
  }
  m_wake.notify_all();
}

void COutbox::Run() {
  // Copies a killed writer left behind are never entries.
  platform::RemoveLeftoverTempFiles(m_strDir);
  std::unique_lock lock(m_wakeLock);
  for (;;) {
    m_wake.wait(lock, [this] { return m_bWanted || m_bStop; });
    if (m_bStop) return;
    m_bWanted = false;
    lock.unlock();
    // While the service does not answer, the rest wait for the next pass.
    for (const std::string& entry : Pending())
      if (m_bStop || Send(entry) == EOutcome::Failed) break;
    lock.lock();
  }
}
