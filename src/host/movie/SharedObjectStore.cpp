#include "host/movie/SharedObjectStore.h"

#include <unistd.h>
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/Paths.h"
#include "platform/ReplaceFile.h"
#include "support/Text.h"

namespace host {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMagic = "quillby-saved";
constexpr int kFormatVersion = 1;
constexpr std::string_view kFileSuffix = ".saved";
constexpr std::size_t kHashDigits = 16;
// Keys whose hashes meet take the next free name, "<hash>-<n>".
constexpr int kMaxNamesPerHash = 8;
// Header line: magic, version, two sizes and the checksum.
constexpr std::size_t kMaxHeaderSize = 80;

std::uint64_t HashOf(const std::string& key) {
  std::uint64_t hash = 14695981039346656037ull;  // 64-bit FNV-1a
  for (unsigned char c : key) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::uint32_t ChecksumOf(const std::string& key, const std::string& value) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  crc = ::crc32(crc, reinterpret_cast<const Bytef*>(key.data()), static_cast<uInt>(key.size()));
  crc = ::crc32(crc, reinterpret_cast<const Bytef*>(value.data()), static_cast<uInt>(value.size()));
  return static_cast<std::uint32_t>(crc);
}

std::string FileName(const std::string& key, int n) {
  char hex[kHashDigits + 1];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(HashOf(key)));
  return std::string(hex) + (n == 0 ? "" : "-" + std::to_string(n)) + std::string(kFileSuffix);
}

// "<16 hex digits>[-<n>].saved": the names this store gives its files.
bool IsEntryFileName(std::string_view name) {
  if (!name.ends_with(kFileSuffix)) return false;
  name.remove_suffix(kFileSuffix.size());
  if (name.size() < kHashDigits) return false;
  for (std::size_t i = 0; i < kHashDigits; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  const std::string_view rest = name.substr(kHashDigits);
  if (rest.empty()) return true;
  return rest.size() >= 2 && rest[0] == '-' && rest.find_first_not_of("0123456789", 1) == std::string_view::npos;
}

std::string Serialise(const std::string& key, const std::string& value) {
  char header[kMaxHeaderSize];
  std::snprintf(header, sizeof header, "%s %d %zu %zu %08x\n", kMagic.data(), kFormatVersion, key.size(), value.size(),
                static_cast<unsigned>(ChecksumOf(key, value)));
  return header + key + value;
}

struct Entry {
  std::string key;
  std::string value;
};

// The entry in path, or why there is none.
std::optional<Entry> ReadEntry(const std::string& path, std::string& why) {
  std::error_code ec;
  const std::uintmax_t nSize = fs::file_size(path, ec);
  if (ec) {
    why = "cannot be read: " + ec.message();
    return std::nullopt;
  }
  if (nSize > kMaxHeaderSize + CSharedObjectStore::kMaxKeySize + CSharedObjectStore::kMaxValueSize) {
    why = "larger than any entry (" + std::to_string(nSize) + " bytes)";
    return std::nullopt;
  }
  const std::optional<std::string> read = support::ReadWholeFile(path);
  if (!read) {
    why = "cannot be read";
    return std::nullopt;
  }
  const std::string& bytes = *read;

  const std::size_t nLineEnd = bytes.find('\n');
  if (nLineEnd == std::string::npos || nLineEnd > kMaxHeaderSize ||
      bytes.compare(0, kMagic.size() + 1, std::string(kMagic) + " ") != 0) {
    why = "not a saved-data file";
    return std::nullopt;
  }
  int nVersion = 0;
  std::size_t nKey = 0, nValue = 0;
  unsigned nChecksum = 0;
  const std::string header = bytes.substr(kMagic.size() + 1, nLineEnd - kMagic.size() - 1);
  char extra = 0;
  if (std::sscanf(header.c_str(), "%d %zu %zu %8x%c", &nVersion, &nKey, &nValue, &nChecksum, &extra) != 4 ||
      nKey == 0 || nKey > CSharedObjectStore::kMaxKeySize || nValue > CSharedObjectStore::kMaxValueSize) {
    why = "damaged header";
    return std::nullopt;
  }
  if (nVersion != kFormatVersion) {
    why = "written in another format (" + std::to_string(nVersion) + ")";
    return std::nullopt;
  }
  const std::size_t nExpected = nLineEnd + 1 + nKey + nValue;
  if (bytes.size() != nExpected) {
    why = bytes.size() < nExpected
              ? "truncated (" + std::to_string(bytes.size()) + " of " + std::to_string(nExpected) + " bytes)"
              : "longer than its header says";
    return std::nullopt;
  }
  Entry entry{bytes.substr(nLineEnd + 1, nKey), bytes.substr(nLineEnd + 1 + nKey)};
  if (ChecksumOf(entry.key, entry.value) != nChecksum) {
    why = "damaged (checksum does not match)";
    return std::nullopt;
  }
  return entry;
}

}  // namespace

