// A separate module that knows the socket client only through its exported
// header and shared library, as another team's module would.
#include "net/HttpSocket.h"

#define MODULE_API extern "C" __attribute__((visibility("default")))

// Fetches "/" from 127.0.0.1:port; returns the status and hands back the
// Content-Length field and the body's length.
MODULE_API int ModuleFetch(int port, char* contentLength, int size, long* bodyLength) {
  CHttpSocket socket;
  char host[] = "127.0.0.1";
  char object[] = "/";
  if (!socket.Socket() || !socket.Connect(host, port)) return -2;
  long length = 0;
  socket.FormatRequestHeader(host, object, length, nullptr, nullptr, 0, 0, 0);
  if (!socket.SendRequest(nullptr, 0)) return -3;
  socket.GetField("Content-Length", contentLength, size);
  char buffer[256];
  *bodyLength = 0;
  for (long n; (n = socket.Receive(buffer, sizeof buffer)) > 0;) *bodyLength += n;
  return socket.GetServerState();
}

MODULE_API int ModuleConnect(int port) {
  CHttpSocket socket;
  char host[] = "127.0.0.1";
  return socket.Socket() && socket.Connect(host, port);
}
