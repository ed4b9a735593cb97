// The resource server on its own, for measuring from outside:
//   http_serve <cache dir> <first port>
// prints the port it listens on, serves until SIGINT or SIGTERM, then stops.
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "server/HTTPServer.h"
#include "support/Libraries.h"

namespace {
constexpr int kClientTimeoutMs = 20000;
}

int main(int argc, char** argv) {
  support::InitLibraries();
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <cache dir> <first port>\n", argv[0]);
    return 2;
  }
  // Blocked before the server's threads exist, so only sigwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  CHTTPServer server;
  if (!server.Start(argv[1], "INDEX.HTML", std::atoi(argv[2]), kClientTimeoutMs)) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  std::printf("%d\n", server.m_nPort);
  std::fflush(stdout);

  int nSignal = 0;
  sigwait(&stopSignals, &nSignal);
  return server.Stop() ? 0 : 1;
}
