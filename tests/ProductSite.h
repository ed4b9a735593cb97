#pragma once
// The product web site for the tests, on 127.0.0.1: the files a test sets
// (the manifest, the boot movie, course files), the upload service, and
// every target asked for, query included.
#include <httplib.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ProductSite {
 public:
  ProductSite() {
    m_server.Get(R"(/(.*))", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(m_lock);
      m_requests.push_back(req.target);
      // A file set with its query is that version alone; one set without
      // a query answers every query.
      auto it = m_files.find(req.target);
      if (it == m_files.end()) it = m_files.find(req.path);
      if (it == m_files.end()) {
        res.status = 404;
        return;
      }
      res.set_content(it->second, "application/octet-stream");
    });
    m_server.Post(R"(/Upfile(_en)?\.ashx)", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(m_lock);
      std::string record = req.path + "\n";
      for (const auto& [name, part] : req.files) record += name + "=" + part.content + "\n";
      m_uploads.push_back(record);
      res.set_content("OK", "text/plain");
    });
    m_port = m_server.bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    while (!m_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~ProductSite() {
    m_server.stop();
    m_thread.join();
  }
  void Set(const std::string& path, const std::string& bytes) {
    std::lock_guard lock(m_lock);
    m_files[path] = bytes;
  }
  void Remove(const std::string& path) {
    std::lock_guard lock(m_lock);
    m_files.erase(path);
  }
  // Requests for path, whatever their query.
  int Count(const std::string& path) {
    std::lock_guard lock(m_lock);
    return static_cast<int>(std::count_if(m_requests.begin(), m_requests.end(), [&](const std::string& target) {
      return target.substr(0, target.find('?')) == path;
    }));
  }
  // Every target asked for, in order.
  std::vector<std::string> Requests() {
    std::lock_guard lock(m_lock);
    return m_requests;
  }
  // One record per upload: the path, then "name=content" per form part.
  std::vector<std::string> Uploads() {
    std::lock_guard lock(m_lock);
    return m_uploads;
  }
  std::string Url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
  int Port() const { return m_port; }

  // The program's settings for this site, with the cache below root/appdata
  // and the run log in root.
  void PointProgramAt(const std::filesystem::path& root) const {
    std::filesystem::create_directories(root / "appdata");
    setenv("APPDATA", (root / "appdata").c_str(), 1);
    setenv("WINDIR", root.c_str(), 1);
    setenv("QUILLBY_BASE_URL", Url().c_str(), 1);
    setenv("QUILLBY_UPLOAD_HOST", ("127.0.0.1:" + std::to_string(m_port)).c_str(), 1);
  }

 private:
  httplib::Server m_server;
  int m_port = 0;
  std::thread m_thread;
  std::mutex m_lock;
  std::map<std::string, std::string> m_files;
  std::vector<std::string> m_requests;
  std::vector<std::string> m_uploads;
};

inline std::string Manifest(const std::string& modules) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><config><DelMod>" + modules + "</DelMod></config>";
}
