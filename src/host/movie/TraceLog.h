#pragma once
// The movie's trace output for whoever maintains a course, as the Flash debug
// player's trace log was: every line appended to one file as it comes, UTF-8,
// one line each. Qt-free; any thread.
#include <mutex>
#include <string>

#include "support/Handles.h"

namespace host {

class CTraceLog {
 public:
  // Opens path for appending (creating it). When that fails, one line on
  // stderr says so and nothing is written.
  explicit CTraceLog(std::string strPath);
  CTraceLog(const CTraceLog&) = delete;
  CTraceLog& operator=(const CTraceLog&) = delete;

  // Appends lines (each ending in "\n") and hands them to the system before
  // returning. False when they were not written; the first failure of the
  // run is reported on stderr.
  bool Append(const std::string& lines);

 private:
  void ReportFailure(const std::string& what);

  const std::string m_strPath;
  // Guards the file and m_bFailureReported: lines of two requests never mix.
  std::mutex m_lock;
  support::CFd m_file;
  bool m_bFailureReported = false;
};

}  // namespace host
