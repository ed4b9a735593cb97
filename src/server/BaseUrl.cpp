#include "server/BaseUrl.h"

#include "platform/Paths.h"

namespace {
constexpr const char* kBaseUrl = "http://www.quillby.cn/";
// Lets a deployment, the demo and the tests point the program at another site.
constexpr const char* kBaseUrlVariable = "QUILLBY_BASE_URL";
}  // namespace

std::string GetProductBaseUrl() {
  std::string strUrl = platform::GetEnvOr(kBaseUrlVariable, kBaseUrl);
  if (strUrl.back() != '/') strUrl += '/';
  return strUrl;
}
