#pragma once
// Owners of the curl handles the fetch and the upload hold: each one frees
// its handle exactly once, when it goes.
#include <curl/curl.h>

#include <memory>

namespace support {

struct CCurlEasyCleanup {
  void operator()(CURL* pCurl) const { curl_easy_cleanup(pCurl); }
};
using CCurlEasy = std::unique_ptr<CURL, CCurlEasyCleanup>;

struct CCurlMultiCleanup {
  void operator()(CURLM* pMulti) const { curl_multi_cleanup(pMulti); }
};
using CCurlMulti = std::unique_ptr<CURLM, CCurlMultiCleanup>;

struct CCurlSlistFree {
  void operator()(curl_slist* pList) const { curl_slist_free_all(pList); }
};
using CCurlSlist = std::unique_ptr<curl_slist, CCurlSlistFree>;

}  // namespace support
