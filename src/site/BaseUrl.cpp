#include "site/BaseUrl.h"

#include "platform/Paths.h"

namespace {
constexpr const char* kBaseUrl = "http://www.quillby.cn/";
// Lets a deployment, the demo and the tests point the program at another
// site, or at a copy of it on disk.
constexpr const char* kBaseUrlVariable = "QUILLBY_BASE_URL";
}  // namespace

std::string GetProductBaseUrl() {
  const std::string strBases = platform::GetEnvOr(kBaseUrlVariable, kBaseUrl);
  return strBases.find_first_not_of(" \t\r\n") == std::string::npos ? kBaseUrl : strBases;
}
