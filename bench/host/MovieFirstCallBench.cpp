// Time from program start to the movie's first ExternalInterface call, and
// where it goes: a fresh process starts the web engine, loads the page, the
// player's script and WebAssembly, the saved entries, the CJK font and the
// movie, which calls getWelcome in frame 1. Then the same again with the
// engine warm (a second control in the process). Each step of the way is
// printed as a timeline from the start, read from the page's own record of
// its requests; the memory of the process and the engine's processes (PSS)
// follows each first call.
//   build/bin/moviehost_first_call [runs] [nofont]
// ("nofont" leaves the CJK font out, to see its share.) The first process
// starts with an empty engine cache; a second one then starts with what the
// first left there, as a pupil's every later start does.
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "RawOrigin.h"
#include "host/app/QtLoopDriver.h"
#include "host/movie/CourseMovie.h"
#include "host/movie/PageHandlerText.h"
#include "host/movie/RuffleFlash.h"

extern char** environ;

using Clock = std::chrono::system_clock;

namespace {

constexpr const char* kChildFlag = "--one-start";

double EpochMs(Clock::time_point t) { return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count(); }

// When a process began, in ms since the epoch (to the kernel's 10 ms tick):
// its start in ticks since boot, against the clock since boot now.
double ProcessStartMs(long pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
  }
  timespec sinceBoot{};
  clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
  const double bootMs = static_cast<double>(sinceBoot.tv_sec) * 1000 + static_cast<double>(sinceBoot.tv_nsec) / 1e6;
  const double startMs = std::atof(field.c_str()) * 1000 / static_cast<double>(sysconf(_SC_CLK_TCK));
  return EpochMs(Clock::now()) - (bootMs - startMs);
}

// PSS of one process, in kB.
long PssKb(long pid) {
  long kb = 0;
  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  for (std::string line; std::getline(rollup, line);)
    if (line.rfind("Pss:", 0) == 0) kb += std::atol(line.c_str() + 4);
  return kb;
}

// What a process is: the engine's --type= (a renderer forked from the zygote
// keeps the zygote's), and a utility's sub-type; "program" for ours.
std::string ProcessKind(long pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline");
  std::string cmdline((std::istreambuf_iterator<char>(file)), {});
  const auto value = [&](const std::string& name) {
    const auto at = cmdline.find(name);
    if (at == std::string::npos) return std::string();
    const auto begin = at + name.size();
    return cmdline.substr(begin, cmdline.find('\0', begin) - begin);
  };
  const std::string type = value("--type=");
  if (type.empty()) return "program";
  const std::string sub = value("--utility-sub-type=");
  return sub.empty() ? type : type + " " + sub;
}

// This process and every process below it (the web engine's): pid, PSS.
void TreePss(long pid, std::vector<std::pair<long, long>>& out) {
  out.emplace_back(pid, PssKb(pid));
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream children(task.path() / "children");
    for (long child; children >> child;) TreePss(child, out);
  }
}

void PrintPss(const char* when) {
  std::vector<std::pair<long, long>> processes;
  TreePss(getpid(), processes);
  long total = 0;
  std::string parts;
  for (const auto& [pid, kb] : processes) {
    total += kb;
    parts += (parts.empty() ? "" : ", ") + ProcessKind(pid) + " " + std::to_string(kb / 1024);
  }
  std::printf("  PSS %s: %ld MB (%s)\n", when, total / 1024, parts.c_str());
}

// Marks when the player's WebAssembly is compiled and ready, in the page's
// own record (performance.measure), before any page script runs.
constexpr const char* kWasmProbe = R"(
(() => {
  for (const name of ["instantiateStreaming", "instantiate"]) {
    const original = WebAssembly[name];
    WebAssembly[name] = function (...args) {
      const begin = performance.now();
      return original.apply(this, args).then((result) => {
        performance.measure("wasm", { start: begin });
        return result;
      });
    };
  }
  const getContext = HTMLCanvasElement.prototype.getContext;
  HTMLCanvasElement.prototype.getContext = function (type, ...rest) {
    const begin = performance.now();
    const c = getContext.call(this, type, ...rest);
    performance.measure("getContext " + type + (c ? "" : " failed"), { start: begin });
    return c;
  };
  const Audio = window.AudioContext;
  window.AudioContext = function (...args) {
    const begin = performance.now();
    const c = new Audio(...args);
    performance.measure("AudioContext", { start: begin });
    return c;
  };
  window.AudioContext.prototype = Audio.prototype;
  for (const level of ["log", "info", "debug", "warn", "error"]) {
    const original = console[level];
    console[level] = function (first, ...rest) {
      performance.mark(String(first).replace(/%c/g, "").slice(0, 100));
      return original.call(this, first, ...rest);
    };
  }
})();
)";

