#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>

#include "RawOrigin.h"
#include "net/HttpSocket.h"
#include "platform/MessageBox.h"

namespace {

using namespace std::chrono_literals;
using testing_support::CFd;
using testing_support::ClosedPort;
using testing_support::CRawOrigin;

const std::string kUserAgentLine = "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";
const std::string kPartialHeader =
    "HTTP/1.1 206 Partial Content\r\nServer: raw\r\nX-Note: see Content-Length: 12\r\nContent-Length: 1234\r\n\r\n";

class HttpSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { m_previous = platform::SetMessageBoxPresenter(m_boxes); }
  void TearDown() override { platform::SetMessageBoxPresenter(m_previous); }

  // Socket, Connect, format and send a GET for "/a.mp3".
  static void Request(CHttpSocket& socket, int port) {
    char host[] = "127.0.0.1";
    char object[] = "/a.mp3";
    ASSERT_EQ(socket.Socket(), 1);
    ASSERT_EQ(socket.Connect(host, port), 1);
    long length = 0;
    socket.FormatRequestHeader(host, object, length, nullptr, nullptr, 0, 0, 0);
    ASSERT_EQ(socket.SendRequest(nullptr, 0), 1);
  }

  static std::string ReceiveAll(CHttpSocket& socket) {
    std::string bytes;
    char buffer[300];
    for (long n; (n = socket.Receive(buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<size_t>(n));
    return bytes;
  }

  static std::string Format(char* cookie, char* referrer, long from, long to, long* lengthOut = nullptr) {
    CHttpSocket socket;
    char host[] = "www.example.test";
    char object[] = "/course/a.swf?v=2";
    long length = -1;
    std::string text = socket.FormatRequestHeader(host, object, length, cookie, referrer, from, to, 7);
    EXPECT_EQ(length, static_cast<long>(text.size()));
    if (lengthOut) *lengthOut = length;
    return text;
  }

  std::shared_ptr<platform::CRecordingPresenter> m_boxes = std::make_shared<platform::CRecordingPresenter>();
  std::shared_ptr<platform::IMessageBoxPresenter> m_previous;
};

TEST_F(HttpSocketTest, RequestHeaderText) {
  const std::string base = "GET /course/a.swf?v=2 HTTP/1.1\r\nHost:www.example.test\r\nAccept:*/*\r\n" +
                           kUserAgentLine + "Connection:Keep-Alive\r\n";
  EXPECT_EQ(Format(nullptr, nullptr, 0, 0), base + "\r\n");
  EXPECT_EQ(Format(nullptr, nullptr, 100, 0), base + "Range: bytes=100-\r\n\r\n");
  EXPECT_EQ(Format(nullptr, nullptr, 100, 100), base + "Range: bytes=100-\r\n\r\n");
  EXPECT_EQ(Format(nullptr, nullptr, 100, 200), base + "Range: bytes=100-200\r\n\r\n");
  char cookie[] = "sid=42";
  EXPECT_EQ(Format(cookie, nullptr, 0, 0), base + "Set Cookie:0sid=42\r\n\r\n");
  char referrer[] = "http://127.0.0.1/boot.swf";
  EXPECT_EQ(Format(cookie, referrer, 5, 9),
            "GET /course/a.swf?v=2 HTTP/1.1\r\nHost:www.example.test\r\nReferer:http://127.0.0.1/boot.swf\r\n"
            "Accept:*/*\r\n" +
                kUserAgentLine + "Connection:Keep-Alive\r\nSet Cookie:0sid=42\r\nRange: bytes=5-9\r\n\r\n");
}

TEST_F(HttpSocketTest, RequestThatDoesNotFitIsRefused) {
  CHttpSocket socket;
  char host[] = "h";
  std::string longObject = "/" + std::string(1100, 'x');
  long length = -1;
  const char* text = socket.FormatRequestHeader(host, longObject.data(), length, nullptr, nullptr, 0, 0, 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(length, 0);
  length = -1;
  EXPECT_STREQ(socket.FormatRequestHeader(nullptr, host, length, nullptr, nullptr, 0, 0, 0), "");
  EXPECT_EQ(length, 0);

  // The largest request that fits, 1023 characters, is kept whole.
  const size_t frame = Format(nullptr, nullptr, 0, 0).size() - std::string("/course/a.swf?v=2www.example.test").size();
  std::string object = "/" + std::string(1023 - frame - 2, 'y');
  text = socket.FormatRequestHeader(host, object.data(), length, nullptr, nullptr, 0, 0, 0);
  EXPECT_EQ(length, 1023);
  char copy[2000];
  EXPECT_EQ(socket.GetRequestHeader(copy, sizeof copy), 1023);
  EXPECT_EQ(std::string(copy, 1023), text);
  EXPECT_EQ(socket.GetRequestHeader(copy, 10), 10);
}

TEST_F(HttpSocketTest, RequestGoesOutAndStatusAndFieldsAreRead) {
  CRawOrigin origin({kPartialHeader + "BODY"});
  CHttpSocket socket;
  EXPECT_EQ(socket.GetServerState(), -1);
  char value[1024] = "untouched";
  EXPECT_EQ(socket.GetField("Server", value, sizeof value), -1);
  Request(socket, origin.Port());

  EXPECT_EQ(socket.GetServerState(), 206);
  EXPECT_EQ(socket.GetField("Server", value, sizeof value), 3);
  EXPECT_STREQ(value, "raw");
  EXPECT_EQ(socket.GetField("Content-Type", value, sizeof value), -1);
  // The name inside the earlier X-Note line is found first.
  EXPECT_EQ(socket.GetField("Content-Length", value, sizeof value), 2);
  EXPECT_STREQ(value, "12");
  // A short buffer gets what fits and its zero, nothing more.
  char small[3];
  EXPECT_EQ(socket.GetField("X-Note", small, sizeof small), 2);
  EXPECT_EQ(std::string(small, 3), std::string("se\0", 3));

  int length = 0;
  EXPECT_EQ(std::string(socket.GetResponseHeader(length)), kPartialHeader);
  EXPECT_EQ(length, static_cast<int>(kPartialHeader.size()));
  EXPECT_EQ(ReceiveAll(socket), "BODY");
  EXPECT_EQ(socket.Receive(value, sizeof value), 0);

  auto requests = origin.WaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header, "GET /a.mp3 HTTP/1.1\r\nHost:127.0.0.1\r\nAccept:*/*\r\n" + kUserAgentLine +
                                    "Connection:Keep-Alive\r\n\r\n");
}

TEST_F(HttpSocketTest, ResponseLinesCycle) {
  CRawOrigin origin({"HTTP/1.1 200 OK\r\nA: 1\r\n\r\n"});
  CHttpSocket socket;
  char line[64];
  EXPECT_EQ(socket.GetResponseLine(line, sizeof line), -1);
  Request(socket, origin.Port());
  for (int round = 0; round < 2; ++round) {
    for (std::string expected : {"HTTP/1.1 200 OK\r\n", "A: 1\r\n", "\r\n"}) {
      int n = socket.GetResponseLine(line, sizeof line);
      ASSERT_EQ(n, static_cast<int>(expected.size()));
      EXPECT_EQ(std::string(line, static_cast<size_t>(n)), expected);
    }
    EXPECT_EQ(socket.GetResponseLine(line, sizeof line), -1);
  }
  // A short buffer takes the line in pieces.
  EXPECT_EQ(socket.GetResponseLine(line, 4), 4);
  EXPECT_EQ(std::string(line, 4), "HTTP");
}

TEST_F(HttpSocketTest, LongHeaderIsCutAndTheRestComesFromReceive) {
  std::string header = "HTTP/1.0 200 OK\r\nX-Fill: " + std::string(1500, 'f') + "\r\n\r\n";
  CRawOrigin origin({header + "body"});
  CHttpSocket socket;
  Request(socket, origin.Port());
  int length = 0;
  EXPECT_EQ(std::string(socket.GetResponseHeader(length), 1024), header.substr(0, 1024));
  EXPECT_EQ(length, 1024);
  EXPECT_EQ(socket.GetServerState(), 200);
  char value[64];
  // The field's line has no end inside the stored header.
  EXPECT_EQ(socket.GetField("X-Fill", value, sizeof value), -1);
  EXPECT_STREQ(value, "");
  EXPECT_EQ(ReceiveAll(socket), header.substr(1024) + "body");
}

TEST_F(HttpSocketTest, ConnectionClosedBeforeBlankLineKeepsWhatArrived) {
  CRawOrigin origin({"HTTP/1.1 404 Not"});
  CHttpSocket socket;
  Request(socket, origin.Port());
  int length = 0;
  EXPECT_STREQ(socket.GetResponseHeader(length), "HTTP/1.1 404 Not");
  EXPECT_EQ(length, 16);
  EXPECT_EQ(socket.GetServerState(), 404);
}

TEST_F(HttpSocketTest, SecondRequestStillSeesTheFirstHeader) {
  const std::string first = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n1";
  const std::string second = "HTTP/1.1 206 Partial Content\r\nContent-Length: 2\r\n\r\n22";
  CRawOrigin origin({first, second});
  CHttpSocket socket;
  Request(socket, origin.Port());
  EXPECT_EQ(ReceiveAll(socket), "1");

  char host[] = "127.0.0.1";
  char object[] = "/b.mp3";
  ASSERT_EQ(socket.Socket(), 1);
  ASSERT_EQ(socket.Connect(host, origin.Port()), 1);
  long length = 0;
  socket.FormatRequestHeader(host, object, length, nullptr, nullptr, 10, 0, 0);
  ASSERT_EQ(socket.SendRequest(nullptr, 0), 1);
  EXPECT_EQ(socket.GetServerState(), 200);
  EXPECT_EQ(ReceiveAll(socket), second);

  auto requests = origin.WaitForRequests(2);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].header.substr(0, 22), "GET /b.mp3 HTTP/1.1\r\nH");
  EXPECT_NE(requests[1].header.find("\r\nRange: bytes=10-\r\n\r\n"), std::string::npos);
}

