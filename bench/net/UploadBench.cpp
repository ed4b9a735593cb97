// Upload throughput and memory on loopback: a large recording is posted to
// an origin in this process that reads and drops the body. The peak
// resident size should not grow with the file, which is streamed.
// Then what the outbox costs a pupil's recording of 1 MB (two minutes):
// keeping it (written, synced, renamed), sending it from the outbox, and
// from Stop() to the worker's end while the service holds a request
// without answering (the program closing during a send).
//   build/bin/upload_bench [megabytes] [runs]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/Outbox.h"
#include "net/SendData.h"
#include "net/Upload.h"
#include "support/Libraries.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void WriteFile(const fs::path& file, size_t megabytes) {
  std::ofstream out(file, std::ios::binary);
  std::vector<char> block(1 << 20, 'm');
  for (size_t i = 0; i < megabytes; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
}

// Serves one POST: reads the header, drops Content-Length body bytes, then
// answers 200, or with bAnswer false holds the connection until the client goes.
void ServeOnce(int listener, bool bAnswer) {
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
  if (bAnswer) {
    const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    send(client, reply, sizeof reply - 1, MSG_NOSIGNAL);
  } else {
    pollfd pfd{client, POLLIN, 0};
    while (poll(&pfd, 1, 60000) > 0 && recv(client, buffer.data(), buffer.size(), 0) > 0) {
    }
  }
  close(client);
}

void PrintSpread(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("%s: min %.1f ms, median %.1f ms, max %.1f ms (%zu runs)\n", what, ms.front(), ms[ms.size() / 2],
              ms.back(), ms.size());
}

// The outbox figures; false when an upload did not go.
bool MeasureOutbox(int listener, const fs::path& root, int runs) {
  const std::string recording = (root / "test.mp3").string();
  WriteFile(recording, 1);
  const std::string dir = (root / "outbox").string();
  const UploadParam param{"bench", "bench", "0", 0};
  std::vector<double> keep, send, stop;
  for (int i = 0; i < runs; ++i) {
    COutbox outbox(dir);
    auto start = Clock::now();
    const std::string entry = outbox.Keep(param, recording);
    keep.push_back(MsSince(start));
    std::thread origin(ServeOnce, listener, true);
    start = Clock::now();
    const bool delivered = outbox.Send(entry) == COutbox::EOutcome::Delivered;
    send.push_back(MsSince(start));
    origin.join();
    if (!delivered) return false;
  }
  for (int i = 0; i < runs; ++i) {
    auto outbox = std::make_unique<COutbox>(dir);
    outbox->Keep(param, recording);
    std::thread origin(ServeOnce, listener, false);
    outbox->Start();
    // Long enough for the request to be sent whole and the wait to begin.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = Clock::now();
    outbox->Stop();
    outbox.reset();
    stop.push_back(MsSince(start));
    origin.join();
  }
  PrintSpread("outbox, keep a 1 MB recording", keep);
  PrintSpread("outbox, send it", send);
  PrintSpread("outbox, Stop() to the worker's end during a send", stop);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  support::InitLibraries();
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
  const fs::path root = fs::temp_directory_path() / ("upload-bench-" + std::to_string(getpid()));
  fs::create_directories(root);
  const fs::path file = root / "large.mp3";
  WriteFile(file, megabytes);

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
  std::thread origin(ServeOnce, listener, true);

  long rssBefore = PeakRssKb();
  auto start = Clock::now();
  CSendData sendData;
  sendData.SetServer("/Upfile.ashx");
  sendData.Reset();
  sendData.AddField("uid", "bench");
  sendData.AddField("tid", "bench");
  sendData.AddFile(file.string(), "txtfile");
  bool sent = sendData.Send();
  double seconds = MsSince(start) / 1000;
  origin.join();
  fs::remove(file);

  std::printf("upload of %zu MB: %s, %.2f s, %.0f MB/s, peak RSS %ld kB before, %ld kB after\n", megabytes,
              sent ? "sent" : "FAILED", seconds, static_cast<double>(megabytes) / seconds, rssBefore, PeakRssKb());
  sent = sent && MeasureOutbox(listener, root, runs);
  close(listener);
  fs::remove_all(root);
  return sent ? 0 : 1;
}
