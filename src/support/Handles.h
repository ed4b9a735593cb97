#pragma once
// Owners of the C library handles the program holds: each one closes its
// handle exactly once, when it goes or when told to.
#include <curl/curl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

namespace support {

// A file descriptor: a socket, a file, a pipe end, an eventfd.
class CFd {
 public:
  CFd() = default;
  explicit CFd(int fd) : m_fd(fd) {}
  CFd(CFd&& other) noexcept : m_fd(other.Release()) {}
  CFd& operator=(CFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  ~CFd() { Reset(); }

  int Get() const { return m_fd; }
  bool IsValid() const { return m_fd >= 0; }
  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(m_fd, -1); }
  // Closes the one held (if any) and holds fd instead.
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }
  // Closes now; false when close itself failed, which for a file can mean
  // that written data did not reach the disk.
  bool Close() { return m_fd < 0 || ::close(Release()) == 0; }

 private:
  int m_fd = -1;
};

struct CFileCloser {
  void operator()(std::FILE* pFile) const { std::fclose(pFile); }
};
using CFilePtr = std::unique_ptr<std::FILE, CFileCloser>;

struct CCurlEasyCleanup {
  void operator()(CURL* pCurl) const { curl_easy_cleanup(pCurl); }
};
using CCurlEasy = std::unique_ptr<CURL, CCurlEasyCleanup>;

struct CCurlMultiCleanup {
  void operator()(CURLM* pMulti) const { curl_multi_cleanup(pMulti); }
};
using CCurlMulti = std::unique_ptr<CURLM, CCurlMultiCleanup>;

struct CCurlSlistFree {
  void operator()(curl_slist* pList) const { curl_slist_free_all(pList); }
};
using CCurlSlist = std::unique_ptr<curl_slist, CCurlSlistFree>;

}  // namespace support
