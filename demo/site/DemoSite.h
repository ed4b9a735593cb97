#pragma once
// The demo product web site: the course files, the module manifest and the
// encoder library for the shell's fetches, and the upload service that
// receives the pupil's recordings.
#include <httplib.h>

#include <string>

#include "UploadStore.h"

namespace demosite {

struct CDemoSiteOptions {
  std::string strRoot;     // the course directory (qzboot.swf, tovan.xml, course/...)
  std::string strStore;    // where uploads are kept
  std::string strEncoder;  // the encoder library file; may be empty or not exist yet
};

class CDemoSite {
 public:
  // Throws std::runtime_error when the root is not a directory or the store
  // cannot be created.
  explicit CDemoSite(const CDemoSiteOptions& options);

  // Binds 127.0.0.1 on the port (0: any free one); returns the port, or -1.
  int Bind(int port);
  // Serves until Stop(); false when the server could not run.
  bool Listen();
  void Stop();

  const CUploadStore& Store() const { return m_store; }

 private:
  void HandleUpload(const httplib::Request& req, httplib::Response& res, bool english);
  void HandleEncoder(httplib::Response& res) const;
  void HandleList(httplib::Response& res) const;
  void HandleListJson(httplib::Response& res) const;
  void HandleRecording(const httplib::Request& req, httplib::Response& res) const;

  CDemoSiteOptions m_options;
  CUploadStore m_store;
  httplib::Server m_server;
};

// Text made safe for JSON strings and HTML: bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& bytes);
std::string HtmlText(const std::string& bytes);

}  // namespace demosite
