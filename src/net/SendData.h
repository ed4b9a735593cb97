#pragma once
// Builds a multipart/form-data body shaped like an HTML form submission and
// posts it to the upload host, streaming file parts from disk.
#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>

// The waits of one upload. The defaults are the ones the original's internet
// library applied by itself; tests shorten them.
struct CUploadSettings {
  long m_nConnectTimeoutMs = 60000;
  // A transfer that moves no byte either way for this long ends as failed.
  long m_nStallTimeoutMs = 30000;
  // Once true, a transfer under way ends within a few tens of milliseconds;
  // the owner keeps it alive meanwhile.
  const std::atomic<bool>* m_pbStop = nullptr;
};

class CSendData {
 public:
  CSendData();
  virtual ~CSendData();

  // Host from the program's setting, path as given, port 80 (or the port
  // the host setting carries).
  void SetServer(const std::string& strObject);
  // Drops the parts and the counted length; server, path and boundary stay.
  void Reset();
  void AddField(const std::string& strName, const std::string& strValue);
  void AddFile(const std::string& strPath, const std::string& strFieldName);
  // A file part whose content is nLength bytes of strPath from nOffset on,
  // named strFileName in the request.
  void AddFile(const std::string& strPath, const std::string& strFieldName, const std::string& strFileName,
               std::uint64_t nOffset, std::uint64_t nLength);
  std::string GetContentTypeHeader() const;
  // The closing block; counts its length into m_dwContentLength.
  std::string GetTrailer();
  // TRUE when the request went out and the response was read to its end,
  // whatever the HTTP status.
  bool Send();
  bool Send(const CUploadSettings& settings);
  // The HTTP status of the last Send's response; 0 when none came.
  long GetStatus() const { return m_nStatus; }

  std::uint32_t GetContentLength() const { return m_dwContentLength; }
  std::uint16_t GetPort() const { return m_nPort; }
  const char* GetServer() const { return m_szServer; }
  const char* GetObject() const { return m_szObject; }

  static constexpr std::size_t kNameSize = 100;

 private:
  // A part's length for the whole file: read to its end, and a file that
  // changed since it was counted ends the request as failed.
  static constexpr std::uint64_t kToTheEnd = std::numeric_limits<std::uint64_t>::max();
  struct CFilePart {
    std::string strHeader;
    std::uint64_t nOffset;
    std::uint64_t nLength;
  };

  std::uint16_t m_nPort;
  char m_szObject[kNameSize];
  char m_szServer[kNameSize];
  std::string m_strBoundary;
  std::uint32_t m_dwContentLength;
  std::string m_strFields;
  std::unordered_map<std::string, CFilePart> m_mapFiles;
  long m_nStatus = 0;
};
