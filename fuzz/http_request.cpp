// A request from any local process or web page, handled as a connection of
// the resource server hands it over once IsRequestComplete says it is whole:
// CHTTPServer::ParseRequestWithBody on a started server, whose reserved
// prefix is the movie page's (CMoviePageHandler::HandleRequest, bodies
// admitted by HasSecret), as the program sets it up. Files come from copies
// of the site on disk, never the network. "@SECRET@" in the input stands for
// the movie page's secret.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "TestArchive.h"
#include "host/movie/MoviePageHandler.h"
#include "server/HTTPServer.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSecretMark = "@SECRET@";
// Below the ports the program and its tests look at.
constexpr int kFirstPort = 39898;

// Every file below dir but those below the skipped ones, with its size.
std::map<std::string, std::uintmax_t> Snapshot(const fs::path& dir, const std::vector<fs::path>& skipped) {
  std::map<std::string, std::uintmax_t> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (std::find(skipped.begin(), skipped.end(), it->path()) != skipped.end()) {
      it.disable_recursion_pending();
      continue;
    }
    std::error_code ecSize;
    files[it->path().string()] = it->is_regular_file(ecSize) ? it->file_size(ecSize) : 0;
  }
  return files;
}

class CServerRig {
 public:
  CServerRig() {
    for (const auto& [strName, strBytes] : kCourse) WriteWholeFile(m_copy / strName, strBytes);
    WriteArchive(m_archive.string(), {{"course/archived.swf", "FWS-archived"}, {"data/list.xml", "<list/>"}});
    WriteWholeFile(m_page / "host.html", "<html></html>");
    ::setenv("QUILLBY_BASE_URL", (m_copy.string() + "/ " + m_archive.string()).c_str(), 1);
    ::setenv("WINDIR", m_log.c_str(), 1);

    host::CMoviePageHandler::Sinks sinks;
    // The window's thread: a call waits until its task has run.
    sinks.post = [](std::function<void()> task) { std::thread(std::move(task)).detach(); };
    sinks.onCall = [](const std::string&) { return std::optional<std::string>("<string>client</string>"); };
    sinks.onFSCommand = [](const std::string&, const std::string&) {};
    // Trace lines go nowhere: a log would only grow.
    m_handler = host::CMoviePageHandler::Create(m_page.string(), (m_page / "font.ttc").string(), std::move(sinks),
                                                m_saved.string(), "/dev/null");
    m_server.SetReservedHandler(
        host::CMoviePageHandler::kPrefix,
        [handler = m_handler](const CHttpRequest& request) { return handler->HandleRequest(request); },
        host::CMoviePageHandler::kMaxCallSize,
        [handler = m_handler](const CHttpRequest& head) { return handler->HasSecret(head); });
    if (!m_server.Start(m_cache.string(), "INDEX.HTML", kFirstPort, 20000)) std::abort();
    Reset();
    m_before = Snapshot(m_dir.Path(), {m_cache, m_saved, m_log});
  }
  ~CServerRig() { m_handler->Close(); }

  void Handle(std::string request) {
    for (std::size_t at; (at = request.find(kSecretMark)) != std::string::npos;)
      request.replace(at, kSecretMark.size(), m_handler->GetSecret());
    if (!m_server.IsRequestComplete(request)) {
      m_server.GetMaxRequestSize(request);
      return;
    }
    CReply reply;
    int bKeepAlive = 0;
    if (m_server.ParseRequestWithBody(request, reply, bKeepAlive) && !reply.strBytes.starts_with("HTTP/1.0 "))
      __builtin_trap();
    // Nothing outside the cache and the saved data changed.
    if (Snapshot(m_dir.Path(), {m_cache, m_saved, m_log}) != m_before) __builtin_trap();
    Reset();
  }

 private:
  // The cache as every input finds it.
  void Reset() {
    std::error_code ec;
    for (const fs::path& dir : {m_cache, m_saved, m_log}) fs::remove_all(dir, ec);
    WriteWholeFile(m_cache / "INDEX.HTML", "<html>home</html>");
    WriteWholeFile(m_cache / "course/unit1/ver2a.mp3", "MP3-cached");
  }

  const std::vector<std::pair<std::string, std::string>> kCourse = {
      {"tovan.xml", "<config><DelMod><course>v1</course></DelMod></config>"},
      {"qzboot.swf", "FWS-boot"},
      {"course/unit1/a.mp3", "MP3-a"},
      {"course/中文.swf", "FWS-zh"},
      {"course/empty.txt", ""},
  };
  CTempDir m_dir;
  const fs::path m_copy = fs::path(m_dir.Path()) / "copy";
  const fs::path m_archive = fs::path(m_dir.Path()) / "course.zip";
  const fs::path m_page = fs::path(m_dir.Path()) / "moviehost";
  const fs::path m_cache = fs::path(m_dir.Path()) / "appdata/quillby/sz";
  const fs::path m_saved = fs::path(m_dir.Path()) / "appdata/quillby/saved";
  const fs::path m_log = fs::path(m_dir.Path()) / "log";
  std::shared_ptr<host::CMoviePageHandler> m_handler;
  CHTTPServer m_server;
  std::map<std::string, std::uintmax_t> m_before;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
  static CServerRig rig;
  rig.Handle(std::string(reinterpret_cast<const char*>(pData), nSize));
  return 0;
}
