#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "RawOrigin.h"
#include "TempDir.h"
#include "net/SendData.h"
#include "net/Upload.h"
#include "platform/MessageLoop.h"
#include "support/ConnectGuard.h"

namespace {

using testing_support::ClosedPort;
using testing_support::CRawOrigin;
namespace fs = std::filesystem;

const std::string kB = "---------------------------114782935826962";
const std::string kOkReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK";

std::string FieldPart(const std::string& name, const std::string& value) {
  return "--" + kB + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string FilePart(const std::string& content) {
  return "--" + kB +
         "\r\nContent-Disposition: form-data; name=\"txtfile\"; filename=\"test.mp3\"\r\n"
         "Content-Type: application/octet-stream\r\n\r\n" +
         content + "\r\n";
}

const std::string kClosingBlock =
    "\r\n--" + kB + "\r\nContent-Disposition: form-data; name=\"Submit\"\r\n\r\nhello\r\n--" + kB + "--\r\n";

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
  return bytes;
}

struct Posted {
  platform::UINT message;
  platform::WPARAM wParam;
  platform::LPARAM lParam;
};

class CDoneWindow : public platform::CMsgTarget {
 public:
  void OnMessage(platform::UINT message, platform::WPARAM wParam, platform::LPARAM lParam) override {
    posted.push_back({message, wParam, lParam});
  }
  std::vector<Posted> posted;
};

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("no_proxy", "127.0.0.1", 1);
    m_window.CreateTarget();
  }
  void TearDown() override { unsetenv(kUploadHostVariable); }

  void PointAt(int port) { setenv(kUploadHostVariable, ("127.0.0.1:" + std::to_string(port)).c_str(), 1); }

  void WriteRecording(const std::string& bytes) { std::ofstream("test.mp3", std::ios::binary) << bytes; }

  UploadParam Param(std::string uid, std::string tid, std::string english = "0") {
    return UploadParam{std::move(uid), std::move(tid), std::move(english), m_window.GetSafeHwnd()};
  }

  // Pumps the UI loop until count messages have reached the window.
  void WaitForDone(size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_window.posted.size() < count && std::chrono::steady_clock::now() < deadline) {
      platform::CMessageLoop::Get().DispatchPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  CScratchDir m_scratch;  // the current directory
  CDoneWindow m_window;
};

TEST_F(UploadTest, PathIsEnglishOnlyForExactlyOne) {
  CRawOrigin origin({kOkReply});
  PointAt(origin.Port());
  const std::vector<std::pair<std::string, std::string>> cases = {{"1", "/Upfile_en.ashx"},
                                                                  {"0", "/Upfile.ashx"},
                                                                  {"", "/Upfile.ashx"},
                                                                  {"01", "/Upfile.ashx"},
                                                                  {"1 ", "/Upfile.ashx"}};
  for (const auto& [english, path] : cases) {
    UploadParam param = Param("u", "t", english);
    EXPECT_EQ(UploadThreadProc(&param), 1u);
  }
  auto requests = origin.WaitForRequests(cases.size());
  ASSERT_EQ(requests.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(requests[i].Line(), "POST " + cases[i].second + " HTTP/1.1") << "strEnglish \"" << cases[i].first << "\"";
}

TEST_F(UploadTest, RequestCarriesHeadersLengthAndBodyWithRecording) {
  CRawOrigin origin({kOkReply});
  PointAt(origin.Port());
  const std::string recording = Pattern(70000);  // more than one transfer block
  WriteRecording(recording);
  UploadParam param = Param("pupil-17", "task42");
  UploadThreadProc(&param);

  auto requests = origin.WaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  const auto& header = requests[0].header;
  EXPECT_NE(header.find("\r\nAccept: */*\r\nConnection:Keep-Alive\r\nContent-Type: multipart/form-data; boundary=" +
                        kB + "\r\n"),
            std::string::npos)
      << header;
  const size_t announced = 499 + 8 + 6 + recording.size();
  EXPECT_NE(header.find("\r\nContent-Length: " + std::to_string(announced) + "\r\n"), std::string::npos) << header;
  EXPECT_EQ(header.find("Expect:"), std::string::npos) << header;
  EXPECT_EQ(requests[0].body,
            FieldPart("uid", "pupil-17") + FieldPart("tid", "task42") + FilePart(recording) + kClosingBlock);
  EXPECT_EQ(requests[0].body.size(), announced);
}

TEST_F(UploadTest, MissingRecordingSendsFieldsAndClosingBlockOnly) {
  CRawOrigin origin({kOkReply});
  PointAt(origin.Port());
  UploadParam param = Param("abc", "de");
  UploadThreadProc(&param);

  auto requests = origin.WaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].header.find("\r\nContent-Length: " + std::to_string(340 + 3 + 2) + "\r\n"), std::string::npos);
  EXPECT_EQ(requests[0].body, FieldPart("uid", "abc") + FieldPart("tid", "de") + kClosingBlock);
}