TEST_F(HttpSocketTest, CallerHeaderIsSentWithinItsOwnText) {
  CRawOrigin origin({"HTTP/1.1 200 OK\r\n\r\n"});
  CHttpSocket socket;
  char host[] = "127.0.0.1";
  char object[] = "/a-rather-long-object-name-for-the-formatted-request";
  ASSERT_EQ(socket.Socket(), 1);
  ASSERT_EQ(socket.Connect(host, origin.Port()), 1);
  long length = 0;
  socket.FormatRequestHeader(host, object, length, nullptr, nullptr, 0, 0, 0);
  const char own[] = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_EQ(socket.SendRequest(own, 0), 1);
  EXPECT_EQ(socket.CloseSocket(), 1);
  auto requests = origin.WaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header, own);
}

volatile std::sig_atomic_t g_nSignals = 0;
void CountSignal(int) { g_nSignals = g_nSignals + 1; }

// A signal to the calling thread (a module's own timer, say) fails neither
// the connection being made nor the request being sent.
TEST_F(HttpSocketTest, SignalsDuringConnectAndSendAreNoFailures) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = CountSignal;  // without SA_RESTART: the calls see EINTR
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  // A listener whose queue is full: a connection waits a second for its SYN
  // to be sent again.
  CFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  auto* pAddress = reinterpret_cast<sockaddr*>(&address);
  ASSERT_EQ(::bind(listener.Get(), pAddress, sizeof address), 0);
  ASSERT_EQ(::listen(listener.Get(), 0), 0);
  ASSERT_EQ(::getsockname(listener.Get(), pAddress, &size), 0);
  CFd queued(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::connect(queued.Get(), pAddress, sizeof address), 0);

  // More than the connection holds while nobody reads.
  const std::string request = "GET / HTTP/1.0\r\nX-Pad: " + std::string(32 << 20, 'x') + "\r\n\r\n";
  std::size_t received = 0;
  const pthread_t caller = ::pthread_self();
  std::thread server([&] {
    std::this_thread::sleep_for(100ms);
    ::pthread_kill(caller, SIGUSR1);                      // Connect is waiting
    ::close(::accept(listener.Get(), nullptr, nullptr));  // room in the queue
    pollfd waiting{listener.Get(), POLLIN, 0};
    if (::poll(&waiting, 1, 5000) != 1) return;  // the connection was given up
    CFd client(::accept(listener.Get(), nullptr, nullptr));
    // Unread bytes pile up until SendRequest waits for room.
    for (int n = 0, i = 0; i < 500 && ::ioctl(client.Get(), FIONREAD, &n) == 0 && n < (64 << 10); ++i)
      std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(50ms);
    ::pthread_kill(caller, SIGUSR1);  // SendRequest is waiting for room
    char buffer[65536];
    for (ssize_t n; received < request.size() && (n = ::recv(client.Get(), buffer, sizeof buffer, 0)) > 0;)
      received += static_cast<std::size_t>(n);
    testing_support::SendAll(client.Get(), "HTTP/1.1 200 OK\r\n\r\n");
  });
  CHttpSocket socket;
  char host[] = "127.0.0.1";
  ASSERT_EQ(socket.Socket(), 1);
  EXPECT_EQ(socket.Connect(host, ntohs(address.sin_port)), 1);
  socket.SetTimeout(5000, 0);  // a request cut short gets no answer
  EXPECT_EQ(socket.SendRequest(request.c_str(), static_cast<long>(request.size())), 1);
  EXPECT_EQ(socket.GetServerState(), 200);
  socket.CloseSocket();
  server.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(received, request.size());
  EXPECT_EQ(g_nSignals, 2);
  EXPECT_EQ(m_boxes->Texts(), std::vector<std::string>{});
}

