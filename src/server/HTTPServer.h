#pragma once
// The resource server: a minimal HTTP/1.0 file server over the cache
// directory for the movie. A file missing from the cache is fetched from the
// product web site first; the boot movie and XML files on every request.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "server/Fetch.h"
#include "server/GenericServer.h"
#include "server/ProductSite.h"
#include "support/ConnectGuard.h"

// Where a GET path leads, worked out from its text alone.
struct CRequestMapping {
  // The path less its leading '/' (or "//"), query included: what is fetched
  // below the web site's base URL, byte for byte.
  std::string strRemotePath;
  std::string strContentType;
  // Made once a file comes for it; empty for a file directly in the cache directory.
  std::string strDirectory;
  // The query is a prefix of the cached name, except for XML files.
  std::string strLocalPath;
  // The boot movie and XML files are fetched on every request.
  bool bRefresh = false;
};

// Touches nothing. None when the path would lead out of the cache directory
// (strRootDir, ending in '/') or out of the web site's path.
std::optional<CRequestMapping> MapRequestPath(const std::string& strPath, const std::string& strRootDir,
                                              const std::map<std::string, std::string>& mapMimeTypes);
// Lower-case extension to content type, as every server starts with.
std::map<std::string, std::string> DefaultMimeTypes();

class CHTTPServer : public CGenericServer {
 public:
  CHTTPServer();
  // Stops the server itself: connection threads read this class's members,
  // which are gone by the time the base destructor runs. A class derived
  // from this one calls Stop in its own destructor, for the same reason.
  ~CHTTPServer() override;

  // Empties the run log, creates the cache directory, listens on the first
  // port from nPort upward that no TCP socket uses and that it can bind
  // (m_nPort) and returns Run's result: false at once when there is none.
  // The product web site, or its copies on disk, come from
  // GetProductBaseUrl().
  bool Start(const std::string& strRootDir, const std::string& strDefaultDoc, int nPort, int nClientTimeout);
  // Shutdown's result.
  bool Stop();
  // Where files come from, as Start read the setting.
  const CProductSite& Site() const { return m_site; }

  // Set before Start. A GET whose path begins with prefix (exact bytes) is
  // answered with handler's result as the whole reply, given the whole
  // request as received; nothing is created or fetched and the connection
  // closes after the reply. So is a POST there, read up to the end of its
  // Content-Length body when that is at most nMaxBody bytes and admitBody
  // (when given) accepts its header; otherwise the handler gets the header
  // alone, at once.
  void SetReservedHandler(std::string prefix, std::function<std::string(const std::string& requestText)> handler,
                          std::size_t nMaxBody = 0,
                          std::function<bool(const std::string& requestHeader)> admitBody = {});

  int OnClientAccepted(const std::string& strAddress, std::uint16_t nPort) override;
  int OnReplySent(std::uint32_t nBytesSent) override;
  // True once the bytes end with an empty line; a POST to the reserved
  // prefix once its body has arrived as well.
  bool IsRequestComplete(std::string strRequest) override;
  std::size_t GetMaxRequestSize(const std::string& strRequest) const override;
  // The reply with the whole file in it.
  bool ParseRequest(std::string strRequest, std::string& strReply, int& bKeepAlive) override;
  // The reply's header, with the file as its body: what the connections send.
  bool ParseRequestWithBody(std::string strRequest, std::string& strReply, CReplyBody& body, int& bKeepAlive) override;

 protected:
  // The program fetches with the defaults; tests shorten the waits. Fetches
  // stop with the server.
  CFetchSettings m_fetchSettings;

 private:
  // Creates the file's directory and brings the file into the cache when
  // it is missing or is one that is always fetched.
  void PrepareLocalFile(const CRequestMapping& mapping) const;
  bool IsReservedPost(const std::string& strRequest) const;
  bool IsForeign(std::string_view strRequest) const;

  std::string m_strRootDir;
  std::string m_strDefaultDoc;
  std::map<std::string, std::string> m_mapMimeTypes;
  std::string m_strBaseUrl;
  CProductSite m_site;
  // While the server runs: no fetch of this process connects to it.
  std::optional<support::COwnServerPort> m_ownPort;
  std::string m_strReservedPrefix;
  std::function<std::string(const std::string& requestText)> m_reservedHandler;
  std::size_t m_nReservedMaxBody = 0;
  std::function<bool(const std::string& requestHeader)> m_reservedAdmitBody;
};
