#pragma once
// The run log: one line per server failure in RunLog.log in the Windows
// directory. The server derives from it, so every server thread writes
// through the same object and the same lock.
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "support/Handles.h"

class CLog {
 public:
  CLog();
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;
  virtual ~CLog();

  // Appends "<time> - <message>.\t[<context>]\t[<number>]" and CR LF; without
  // a context word (null or empty) the line has only the number in brackets.
  // True when the whole line reached the file; a line too long for the line
  // buffer is cut and reported false.
  bool WriteLog(const char* pszMessage, const char* pszContext, int nNumber);
  // Deletes the log file; a missing file or directory is ignored.
  void DeleteLogFile();

 private:
  bool BuildPath();

  support::CFilePtr m_pFile;
  char m_szPath[260] = {};
  char m_szLine[1024] = {};
  char m_szTime[128] = {};
  std::tm* m_ptm = nullptr;
  std::time_t m_tNow = 0;
  // Guards every member above: the file, the path and the line being built.
  std::mutex m_cs;
  std::tm m_tm = {};  // storage behind m_ptm (localtime_r, not the shared static)
};
