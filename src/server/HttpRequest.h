#pragma once
// A request as the resource server reads it, once: method, target, header
// fields and body. Plain data; no sockets.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct CHttpHeader {
  // Lower case: field names are compared without regard to case.
  std::string strName;
  // Without the blanks around it.
  std::string strValue;
};

struct CHttpRequest {
  std::string strMethod;
  // As sent, query included; nothing decoded.
  std::string strTarget;
  // In the order sent; a name may come more than once.
  std::vector<CHttpHeader> headers;
  // Every byte after the empty line (none when it has not come).
  std::string strBody;

  // The first field of that name (lower case), or none.
  const std::string* Find(std::string_view strName) const;
  // Content-Length as a plain decimal number; none when absent or not one.
  std::optional<std::size_t> ContentLength() const;
  // The target up to its first '?', and what follows it.
  std::string_view Path() const;
  std::string_view Query() const;
};

// The method is the text before the first space of the request, the target
// what follows it up to the next space (to the end when there is none). The
// header fields are the lines "name: value" after the first line, up to the
// empty line; lines without a colon are skipped. False, with request
// untouched, when the request holds no space at all.
bool ParseHttpRequest(std::string_view strRequest, CHttpRequest& request);
