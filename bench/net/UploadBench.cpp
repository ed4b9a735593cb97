// Upload throughput and memory on loopback: a large recording is posted to
// an origin in this process that reads and drops the body. The peak
// resident size should not grow with the file, which is streamed.
//   build/bin/upload_bench [megabytes]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "net/SendData.h"
#include "net/Upload.h"
#include "support/Libraries.h"

namespace {

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Serves one POST: reads the header, drops Content-Length body bytes, answers 200.
void ServeOnce(int listener) {
  int client = accept(listener, nullptr, nullptr);
  if (client < 0) return;
  std::vector<char> buffer(65536);
  std::string header;
  size_t bodyLeft = 0;
  while (header.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = recv(client, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    header.append(buffer.data(), static_cast<size_t>(n));
  }
  size_t end = header.find("\r\n\r\n") + 4;
  size_t at = header.find("Content-Length: ");
  if (at != std::string::npos) bodyLeft = std::strtoul(header.c_str() + at + 16, nullptr, 10);
  bodyLeft -= std::min(bodyLeft, header.size() - end);
  while (bodyLeft > 0) {
    ssize_t n = recv(client, buffer.data(), std::min(bodyLeft, buffer.size()), 0);
    if (n <= 0) break;
    bodyLeft -= static_cast<size_t>(n);
  }
  const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  send(client, reply, sizeof reply - 1, MSG_NOSIGNAL);
  close(client);
}

}  // namespace

int main(int argc, char** argv) {
  support::InitLibraries();
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  namespace fs = std::filesystem;
  fs::path file = fs::temp_directory_path() / ("upload-bench-" + std::to_string(getpid()) + ".mp3");
  {
    std::ofstream out(file, std::ios::binary);
    std::vector<char> block(1 << 20, 'm');
    for (size_t i = 0; i < megabytes; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }

  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return 1;
  setenv(kUploadHostVariable, ("127.0.0.1:" + std::to_string(ntohs(address.sin_port))).c_str(), 1);
  setenv("no_proxy", "127.0.0.1", 1);
  std::thread origin(ServeOnce, listener);

  long rssBefore = PeakRssKb();
  auto start = std::chrono::steady_clock::now();
  CSendData sendData;
  sendData.SetServer("/Upfile.ashx");
  sendData.Reset();
  sendData.AddField("uid", "bench");
  sendData.AddField("tid", "bench");
  sendData.AddFile(file.string(), "txtfile");
  bool sent = sendData.Send();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  origin.join();
  close(listener);
  fs::remove(file);

  std::printf("upload of %zu MB: %s, %.2f s, %.0f MB/s, peak RSS %ld kB before, %ld kB after\n", megabytes,
              sent ? "sent" : "FAILED", seconds, static_cast<double>(megabytes) / seconds, rssBefore, PeakRssKb());
  return sent ? 0 : 1;
}
