#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "support/Log.h"

namespace {

std::string TimeStamp(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char sz[64];
  std::strftime(sz, sizeof(sz), "%Y/%m/%d  %H:%M:%S", &tm);
  return sz;
}

class RunLog : public ::testing::Test {
 protected:
  std::string LogPath() const { return m_dir.LogPath(); }
  std::string LogText() const { return m_dir.LogText(); }

  CLogDir m_dir;
  CLog m_log;
};

TEST_F(RunLog, LineHasTimeStampMessagePointContextAndNumberEndedByCrLf) {
  const std::time_t before = std::time(nullptr);
  EXPECT_TRUE(m_log.WriteLog("bind(...) failure", "AcceptThread", 10048));
  const std::time_t after = std::time(nullptr);

  const std::string text = LogText();
  const std::string tail = " - bind(...) failure.\t[AcceptThread]\t[10048]\r\n";
  ASSERT_EQ(text.size(), 20 + tail.size()) << text;
  EXPECT_EQ(text.substr(20), tail);
  const std::string stamp = text.substr(0, 20);
  EXPECT_TRUE(stamp == TimeStamp(before) || stamp == TimeStamp(after)) << stamp;
}

TEST_F(RunLog, LineWithoutContextHasOnlyTheNumberInBrackets) {
  EXPECT_TRUE(m_log.WriteLog("Thread not found in the list", nullptr, 0));
  EXPECT_TRUE(m_log.WriteLog("No context either", "", -1));
  const std::regex line(R"(\d{4}/\d{2}/\d{2}  \d{2}:\d{2}:\d{2} - Thread not found in the list\.\t\[0\]\r\n)"
                        R"(\d{4}/\d{2}/\d{2}  \d{2}:\d{2}:\d{2} - No context either\.\t\[-1\]\r\n)");
  EXPECT_TRUE(std::regex_match(LogText(), line)) << LogText();
}

TEST_F(RunLog, MessageEndingInArrowStillGetsTheFullPoint) {
  m_log.WriteLog("Unable to get response from Accept Thread withing specified Timeout ->", "Run", 30000);
  EXPECT_NE(LogText().find("Timeout ->.\t[Run]\t[30000]\r\n"), std::string::npos) << LogText();
}

TEST_F(RunLog, EmptyMessageIsRefusedAndWritesNothing) {
  EXPECT_FALSE(m_log.WriteLog("", "Run", 1));
  EXPECT_FALSE(m_log.WriteLog(nullptr, "Run", 1));
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

TEST_F(RunLog, LinesAppendUntilTheFileIsDeleted) {
  m_log.WriteLog("first", "A", 1);
  m_log.WriteLog("second", "B", 2);
  std::string text = LogText();
  EXPECT_LT(text.find("first."), text.find("second."));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);

  m_log.DeleteLogFile();
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
  m_log.DeleteLogFile();  // nothing to delete is no failure

  m_log.WriteLog("third", "C", 3);
  text = LogText();
  EXPECT_EQ(text.find("first"), std::string::npos);
  EXPECT_NE(text.find(" - third.\t[C]\t[3]\r\n"), std::string::npos);
}

TEST_F(RunLog, OverlongLineIsCutInsideTheBufferAndStillEndsTheLine) {
  const std::string message(3000, 'x');
  EXPECT_FALSE(m_log.WriteLog(message.c_str(), "ClientThread", 7));
  const std::string text = LogText();
  EXPECT_EQ(text.size(), 1023u);  // 1,024-byte buffer less its terminating zero
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_EQ(text.find('\n'), text.size() - 1);

  // A cut never leaves half a multi-byte character before the line end.
  m_log.DeleteLogFile();
  std::string wide;
  for (int i = 0; i < 600; ++i) wide += "数";
  m_log.WriteLog(wide.c_str(), "ClientThread", 7);
  const std::string cut = LogText();
  const std::string body = cut.substr(0, cut.size() - 2);
  const std::size_t nCharsStart = body.find("数");
  ASSERT_NE(nCharsStart, std::string::npos);
  EXPECT_EQ((body.size() - nCharsStart) % std::string("数").size(), 0u);
}

TEST_F(RunLog, MissingDirectoryIsCreatedButUnusablePathsLoseTheLine) {
  const std::string nested = m_dir.Path() + "/state/quillby";
  setenv("WINDIR", nested.c_str(), 1);
  EXPECT_TRUE(m_log.WriteLog("created", "Run", 1));
  EXPECT_NE(ReadWholeFile(nested + "/RunLog.log").find("created."), std::string::npos);

  // A file where the directory should be.
  const std::string blocker = m_dir.Path() + "/file";
  std::ofstream(blocker) << "x";
  setenv("WINDIR", blocker.c_str(), 1);
  EXPECT_FALSE(m_log.WriteLog("lost", "Run", 1));

  // A path longer than the 260-character path buffer.
  const std::string deep = m_dir.Path() + "/" + std::string(300, 'd');
  setenv("WINDIR", deep.c_str(), 1);
  EXPECT_FALSE(m_log.WriteLog("lost", "Run", 1));
  std::error_code ec;
  EXPECT_FALSE(std::filesystem::exists(deep, ec));
}

TEST_F(RunLog, ThreadsLoggingAtOnceGiveWholeLinesOneAfterTheOther) {
  constexpr int kLinesPerThread = 200;
  auto writer = [this](const char* context) {
    for (int i = 0; i < kLinesPerThread; ++i) m_log.WriteLog("WSARecv(...) failure", context, i);
  };
  std::thread a(writer, "ClientThread");
  std::thread b(writer, "HelperThread");
  a.join();
  b.join();

  const std::string text = LogText();
  const std::regex line(
      R"(\d{4}/\d{2}/\d{2}  \d{2}:\d{2}:\d{2} - WSARecv\(\.\.\.\) failure\.\t\[(ClientThread|HelperThread)\]\t\[\d+\]\r)");
  std::size_t nLines = 0;
  std::size_t nStart = 0;
  for (std::size_t nEnd; (nEnd = text.find('\n', nStart)) != std::string::npos; nStart = nEnd + 1, ++nLines)
    ASSERT_TRUE(std::regex_match(text.substr(nStart, nEnd - nStart), line)) << text.substr(nStart, nEnd - nStart);
  EXPECT_EQ(nStart, text.size());
  EXPECT_EQ(nLines, 2u * kLinesPerThread);
}

}  // namespace