TEST_F(UploadTest, ValuesAreSentUnchanged) {
  CRawOrigin origin({kOkReply});
  PointAt(origin.Port());
  WriteRecording("ID3");
  const std::string uid = "a\r\nContent-Disposition: x";
  const std::string tid = "say \"hi\" --" + kB + "--";
  UploadParam param = Param(uid, tid);
  UploadThreadProc(&param);

  auto requests = origin.WaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, FieldPart("uid", uid) + FieldPart("tid", tid) + FilePart("ID3") + kClosingBlock);
  EXPECT_EQ(requests[0].body.size(), 499 + uid.size() + tid.size() + 3);
}

TEST_F(UploadTest, FiveMegabyteRecordingIsStreamedWhole) {
  CRawOrigin origin({kOkReply});
  PointAt(origin.Port());
  const std::string recording = Pattern(5 * 1024 * 1024 + 17);
  WriteRecording(recording);
  CSendData sendData;
  sendData.SetServer("/Upfile.ashx");
  sendData.Reset();
  sendData.AddField("uid", "1");
  sendData.AddField("tid", "2");
  sendData.AddFile("test.mp3", "txtfile");
  EXPECT_TRUE(sendData.Send());

  auto requests = origin.WaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(sendData.GetContentLength(), 499 + 2 + recording.size());
  EXPECT_EQ(requests[0].body.size(), sendData.GetContentLength());
  EXPECT_TRUE(requests[0].body == FieldPart("uid", "1") + FieldPart("tid", "2") + FilePart(recording) + kClosingBlock);
}