CSharedObjectStore::CSharedObjectStore(std::string strDir) : m_strDir(std::move(strDir)) {}

std::map<std::string, std::string> CSharedObjectStore::LoadAll() {
  std::lock_guard guard(m_lock);
  std::map<std::string, std::string> entries;
  // Copies a killed writer left behind are never entries.
  platform::RemoveLeftoverTempFiles(m_strDir);
  std::error_code ec;
  for (fs::directory_iterator it(m_strDir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code ecType;
    if (!IsEntryFileName(name) || !it->is_regular_file(ecType)) continue;
    std::string why;
    std::optional<Entry> entry = ReadEntry(it->path().string(), why);
    if (!entry) {
      std::fprintf(stderr, "%s: saved data %s skipped: %s\n", platform::GetExeBaseName().c_str(), it->path().c_str(),
                   why.c_str());
      continue;
    }
    entries[entry->key] = std::move(entry->value);
  }
  return entries;
}

std::string CSharedObjectStore::FileFor(const std::string& key) const {
  std::string free;
  for (int n = 0; n < kMaxNamesPerHash; ++n) {
    const std::string path = m_strDir + "/" + FileName(key, n);
    std::error_code ec;
    if (!fs::exists(path, ec)) {
      if (free.empty()) free = path;
      continue;
    }
    std::string why;
    std::optional<Entry> entry = ReadEntry(path, why);
    if (entry && entry->key == key) return path;
    // One that cannot be read back is lost already: its name may be reused.
    if (!entry && free.empty()) free = path;
  }
  return free;
}

bool CSharedObjectStore::Put(const std::string& key, const std::string& value) {
  if (key.empty() || key.size() > kMaxKeySize || value.size() > kMaxValueSize) return false;
  std::lock_guard guard(m_lock);
  std::error_code ec;
  if (!platform::EnsureDurableDirectory(m_strDir, ec)) {
    ReportWriteFailure(ec.message());
    return false;
  }
  const std::string path = FileFor(key);
  if (path.empty()) {
    ReportWriteFailure("no free name for an entry");
    return false;
  }
  const std::string bytes = Serialise(key, value);
  platform::CReplacingFile file(path);
  bool bWritten = file.Create();
  if (bWritten) {
    errno = 0;
    bWritten = file.Write(bytes.data(), bytes.size());
    // A short write without an error is a full disk.
    if (!bWritten && errno == 0) errno = ENOSPC;
  }
  if (bWritten) bWritten = file.Commit(true);
  if (!bWritten) ReportWriteFailure(std::strerror(errno));
  return bWritten;
}

bool CSharedObjectStore::Remove(const std::string& key) {
  if (key.empty() || key.size() > kMaxKeySize) return false;
  std::lock_guard guard(m_lock);
  bool bRemoved = false;
  for (int n = 0; n < kMaxNamesPerHash; ++n) {
    const std::string path = m_strDir + "/" + FileName(key, n);
    std::string why;
    std::optional<Entry> entry = ReadEntry(path, why);
    if (!entry || entry->key != key) continue;
    if (::unlink(path.c_str()) != 0) {
      ReportWriteFailure(std::strerror(errno));
      return false;
    }
    bRemoved = true;
  }
  if (bRemoved && !platform::SyncDirectory(m_strDir)) {
    ReportWriteFailure(std::strerror(errno));
    return false;
  }
  return true;
}

void CSharedObjectStore::ReportWriteFailure(const std::string& what) {
  if (m_bFailureReported) return;
  m_bFailureReported = true;
  std::fprintf(stderr, "%s: saved data cannot be written to %s: %s; the movie goes on without it\n",
               platform::GetExeBaseName().c_str(), m_strDir.c_str(), what.c_str());
}

}  // namespace host
