#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "server/HTTPServer.h"
#include "server/HttpResponse.h"

namespace {

TEST(HttpResponse, DateIsEnglishUtcWithZeroPaddedFields) {
  EXPECT_EQ(FormatHttpDate(1331021109), "Tue, 06 Mar 2012 08:05:09 GMT");
  EXPECT_EQ(FormatHttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(FormatHttpDate(4102444799), "Thu, 31 Dec 2099 23:59:59 GMT");
}

TEST(HttpResponse, FileHeaderStatesTheRealSizePastTwoAndFourGiB) {
  const std::string strDate = "Tue, 06 Mar 2012 08:05:09 GMT";
  EXPECT_EQ(FormatFileHeader("200 OK", strDate, 3221225472ULL, false, "video/mpeg"),
            "HTTP/1.0 200 OK\r\nDate: Tue, 06 Mar 2012 08:05:09 GMT\r\nServer: Web1.0\r\nAccept-Ranges: bytes\r\n"
            "Content-Length: 3221225472\r\nConnection: close\r\nContent-Type: video/mpeg\r\n\r\n");
  EXPECT_EQ(FormatFileHeader("200 OK", strDate, (1ULL << 32) + 5, true, "application/octet-stream"),
            "HTTP/1.0 200 OK\r\nDate: Tue, 06 Mar 2012 08:05:09 GMT\r\nServer: Web1.0\r\nAccept-Ranges: bytes\r\n"
            "Content-Length: 4294967301\r\nConnection: Keep-Alive\r\nContent-Type: application/octet-stream\r\n\r\n");
  // The movie host's files add how long the web engine may keep them.
  EXPECT_EQ(
      FormatFileHeader("200 OK", strDate, 8, false, "application/wasm", "max-age=60"),
      "HTTP/1.0 200 OK\r\nDate: Tue, 06 Mar 2012 08:05:09 GMT\r\nServer: Web1.0\r\nAccept-Ranges: bytes\r\n"
      "Content-Length: 8\r\nConnection: close\r\nContent-Type: application/wasm\r\nCache-Control: max-age=60\r\n\r\n");
}

TEST(HttpResponse, ErrorResponseHasNoBody) {
  EXPECT_EQ(FormatErrorResponse("501 Not Implemented", "Tue, 06 Mar 2012 08:05:09 GMT"),
            "HTTP/1.0 501 Not Implemented\r\nContent-Length: 0\r\nContent-Type: text/html\r\n"
            "Date: Tue, 06 Mar 2012 08:05:09 GMT\r\nServer: Web1.0\r\n\r\n");
}

TEST(HttpResponse, RequestIsCompleteOnlyAfterAnEmptyLine) {
  CHTTPServer server;
  EXPECT_FALSE(server.IsRequestComplete(""));
  EXPECT_FALSE(server.IsRequestComplete("\r\n\r"));
  EXPECT_FALSE(server.IsRequestComplete("GET / HTTP/1.0\r\n"));
  EXPECT_FALSE(server.IsRequestComplete("GET / HTTP/1.0\r\n\r\nX"));
  EXPECT_TRUE(server.IsRequestComplete("\r\n\r\n"));
  EXPECT_TRUE(server.IsRequestComplete("GET / HTTP/1.0\r\nHost: a\r\n\r\n"));
}

}  // namespace