TEST_F(UploadTest, UnreachableHostFailsAndStillPostsAfterDelay) {
  PointAt(ClosedPort());
  CSendData sendData;
  sendData.SetServer("/Upfile.ashx");
  sendData.Reset();
  sendData.AddField("uid", "1");
  EXPECT_FALSE(sendData.Send());

  UploadParam param = Param("u", "t");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(UploadThreadProc(&param), 1u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  WaitForDone(1);
  ASSERT_EQ(m_window.posted.size(), 1u);
  EXPECT_EQ(m_window.posted[0].message, 0x464u);
  EXPECT_EQ(m_window.posted[0].wParam, 1u);
  EXPECT_EQ(m_window.posted[0].lParam, 0);
}

// The host takes the connection and the request and never answers: the
// upload gives up once nothing has moved for the stall time, and the window
// still hears that it is done.
TEST_F(UploadTest, HostThatNeverAnswersEndsTheUploadAndStillPosts) {
  testing_support::CSilentListener silent;
  PointAt(silent.Port());
  WriteRecording(Pattern(1000));
  CUploadSettings settings;
  settings.m_nConnectTimeoutMs = 1000;
  settings.m_nStallTimeoutMs = 500;
  // Detached: where the upload never ends, the test fails instead of hanging.
  std::thread([param = Param("u", "t"), settings]() mutable { UploadThreadProc(&param, settings); }).detach();
  WaitForDone(1);
  ASSERT_EQ(m_window.posted.size(), 1u);
  EXPECT_EQ(m_window.posted[0].message, WM_UPLOAD_DONE);
  EXPECT_EQ(m_window.posted[0].wParam, 1u);
}

TEST_F(UploadTest, ErrorStatusStillCountsAsSent) {
  CRawOrigin origin({"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 5\r\nConnection: close\r\n\r\nerror"});
  PointAt(origin.Port());
  CSendData sendData;
  sendData.SetServer("/Upfile.ashx");
  sendData.Reset();
  sendData.AddField("uid", "1");
  EXPECT_TRUE(sendData.Send());
  EXPECT_EQ(origin.WaitForRequests(1).size(), 1u);
}

// A redirect is not followed (the service is the setting's, its answer is
// the outcome), and this program's own server is never posted to.
TEST_F(UploadTest, RedirectIsNotFollowedAndOwnServerNeverReached) {
  CRawOrigin inside({kOkReply});
  CRawOrigin origin({"HTTP/1.1 307 Temporary Redirect\r\nLocation: http://127.0.0.1:" + std::to_string(inside.Port()) +
                     "/Upfile.ashx\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"});
  const auto send = [] {
    CSendData sendData;
    sendData.SetServer("/Upfile.ashx");
    sendData.AddField("uid", "1");
    return sendData.Send();
  };
  PointAt(origin.Port());
  send();
  EXPECT_EQ(origin.WaitForRequests(1).size(), 1u);

  const support::COwnServerPort own(inside.Port());
  PointAt(inside.Port());
  EXPECT_FALSE(send());
  EXPECT_TRUE(inside.Requests().empty());
}

TEST_F(UploadTest, FileIsAddedOnceAndCountedOnce) {
  WriteRecording(std::string(1000, 'x'));
  CSendData sendData;
  sendData.AddFile("test.mp3", "txtfile");
  const auto once = sendData.GetContentLength();
  sendData.AddFile("test.mp3", "txtfile");
  EXPECT_EQ(sendData.GetContentLength(), once);
  EXPECT_EQ(once, FilePart(std::string(1000, 'x')).size());

  sendData.AddFile("absent.mp3", "txtfile");
  EXPECT_EQ(sendData.GetContentLength(), once);
  sendData.Reset();
  EXPECT_EQ(sendData.GetContentLength(), 0u);
}

TEST_F(UploadTest, RecordingGoneBeforeSendFailsWithoutABrokenRequest) {
  CRawOrigin origin({kOkReply});
  PointAt(origin.Port());
  WriteRecording(std::string(1000, 'x'));
  CSendData sendData;
  sendData.SetServer("/Upfile.ashx");
  sendData.Reset();
  sendData.AddField("uid", "1");
  sendData.AddFile("test.mp3", "txtfile");
  fs::remove("test.mp3");
  EXPECT_FALSE(sendData.Send());
}

TEST_F(UploadTest, HostSettingAndItsOverride) {
  unsetenv(kUploadHostVariable);
  CSendData sendData;
  sendData.SetServer("/Upfile.ashx");
  EXPECT_STREQ(sendData.GetServer(), kUploadHost);
  EXPECT_EQ(sendData.GetPort(), 80);
  EXPECT_STREQ(sendData.GetObject(), "/Upfile.ashx");

  setenv(kUploadHostVariable, "uploads.example.test", 1);
  sendData.SetServer("/Upfile_en.ashx");
  EXPECT_STREQ(sendData.GetServer(), "uploads.example.test");
  EXPECT_EQ(sendData.GetPort(), 80);

  setenv(kUploadHostVariable, "127.0.0.1:8081", 1);
  sendData.SetServer("/Upfile.ashx");
  EXPECT_STREQ(sendData.GetServer(), "127.0.0.1");
  EXPECT_EQ(sendData.GetPort(), 8081);

  // A host that does not fit is not cut into another name: nothing is sent.
  setenv(kUploadHostVariable, std::string(120, 'h').c_str(), 1);
  sendData.SetServer("/Upfile.ashx");
  EXPECT_STREQ(sendData.GetServer(), "");
  EXPECT_FALSE(sendData.Send());
}

TEST_F(UploadTest, UploadsStartedBackToBackKeepTheirOwnParameters) {
  CRawOrigin origin({kOkReply});
  PointAt(origin.Port());
  WriteRecording(Pattern(200000));
  UploadParam param = Param("first", "t1");
  ASSERT_TRUE(StartUpload(param));
  // The caller reuses its block at once, as the command bridge does.
  param.strUid = "second";
  param.strTid = "t2";
  param.strEnglish = "1";
  ASSERT_TRUE(StartUpload(param));
  param.strUid = "changed later";

  EXPECT_TRUE(WaitForUploads(std::chrono::seconds(10)));
  WaitForDone(2);
  ASSERT_EQ(m_window.posted.size(), 2u);
  for (const auto& p : m_window.posted) EXPECT_EQ(p.wParam, 1u);
  auto requests = origin.WaitForRequests(2);
  ASSERT_EQ(requests.size(), 2u);
  std::set<std::string> seen;
  for (const auto& r : requests) {
    bool english = r.Line() == "POST /Upfile_en.ashx HTTP/1.1";
    const std::string uid = english ? "second" : "first";
    EXPECT_EQ(r.body.substr(0, FieldPart("uid", uid).size()), FieldPart("uid", uid));
    EXPECT_EQ(r.body.size(), 499 + uid.size() + 2 + 200000);
    seen.insert(uid);
  }
  EXPECT_EQ(seen.size(), 2u);
}

}  // namespace
