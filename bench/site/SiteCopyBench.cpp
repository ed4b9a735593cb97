// The course from a copy on disk against the same course from the demo site
// over loopback, each into an empty cache:
// - source alone: 200 small course files fetched straight from the source;
// - cold start: the resource server just started, the places checked and the
//   manifest fetched as the start-up does, then the boot movie asked for;
// - the 200 files asked for through the resource server, by one client and
//   by 8 at once.
//
//   site_copy_bench [runs] [cache-dir]   medians over the runs (default 7);
//   the cache in cache-dir (default: beside the copies, under /tmp), for
//   instance /dev/shm to leave the disk's own cost out
#include <httplib.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DemoSite.h"
#include "TempDir.h"
#include "TestArchive.h"
#include "server/HTTPServer.h"
#include "site/ProductSite.h"
#include "support/Libraries.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFiles = 200;
constexpr int kClients = 8;
constexpr int kFirstPort = 20000;

struct CTimes {
  double dSourceAloneMs = 0;
  double dColdStartMs = 0;
  double dOneClientMs = 0;
  double dEightClientsMs = 0;
};

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string RandomBytes(std::mt19937& random, std::size_t nSize) {
  std::string strBytes(nSize, '\0');
  for (char& c : strBytes) c = static_cast<char>(random());
  return strBytes;
}

std::string FilePath(int i) { return "course/unit" + std::to_string(i % 10) + "/f" + std::to_string(i) + ".swf"; }

// The course: manifest, a 60 KB boot movie, 200 files of 1 to 8 KB.
std::vector<CArchiveEntry> MakeCourse() {
  std::mt19937 random(21);
  std::vector<CArchiveEntry> course = {
      {"tovan.xml", "<?xml version=\"1.0\"?><config><DelMod><course>v1</course></DelMod></config>"},
      {"qzboot.swf", RandomBytes(random, 60 * 1024)},
  };
  for (int i = 0; i < kFiles; ++i) course.push_back({FilePath(i), RandomBytes(random, 1024 + random() % (7 * 1024))});
  return course;
}

// Asks for files [first, kFiles) in steps of step; false on a wrong reply.
bool AskFor(int nPort, int nFirst, int nStep, const std::vector<CArchiveEntry>& course) {
  httplib::Client client("127.0.0.1", nPort);
  for (int i = nFirst; i < kFiles; i += nStep) {
    const auto res = client.Get("/" + FilePath(i) + "?v1");
    if (!res || res->status != 200 || res->body != course[2 + i].strBytes) return false;
  }
  return true;
}

double TimeFiles(const std::string& strBases, const std::string& strCache, int nClients,
                 const std::vector<CArchiveEntry>& course, bool& bOk) {
  fs::remove_all(strCache);
  ::setenv("QUILLBY_BASE_URL", strBases.c_str(), 1);
  CHTTPServer server;
  server.Start(strCache, "INDEX.HTML", kFirstPort, 20000);
  const auto start = Clock::now();
  std::atomic<bool> bAllRight{true};
  std::vector<std::thread> clients;
  for (int c = 0; c < nClients; ++c)
    clients.emplace_back([&, c] {
      if (!AskFor(server.m_nPort, c, nClients, course)) bAllRight = false;
    });
  for (auto& client : clients) client.join();
  const double dMs = MillisecondsSince(start);
  bOk = bOk && bAllRight;
  return dMs;
}

// The 200 files straight from the source into an empty directory, without
// the resource server and its connections.
double TimeSourceAlone(const std::string& strBases, const std::string& strCache,
                       const std::vector<CArchiveEntry>& course, bool& bOk) {
  fs::remove_all(strCache);
  fs::create_directories(strCache);
  const CProductSite site(strBases);
  const auto start = Clock::now();
  for (int i = 0; i < kFiles; ++i) bOk = site.Fetch(FilePath(i) + "?v1", strCache + "/f" + std::to_string(i)) && bOk;
  const double dMs = MillisecondsSince(start);
  for (int i = 0; i < kFiles; i += 37) {
    std::ifstream in(strCache + "/f" + std::to_string(i), std::ios::binary);
    bOk = std::string(std::istreambuf_iterator<char>(in), {}) == course[2 + i].strBytes && bOk;
  }
  return dMs;
}