// The page's record of its requests and of the WebAssembly compile.
constexpr const char* kTimelineScript = R"(
JSON.stringify({
  origin: performance.timeOrigin,
  page: performance.getEntriesByType("navigation").map((e) => [e.name, e.fetchStart, e.responseEnd, e.domContentLoadedEventStart])[0],
  steps: performance.getEntriesByType("resource").map((e) => [e.name, e.startTime, e.responseEnd])
    .concat(performance.getEntriesByType("mark").map((e) => [e.name, e.startTime, e.startTime]))
    .concat(performance.getEntriesByType("measure").map((e) => [e.name, e.startTime, e.startTime + e.duration])),
}))";

class CFirstCall : public host::IFlashEvents {
 public:
  void OnFlashCall(const std::string&) override {
    if (!seen) at = Clock::now();
    seen = true;
  }
  void OnFSCommand(const std::string&, const std::string&) override {}
  bool seen = false;
  Clock::time_point at;
};

std::string g_fontPath = host::CRuffleFlash::kCjkFontPath;

// The short name a step goes by in the timeline.
std::string StepName(const std::string& url) {
  std::string name = url.substr(url.rfind('/') + 1);
  name = name.substr(0, name.find('?'));
  if (name.rfind("core.ruffle.", 0) == 0) return "core script";
  if (name.size() > 5 && name.compare(name.size() - 5, 5, ".wasm") == 0) return "wasm fetch";
  if (name == "wasm") return "wasm compile";
  if (name == "cjk-font") return "font";
  return name;
}

struct Step {
  std::string name;
  double from, to;  // ms from the start
};

void PrintTimeline(const QString& json, double startMs, double controlMs, double loadMs, double rendererMs,
                   double callMs) {
  const QJsonObject record = QJsonDocument::fromJson(json.toUtf8()).object();
  const double origin = record["origin"].toDouble() - startMs;
  std::vector<Step> steps = {{"web engine and control", 0, controlMs}};
  if (rendererMs > 0) steps.push_back({"renderer process started", rendererMs, rendererMs});
  const QJsonArray page = record["page"].toArray();
  steps.push_back({"host.html", loadMs, origin + page[2].toDouble()});
  for (const auto& value : record["steps"].toArray()) {
    const QJsonArray step = value.toArray();
    steps.push_back(
        {StepName(step[0].toString().toStdString()), origin + step[1].toDouble(), origin + step[2].toDouble()});
  }
  steps.push_back({"page read (DOMContentLoaded)", origin + page[3].toDouble(), origin + page[3].toDouble()});
  steps.push_back({"first call answered", callMs, callMs});
  std::stable_sort(steps.begin(), steps.end(), [](const Step& a, const Step& b) { return a.to < b.to; });
  for (const Step& s : steps) {
    if (s.name == "call") continue;  // the movie's calls; the first one ends the timeline
    if (s.to - s.from < 0.5)
      std::printf("  %6.0f            %s\n", s.to, s.name.c_str());
    else
      std::printf("  %6.0f  (%5.0f)   %s, from %.0f\n", s.to, s.to - s.from, s.name.c_str(), s.from);
  }
}

