// Uploads kept on disk: one outbox entry with any bytes at all, read as the
// outbox reads it before it sends it. Nobody listens where the upload
// service would be, so an entry that reads back whole fails at once.
#include "net/Outbox.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "TempDir.h"
#include "support/Libraries.h"

namespace fs = std::filesystem;

namespace {

// A port on 127.0.0.1 held and never listened on: connections are refused.
int RefusingPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t nLength = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &nLength) != 0)
    std::abort();
  return ntohs(address.sin_port);
}

struct COutboxDir {
  COutboxDir() {
    support::InitLibraries();
    ::setenv("QUILLBY_UPLOAD_HOST", ("127.0.0.1:" + std::to_string(RefusingPort())).c_str(), 1);
    ::unsetenv("http_proxy");
  }
  CTempDir scratch;
  const fs::path dir = fs::path(scratch.Path()) / "outbox";
  const fs::path entry = dir / "000000000001-1.upload";
  COutbox outbox{dir.string()};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
  static COutboxDir box;
  WriteWholeFile(box.entry, std::string(reinterpret_cast<const char*>(pData), nSize));
  // Delivered or refused needs an answer from the service.
  const COutbox::EOutcome outcome = box.outbox.Send(box.entry.string());
  if (outcome != COutbox::EOutcome::Skipped && outcome != COutbox::EOutcome::Failed) __builtin_trap();
  return 0;
}
