#pragma once
// The movie host's reserved handler behind a raw-socket origin, as the
// resource server calls it: the request read once, the reply whole.
#include <string>

#include "host/movie/MoviePageHandler.h"
#include "server/HttpResponse.h"

namespace testing_support {

// Empty when the bytes are no request at all (the server drops those).
inline std::string AnswerText(host::CMoviePageHandler& handler, const std::string& strRequest) {
  CHttpRequest request;
  if (!ParseHttpRequest(strRequest, request)) return {};
  std::string strReply;
  ReadWholeReply(handler.HandleRequest(request), strReply);
  return strReply;
}

}  // namespace testing_support
