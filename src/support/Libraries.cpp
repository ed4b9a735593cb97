#include "support/Libraries.h"

#include <curl/curl.h>

#include <mutex>

namespace support {

void InitLibraries() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace support