TEST_F(HttpSocketTest, FailuresShowTheirBoxesAndWrongStatesFailQuietly) {
  CHttpSocket socket;
  char host[] = "127.0.0.1";
  char buffer[16];
  EXPECT_EQ(socket.Connect(nullptr, 80), 0);
  EXPECT_EQ(socket.SendRequest(nullptr, 0), 0);
  EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 0);
  EXPECT_TRUE(m_boxes->Boxes().empty());

  ASSERT_EQ(socket.Socket(), 1);
  EXPECT_EQ(socket.SetTimeout(250, 0), 1);
  EXPECT_EQ(socket.SetTimeout(250, 1), 1);
  EXPECT_EQ(socket.Connect(host, ClosedPort()), 0);
  auto boxes = m_boxes->Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "connect()函数执行失败!");
  EXPECT_EQ(boxes[0].caption, "错误");
  EXPECT_EQ(socket.CloseSocket(), 1);

  // Without a socket nothing is connected or configured.
  EXPECT_EQ(socket.SetTimeout(250, 0), 0);
  ASSERT_FALSE(m_boxes->Texts().empty());
  EXPECT_EQ(m_boxes->Texts().back(), "setsockopt()函数执行失败!");
  EXPECT_EQ(socket.CloseSocket(), 1);
}

