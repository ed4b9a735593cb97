#include "UploadStore.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "support/Text.h"

namespace demosite {
namespace fs = std::filesystem;
namespace {

// Each record directory holds one small file per field, byte for byte, and
// the recording below "file/".
constexpr char kUidFile[] = "uid";
constexpr char kTidFile[] = "tid";
constexpr char kEndpointFile[] = "endpoint";
constexpr char kEnglishFile[] = "english";
constexpr char kReceivedFile[] = "received";
constexpr char kFileDir[] = "file";
constexpr char kFallbackName[] = "upload.bin";

void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::optional<std::string> ReadAll(const fs::path& path) { return support::ReadWholeFile(path.string()); }

std::string NowUtc() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

bool IsRecordName(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string SafeFileName(const std::string& name) {
  // Clients on Windows send either separator.
  const size_t slash = name.find_last_of("/\\");
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  base.erase(std::remove_if(base.begin(), base.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; }),
             base.end());
  if (base.empty() || base == "." || base == "..") return kFallbackName;
  return base;
}

CUploadStore::CUploadStore(fs::path dir) : m_dir(std::move(dir)) {
  fs::create_directories(m_dir);
  Load();
}

fs::path CUploadStore::RecordDir(int id) const {
  char name[16];
  std::snprintf(name, sizeof name, "%06d", id);
  return m_dir / name;
}

void CUploadStore::Load() {
  for (const auto& entry : fs::directory_iterator(m_dir)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_directory() || !IsRecordName(name)) continue;
    CUploadRecord r;
    r.nId = std::stoi(name);
    auto uid = ReadAll(entry.path() / kUidFile), tid = ReadAll(entry.path() / kTidFile);
    auto endpoint = ReadAll(entry.path() / kEndpointFile), english = ReadAll(entry.path() / kEnglishFile);
    if (!uid || !tid || !endpoint || !english) continue;  // not one of ours
    r.strUid = *uid;
    r.strTid = *tid;
    r.strEndpoint = *endpoint;
    r.bEnglish = *english == "1";
    r.strReceived = ReadAll(entry.path() / kReceivedFile).value_or("");
    std::error_code ec;
    for (const auto& file : fs::directory_iterator(entry.path() / kFileDir, ec)) {
      r.strFileName = file.path().filename().string();
      r.nFileBytes = file.file_size();
    }
    m_records.push_back(std::move(r));
  }
  std::sort(m_records.begin(), m_records.end(), [](const auto& a, const auto& b) { return a.nId < b.nId; });
}

CUploadRecord CUploadStore::Add(const std::string& endpoint, bool english, const std::string& uid,
                                const std::string& tid, const std::string& fileName, const std::string& content) {
  std::lock_guard<std::mutex> lock(m_lock);
  CUploadRecord r;
  r.nId = m_records.empty() ? 1 : m_records.back().nId + 1;
  r.strEndpoint = endpoint;
  r.bEnglish = english;
  r.strUid = uid;
  r.strTid = tid;
  r.strReceived = NowUtc();

  // Written aside and renamed into place, so a failed write leaves no record.
  const fs::path final = RecordDir(r.nId);
  const fs::path temp = m_dir / ("." + final.filename().string() + ".tmp");
  try {
    fs::remove_all(temp);
    fs::create_directories(temp / kFileDir);
    WriteAll(temp / kUidFile, uid);
    WriteAll(temp / kTidFile, tid);
    WriteAll(temp / kEndpointFile, endpoint);
    WriteAll(temp / kEnglishFile, english ? "1" : "0");
    WriteAll(temp / kReceivedFile, r.strReceived);
    if (!fileName.empty()) {
      r.strFileName = SafeFileName(fileName);
      r.nFileBytes = content.size();
      WriteAll(temp / kFileDir / r.strFileName, content);
    }
    fs::rename(temp, final);
  } catch (const fs::filesystem_error& e) {
    std::error_code ignored;
    fs::remove_all(temp, ignored);
    throw std::runtime_error(e.what());
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(temp, ignored);
    throw;
  }
  m_records.push_back(r);
  return r;
}

std::vector<CUploadRecord> CUploadStore::List() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_records;
}

std::optional<fs::path> CUploadStore::FilePath(int id) const {
  std::lock_guard<std::mutex> lock(m_lock);
  for (const auto& r : m_records)
    if (r.nId == id && !r.strFileName.empty()) return RecordDir(id) / kFileDir / r.strFileName;
  return std::nullopt;
}

}  // namespace demosite
