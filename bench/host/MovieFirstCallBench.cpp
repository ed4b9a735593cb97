// Time from program start to the movie's first ExternalInterface call: a
// fresh process starts the web engine, loads the page, Ruffle and its
// WebAssembly, the CJK font and the movie, which calls getWelcome in frame 1.
// Then the same again with the engine warm (a second control in the process).
//   build/bin/moviehost_first_call [runs] [nofont]
// ("nofont" leaves the CJK font out, to see its share.)
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "RawOrigin.h"
#include "host/app/QtLoopDriver.h"
#include "host/movie/CourseMovie.h"
#include "host/movie/PageHandlerText.h"
#include "host/movie/RuffleFlash.h"

using Clock = std::chrono::steady_clock;

namespace {

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

double MillisecondsToFirstCall(Clock::time_point start) {
  QWidget window;
  window.resize(976, 632);
  window.show();
  host::CRuffleFlash flash(&window, host::CRuffleFlash::DefaultFilesDir(), g_fontPath);
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
  handler->Close();
  return events.seen ? std::chrono::duration<double, std::milli>(events.at - start).count() : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const auto start = Clock::now();
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  host::CRuffleFlash::PrepareEnvironment();
  QApplication app(argc, argv);
  host::CQtLoopDriver driver;
  const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  if (argc > 2 && std::string(argv[2]) == "nofont") g_fontPath = "/nonexistent";
  std::printf("first ExternalInterface call, from process start (cold): %.0f ms\n", MillisecondsToFirstCall(start));
  for (int i = 1; i < runs; ++i)
    std::printf("first ExternalInterface call, new control in a warm engine: %.0f ms\n",
                MillisecondsToFirstCall(Clock::now()));
  return 0;
}