TEST_F(HttpSocketTest, SocketWhileConnectedIsRefused) {
  CRawOrigin origin({"HTTP/1.1 200 OK\r\n\r\n"});
  CHttpSocket socket;
  char host[] = "127.0.0.1";
  ASSERT_EQ(socket.Socket(), 1);
  ASSERT_EQ(socket.Connect(host, origin.Port()), 1);
  EXPECT_EQ(socket.Socket(), 0);
  EXPECT_EQ(socket.CloseSocket(), 1);
}

// After either copy closes, both are closed; the one socket is closed once,
// so the number the system hands out again belongs to the file that got it.
TEST_F(HttpSocketTest, CopiesShareOneSocketThatIsClosedOnce) {
  CRawOrigin origin({"HTTP/1.1 200 OK\r\n\r\nbody"});
  char buffer[16];
  int unrelated = -1;
  {
    CHttpSocket first;
    Request(first, origin.Port());
    CHttpSocket second(first);
    CHttpSocket third;
    third = second;
    EXPECT_EQ(first.CloseSocket(), 1);
    unrelated = ::open("/dev/null", O_RDONLY | O_CLOEXEC);  // likely the number just freed
    ASSERT_GE(unrelated, 0);
    EXPECT_LE(second.Receive(buffer, sizeof buffer), 0);
    EXPECT_EQ(second.SendRequest(nullptr, 0), 0);  // Receive found it closed
    EXPECT_EQ(second.CloseSocket(), 1);
    EXPECT_EQ(third.GetServerState(), 200);  // the copied header
  }                                          // third closes on destruction
  EXPECT_NE(::fcntl(unrelated, F_GETFD), -1) << "a copy closed a descriptor it did not own";
  ::close(unrelated);
  EXPECT_TRUE(m_boxes->Boxes().empty());
}

struct DlClose {
  void operator()(void* handle) const { dlclose(handle); }
};

TEST_F(HttpSocketTest, SeparateModuleLinksAndUsesTheExportedClass) {
  std::unique_ptr<void, DlClose> module(dlopen(CLIENT_MODULE_PATH, RTLD_NOW | RTLD_LOCAL));
  ASSERT_TRUE(module) << dlerror();
  using Fetch = int (*)(int, char*, int, long*);
  using ConnectOnly = int (*)(int);
  auto fetch = reinterpret_cast<Fetch>(dlsym(module.get(), "ModuleFetch"));
  auto connectOnly = reinterpret_cast<ConnectOnly>(dlsym(module.get(), "ModuleConnect"));
  ASSERT_TRUE(fetch && connectOnly);

  CRawOrigin origin({kPartialHeader + "0123456789"});
  char contentLength[32] = "";
  long bodyLength = -1;
  EXPECT_EQ(fetch(origin.Port(), contentLength, sizeof contentLength, &bodyLength), 206);
  EXPECT_STREQ(contentLength, "12");
  EXPECT_EQ(bodyLength, 10);

  // The module's failures reach the program's own presenter.
  EXPECT_EQ(connectOnly(ClosedPort()), 0);
  ASSERT_EQ(m_boxes->Texts().size(), 1u);
  EXPECT_EQ(m_boxes->Boxes()[0].caption, "错误");
  EXPECT_EQ(m_boxes->Texts()[0], "connect()函数执行失败!");
}

}  // namespace