double MillisecondsToFirstCall(Clock::time_point start, bool timeline) {
  QWidget window;
  window.resize(976, 632);
  window.show();
  host::CRuffleFlash flash(&window, host::CRuffleFlash::DefaultFilesDir(), g_fontPath);
  const double controlMs = EpochMs(Clock::now()) - EpochMs(start);
  QWebEngineScript probe;
  probe.setSourceCode(kWasmProbe);
  probe.setInjectionPoint(QWebEngineScript::DocumentCreation);
  probe.setWorldId(QWebEngineScript::MainWorld);
  flash.GetPage()->scripts().insert(probe);
  CFirstCall events;
  flash.SetEventSink(&events);
  const std::string swf = testing_support::BuildCourseMovie();
  auto handler = flash.GetPageHandler();
  testing_support::CRawOrigin server([&](const testing_support::CRawOrigin::Request& request, int) {
    // The page's calls are POSTs, its files GETs.
    if (request.TargetStartsWith(host::CMoviePageHandler::kPrefix))
      return testing_support::AnswerText(*handler, request.header + request.body);
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(swf.size()) +
           "\r\nContent-Type: application/x-shockwave-flash\r\n\r\n" + swf;
  });
  const double loadMs = EpochMs(Clock::now()) - EpochMs(start);
  flash.LoadMovie(0, "http://127.0.0.1:" + std::to_string(server.Port()) + "/qzboot.swf");
  flash.Play();
  flash.MoveWindow(0, 0, 970, 607);

  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (events.seen) loop.quit();
  });
  poll.start(5);
  QTimer::singleShot(120000, &loop, &QEventLoop::quit);
  loop.exec();
  poll.stop();
  const double callMs = events.seen ? EpochMs(events.at) - EpochMs(start) : -1;
  if (events.seen && timeline) {
    QString record;
    flash.GetPage()->runJavaScript(kTimelineScript, [&](const QVariant& value) {
      record = value.toString();
      loop.quit();
    });
    loop.exec();
    const long renderer = flash.GetPage()->renderProcessPid();
    const double rendererMs = renderer > 0 ? ProcessStartMs(renderer) - EpochMs(start) : -1;
    PrintTimeline(record, EpochMs(start), controlMs, loadMs, rendererMs, callMs);
    // The movie plays on a little before its memory is taken.
    QTimer::singleShot(3000, &loop, &QEventLoop::quit);
    loop.exec();
    PrintPss("of the process and the engine's processes, 3 s after the first call");
  }
  handler->Close();
  return callMs;
}

// One process: a cold first call, then runs - 1 warm ones.
int OneStart(int runs, const char* label) {
  const auto start = Clock::now();
  const double execMs = EpochMs(start) - ProcessStartMs(getpid());
  std::printf("%s (the process ran %.0f ms before main)\n", label, execMs);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  host::CRuffleFlash::PrepareEnvironment();
  int argc = 1;
  char name[] = "moviehost_first_call";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  host::CQtLoopDriver driver;
  std::printf("first ExternalInterface call, from process start (cold): %.0f ms\n",
              MillisecondsToFirstCall(start, true));
  for (int i = 1; i < runs; ++i)
    std::printf("first ExternalInterface call, new control in a warm engine: %.0f ms\n",
                MillisecondsToFirstCall(Clock::now(), i == runs - 1));
  std::fflush(stdout);
  return 0;
}

int RunStart(const std::string& runs, const std::string& font, const char* label) {
  std::vector<std::string> args = {"/proc/self/exe", kChildFlag, runs, font, label};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) return 1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 4 && std::string(argv[1]) == kChildFlag) {
    if (std::string(argv[3]) == "nofont") g_fontPath = "/nonexistent";
    return OneStart(std::max(1, std::atoi(argv[2])), argv[4]);
  }
  const std::string runs = argc > 1 ? argv[1] : "3";
  const std::string font = argc > 2 ? argv[2] : "font";
  // The engine's cache of this run only, never the user's.
  char cache[] = "/tmp/moviehost-bench-XXXXXX";
  if (!mkdtemp(cache)) return 1;
  setenv("XDG_CACHE_HOME", cache, 1);
  int status = RunStart(runs, font, "start 1, empty engine cache");
  if (status == 0) status = RunStart(runs, font, "start 2, the engine cache of start 1");
  std::error_code error;
  std::filesystem::remove_all(cache, error);
  return status;
}
