#pragma once
// Builds a multipart/form-data body shaped like an HTML form submission and
// posts it to the upload host, streaming file parts from disk.
#include <cstdint>
#include <string>
#include <unordered_map>

// The waits of one upload. The defaults are the ones the original's internet
// library applied by itself; tests shorten them.
struct CUploadSettings {
  long m_nConnectTimeoutMs = 60000;
  // A transfer that moves no byte either way for this long ends as failed.
  long m_nStallTimeoutMs = 30000;
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
  std::string GetContentTypeHeader() const;
  // The closing block; counts its length into m_dwContentLength.
  std::string GetTrailer();
  // TRUE when the request went out and the response was read to its end,
  // whatever the HTTP status.
  bool Send();
  bool Send(const CUploadSettings& settings);

  std::uint32_t GetContentLength() const { return m_dwContentLength; }
  std::uint16_t GetPort() const { return m_nPort; }
  const char* GetServer() const { return m_szServer; }
  const char* GetObject() const { return m_szObject; }

  static constexpr std::size_t kNameSize = 100;

 private:
  std::uint16_t m_nPort;
  char m_szObject[kNameSize];
  char m_szServer[kNameSize];
  std::string m_strBoundary;
  std::uint32_t m_dwContentLength;
  std::string m_strFields;
  std::unordered_map<std::string, std::string> m_mapFiles;
};
