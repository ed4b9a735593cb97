// DownloadFile against the curl command line, fetching the same files from
// the same local origin. Each fetch is a process of its own (fetch_once or
// curl) started by run_measured, so that its wall time and peak resident
// memory are its own.
//
//   fetch_bench [runs]     the comparison (default 5 runs of each)
#include <httplib.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Paths.h"
#include "support/Libraries.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kServePiece = 64 * 1024;

struct CRunResult {
  double m_dSeconds = 0;
  long m_nPeakRssKb = 0;
  bool m_bOk = false;
};

// Runs the command under run_measured: wall time and the child's peak RSS.
CRunResult RunMeasured(const std::string& strCommand) {
  CRunResult result;
  std::string strLine = platform::GetExeDir() + "/run_measured " + strCommand;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(strLine.c_str(), "r"), ::pclose);
  int nExit = -1;
  if (pipe && std::fscanf(pipe.get(), "%lf %ld %d", &result.m_dSeconds, &result.m_nPeakRssKb, &nExit) == 3) {
    result.m_bOk = nExit == 0;
  }
  return result;
}

void WriteRandomFile(const fs::path& path, size_t nSize) {
  std::mt19937_64 random(nSize);
  std::vector<std::uint64_t> block(kServePiece / sizeof(std::uint64_t));
  std::ofstream out(path, std::ios::binary);
  for (size_t nDone = 0; nDone < nSize; nDone += kServePiece) {
    for (auto& word : block) word = random();
    out.write(reinterpret_cast<const char*>(block.data()),
              static_cast<std::streamsize>(std::min(kServePiece, nSize - nDone)));
  }
}

// Streams files of dir with their length, piece by piece, so the origin's
// memory stays small too.
void ServeDirectory(httplib::Server& server, const fs::path& dir) {
  server.Get(R"(/(\w+\.bin))", [dir](const httplib::Request& req, httplib::Response& res) {
    fs::path path = dir / req.matches[1].str();
    std::error_code ec;
    size_t nSize = fs::file_size(path, ec);
    if (ec) {
      res.status = 404;
      return;
    }
    auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
    res.set_content_provider(nSize, "application/octet-stream",
                             [file](size_t nOffset, size_t nLength, httplib::DataSink& sink) {
                               std::vector<char> piece(std::min(nLength, kServePiece));
                               file->seekg(static_cast<std::streamoff>(nOffset));
                               file->read(piece.data(), static_cast<std::streamsize>(piece.size()));
                               sink.write(piece.data(), static_cast<size_t>(file->gcount()));
                               return file->gcount() > 0;
                             });
  });
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int Compare(int nRuns) {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "all_proxy", "ALL_PROXY"}) unsetenv(name);
  char szTemplate[] = "/tmp/fetch-bench-XXXXXX";
  if (!mkdtemp(szTemplate)) return 1;
  fs::path dir = szTemplate;
  fs::path served = dir / "origin";
  fs::create_directory(served);

  struct CCase {
    const char* m_szName;
    size_t m_nSize;
  };
  const CCase cases[] = {{"1mb.bin", 1u << 20}, {"50mb.bin", 50u << 20}};
  for (const auto& c : cases) WriteRandomFile(served / c.m_szName, c.m_nSize);

  httplib::Server server;
  ServeDirectory(server, served);
  int nPort = server.bind_to_any_port("127.0.0.1");
  std::thread listener([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::yield();

  const std::string strFetchOnce = platform::GetExeDir() + "/fetch_once";
  std::printf("%-9s %5s %12s %12s %7s %14s %14s\n", "file", "runs", "Download s", "curl s", "ratio", "Download RSS",
              "curl RSS");
  int nFailures = 0;
  for (const auto& c : cases) {
    std::string strUrl = "http://127.0.0.1:" + std::to_string(nPort) + "/" + c.m_szName;
    std::string strOurs = (dir / "ours.bin").string(), strTheirs = (dir / "curl.bin").string();
    std::vector<double> ours, theirs;
    long nOursRss = 0, nTheirsRss = 0;
    for (int i = 0; i < nRuns; ++i) {
      fs::remove(strOurs);
      fs::remove(strTheirs);
      CRunResult a = RunMeasured(strFetchOnce + " " + strUrl + " " + strOurs);
      CRunResult b = RunMeasured("curl -q -s -o " + strTheirs + " " + strUrl);
      std::error_code ec;
      if (!a.m_bOk || !b.m_bOk || fs::file_size(strOurs, ec) != c.m_nSize ||
          fs::file_size(strTheirs, ec) != c.m_nSize) {
        ++nFailures;
      }
      ours.push_back(a.m_dSeconds);
      theirs.push_back(b.m_dSeconds);
      nOursRss = std::max(nOursRss, a.m_nPeakRssKb);
      nTheirsRss = std::max(nTheirsRss, b.m_nPeakRssKb);
    }
    double dOurs = Median(ours), dTheirs = Median(theirs);
    std::printf("%-9s %5d %12.4f %12.4f %6.2fx %11ld KB %11ld KB\n", c.m_szName, nRuns, dOurs, dTheirs, dOurs / dTheirs,
                nOursRss, nTheirsRss);
  }
  server.stop();
  listener.join();
  fs::remove_all(dir);
  if (nFailures) std::printf("%d fetches did not deliver the whole file\n", nFailures);
  return nFailures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  support::InitLibraries();
  return Compare(argc > 1 ? std::max(1, std::atoi(argv[1])) : 5);
}
