#pragma once
// Owner of one socket descriptor; closing it is closesocket.
#include <unistd.h>

#include <utility>

class CSocket {
 public:
  CSocket() = default;
  explicit CSocket(int fd) : m_fd(fd) {}
  CSocket(CSocket&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  CSocket& operator=(CSocket&& other) noexcept {
    if (this != &other) {
      Close();
      m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
  }
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;
  ~CSocket() { Close(); }

  int Get() const { return m_fd; }
  bool IsValid() const { return m_fd >= 0; }
  void Close() {
    if (m_fd >= 0) ::close(std::exchange(m_fd, -1));
  }

 private:
  int m_fd = -1;
};

// The same owner closes any descriptor: a file that a reply sends.
using CFileDescriptor = CSocket;