CTimes Measure(const std::string& strBases, const std::string& strCache, const std::vector<CArchiveEntry>& course,
               bool& bOk) {
  CTimes times;
  times.dSourceAloneMs = TimeSourceAlone(strBases, strCache, course, bOk);
  fs::remove_all(strCache);
  ::setenv("QUILLBY_BASE_URL", strBases.c_str(), 1);
  {
    CHTTPServer server;
    server.Start(strCache, "INDEX.HTML", kFirstPort, 20000);
    // From here on: what the source decides. The port choice before reads
    // the machine's socket tables, whatever the source.
    const auto start = Clock::now();
    const CProductSite site(strBases);
    site.ReportProblems();
    bOk = site.Fetch("tovan.xml", strCache + "/tovan.xml") && bOk;
    httplib::Client client("127.0.0.1", server.m_nPort);
    const auto res = client.Get("/qzboot.swf");
    bOk = bOk && res && res->body == course[1].strBytes;
    times.dColdStartMs = MillisecondsSince(start);
  }
  times.dOneClientMs = TimeFiles(strBases, strCache, 1, course, bOk);
  times.dEightClientsMs = TimeFiles(strBases, strCache, kClients, course, bOk);
  return times;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  support::InitLibraries();
  const int nRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  CTempDir dir;
  const std::string strCache = (argc > 2 ? std::string(argv[2]) : dir.Path()) + "/site-copy-bench-cache";
  ::setenv("WINDIR", dir.Path().c_str(), 1);
  const std::vector<CArchiveEntry> course = MakeCourse();
  const fs::path folder = fs::path(dir.Path()) / "copy";
  for (const CArchiveEntry& entry : course) {
    fs::create_directories((folder / entry.strName).parent_path());
    std::ofstream(folder / entry.strName, std::ios::binary) << entry.strBytes;
  }
  const std::string strArchive = dir.Path() + "/course.zip";
  if (!WriteArchive(strArchive, course)) {
    std::fprintf(stderr, "cannot write %s\n", strArchive.c_str());
    return 1;
  }

  demosite::CDemoSite demo({folder.string(), dir.Path() + "/uploads", ""});
  const int nSitePort = demo.Bind(0);
  std::thread listener([&] { demo.Listen(); });
  const std::string strSite = "http://127.0.0.1:" + std::to_string(nSitePort) + "/";

  const std::pair<const char*, std::string> sources[] = {
      {"demo site over loopback", strSite},
      {"ZIP archive", strArchive},
      {"folder", folder.string()},
  };
  std::printf("%d runs, medians; %d files of 1-8 KB, cache empty at each start\n", nRuns, kFiles);
  std::printf("%-24s %14s %14s %14s %14s\n", "", "source alone", "cold start", "server,", "server,");
  std::printf("%-24s %14s %14s %14s %14s\n", "source (ms)", "200 files", "", "1 client", "8 clients");
  bool bOk = true;
  for (const auto& [pszName, strBases] : sources) {
    std::vector<double> alone, cold, one, eight;
    for (int r = 0; r < nRuns; ++r) {
      const CTimes times = Measure(strBases, strCache, course, bOk);
      alone.push_back(times.dSourceAloneMs);
      cold.push_back(times.dColdStartMs);
      one.push_back(times.dOneClientMs);
      eight.push_back(times.dEightClientsMs);
    }
    std::printf("%-24s %14.1f %14.1f %14.1f %14.1f\n", pszName, Median(alone), Median(cold), Median(one),
                Median(eight));
  }
  demo.Stop();
  listener.join();
  fs::remove_all(strCache);
  if (!bOk) std::fprintf(stderr, "some replies were wrong\n");
  return bOk ? 0 : 1;
}
