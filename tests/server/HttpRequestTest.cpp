// A request read once into its parts, without a socket.
#include <gtest/gtest.h>

#include <string>

#include "server/HttpRequest.h"

namespace {

TEST(HttpRequest, IsReadIntoMethodTargetFieldsAndBody) {
  CHttpRequest request;
  ASSERT_TRUE(ParseHttpRequest(
      "POST /__q/saved?key=a%20b HTTP/1.1\r\nHost:  127.0.0.1:9898 \r\nX-Quillby-Secret:\tabc\r\nno colon here\r\n"
      "HOST: other\r\nContent-Length: 5\r\n\r\nbody\r\n",
      request));
  EXPECT_EQ(request.strMethod, "POST");
  EXPECT_EQ(request.strTarget, "/__q/saved?key=a%20b");
  EXPECT_EQ(request.Path(), "/__q/saved");
  EXPECT_EQ(request.Query(), "key=a%20b");
  ASSERT_EQ(request.headers.size(), 4u);
  EXPECT_EQ(request.headers[0].strName, "host");
  EXPECT_EQ(request.headers[0].strValue, "127.0.0.1:9898");
  EXPECT_EQ(*request.Find("x-quillby-secret"), "abc");
  EXPECT_EQ(*request.Find("host"), "127.0.0.1:9898");  // the first of two
  EXPECT_EQ(request.headers[2].strValue, "other");
  EXPECT_EQ(request.Find("Host"), nullptr);  // names are looked up in lower case
  EXPECT_EQ(request.ContentLength(), 5u);
  EXPECT_EQ(request.strBody, "body\r\n");
}

// The method ends at the first space of the request, wherever it is, and
// the target at the next one or at the end: the course's own rule.
TEST(HttpRequest, MethodAndTargetFollowTheSpaces) {
  CHttpRequest request;
  ASSERT_TRUE(ParseHttpRequest("GET /a.swf\r\n\r\n", request));
  EXPECT_EQ(request.strMethod, "GET");
  EXPECT_EQ(request.strTarget, "/a.swf\r\n\r\n");
  EXPECT_TRUE(request.headers.empty());
  ASSERT_TRUE(ParseHttpRequest("GARBAGE\r\nHost: x\r\n\r\n", request));
  EXPECT_EQ(request.strMethod, "GARBAGE\r\nHost:");
  EXPECT_EQ(*request.Find("host"), "x");
  EXPECT_EQ(request.Query(), "");

  EXPECT_FALSE(ParseHttpRequest("GARBAGE\r\n\r\n", request));
  EXPECT_EQ(request.strMethod, "GARBAGE\r\nHost:");  // untouched
  EXPECT_FALSE(ParseHttpRequest("", request));
}

TEST(HttpRequest, ContentLengthIsAPlainDecimalNumberOnly) {
  const auto length = [](const std::string& value) {
    CHttpRequest request;
    ParseHttpRequest("POST / HTTP/1.1\r\nContent-Length:" + value + "\r\n\r\n", request);
    return request.ContentLength();
  };
  EXPECT_EQ(length(" 0"), 0u);
  EXPECT_EQ(length(" 1048576 "), 1048576u);
  EXPECT_EQ(length(""), std::nullopt);
  EXPECT_EQ(length(" -1"), std::nullopt);
  EXPECT_EQ(length(" 1e3"), std::nullopt);
  EXPECT_EQ(length(" 12 34"), std::nullopt);
  EXPECT_EQ(length(" 99999999999999999999999"), std::nullopt);
  CHttpRequest none;
  ParseHttpRequest("GET / HTTP/1.1\r\n\r\n", none);
  EXPECT_EQ(none.ContentLength(), std::nullopt);
}

}  // namespace
