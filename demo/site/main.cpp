// demosite: the demo product web site on 127.0.0.1.
//   demosite --root DIR --store DIR [--port N] [--encoder FILE]
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "DemoSite.h"

namespace {

constexpr char kUsage[] = "usage: demosite --root DIR --store DIR [--port N (0 = any free port)] [--encoder FILE]\n";

struct CArgs {
  demosite::CDemoSiteOptions options;
  int nPort = 0;
};

bool ParseArgs(int argc, char** argv, CArgs& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--root") {
      args.options.strRoot = value;
    } else if (arg == "--store") {
      args.options.strStore = value;
    } else if (arg == "--encoder") {
      args.options.strEncoder = value;
    } else if (arg == "--port") {
      char* end = nullptr;
      const long port = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || port < 0 || port > 65535) return false;
      args.nPort = static_cast<int>(port);
    } else {
      return false;
    }
  }
  return !args.options.strRoot.empty() && !args.options.strStore.empty();
}

}  // namespace

int main(int argc, char** argv) {
  CArgs args;
  if (!ParseArgs(argc, argv, args)) {
    std::cerr << kUsage;
    return 2;
  }
  // SIGINT and SIGTERM are taken by sigwait below, on this thread, so the
  // server is stopped outside a signal handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    demosite::CDemoSite site(args.options);
    const int port = site.Bind(args.nPort);
    if (port < 0) {
      std::cerr << "demosite: cannot listen on 127.0.0.1:" << args.nPort << "\n";
      return 1;
    }
    std::cout << "demosite: serving " << args.options.strRoot << " on http://127.0.0.1:" << port << "/" << std::endl;
    bool listened = true;
    std::thread server([&] {
      listened = site.Listen();
      kill(getpid(), SIGTERM);  // wakes the wait below if the server ends by itself
    });
    int signal = 0;
    sigwait(&stopSignals, &signal);
    site.Stop();
    server.join();
    if (!listened) {
      std::cerr << "demosite: the server stopped unexpectedly\n";
      return 1;
    }
  } catch (const std::exception& e) {
    std::cerr << "demosite: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
