#pragma once
// Fresh directories under $TMPDIR (else /tmp), removed with everything in them at the end,
// and whole files in and out.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class CTempDir {
 public:
  CTempDir() {
    std::string strTemplate = (std::filesystem::temp_directory_path() / "tessel-test-XXXXXX").string();
    if (::mkdtemp(strTemplate.data())) m_path = strTemplate;
  }
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;
  ~CTempDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// A fresh directory that is the current one for its lifetime.
class CScratchDir : public CTempDir {
 public:
  CScratchDir() : m_previous(std::filesystem::current_path()) { std::filesystem::current_path(Path()); }
  ~CScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(m_previous, ec);
  }

 private:
  std::filesystem::path m_previous;
};

// A fresh directory that holds the run log (WINDIR) for its lifetime.
class CLogDir : public CTempDir {
 public:
  CLogDir() { ::setenv("WINDIR", Path().c_str(), 1); }
  ~CLogDir() { ::unsetenv("WINDIR"); }
  std::string LogPath() const { return Path() + "/RunLog.log"; }
  std::string LogText() const;
};

// Empty when the file cannot be read.
inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// How many times fragment occurs in text (lines of a log, say).
inline int CountOf(const std::string& text, const std::string& fragment) {
  int n = 0;
  for (std::size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++n;
  return n;
}

// Creates the directories above the file as well.
inline void WriteWholeFile(const std::filesystem::path& path, const std::string& bytes) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string CLogDir::LogText() const { return ReadWholeFile(LogPath()); }
