#include "server/HttpRequest.h"

#include <cstdint>
#include <utility>

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kHeadEnd = "\r\n\r\n";

std::string_view TrimBlanks(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  return value;
}

// A-Z to a-z only: field names are ASCII.
std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

}  // namespace

const std::string* CHttpRequest::Find(std::string_view strName) const {
  for (const CHttpHeader& header : headers)
    if (header.strName == strName) return &header.strValue;
  return nullptr;
}

std::optional<std::size_t> CHttpRequest::ContentLength() const {
  const std::string* pValue = Find("content-length");
  if (pValue == nullptr || pValue->empty()) return std::nullopt;
  std::size_t nLength = 0;
  for (const char c : *pValue) {
    if (c < '0' || c > '9' || nLength > (SIZE_MAX - 9) / 10) return std::nullopt;
    nLength = nLength * 10 + static_cast<std::size_t>(c - '0');
  }
  return nLength;
}

std::string_view CHttpRequest::Path() const { return std::string_view(strTarget).substr(0, strTarget.find('?')); }

std::string_view CHttpRequest::Query() const {
  const std::size_t nMark = strTarget.find('?');
  return nMark == std::string::npos ? std::string_view() : std::string_view(strTarget).substr(nMark + 1);
}

bool ParseHttpRequest(std::string_view strRequest, CHttpRequest& request) {
  const std::size_t nSpace = strRequest.find(' ');
  if (nSpace == std::string_view::npos) return false;
  CHttpRequest parsed;
  parsed.strMethod = strRequest.substr(0, nSpace);
  const std::size_t nTargetEnd = strRequest.find(' ', nSpace + 1);
  parsed.strTarget = strRequest.substr(
      nSpace + 1, nTargetEnd == std::string_view::npos ? std::string_view::npos : nTargetEnd - nSpace - 1);

  std::size_t nLine = strRequest.find(kLineEnd);
  while (nLine != std::string_view::npos) {
    nLine += kLineEnd.size();
    const std::size_t nEnd = strRequest.find(kLineEnd, nLine);
    const std::string_view line =
        strRequest.substr(nLine, nEnd == std::string_view::npos ? std::string_view::npos : nEnd - nLine);
    if (line.empty()) break;
    const std::size_t nColon = line.find(':');
    if (nColon != std::string_view::npos)
      parsed.headers.push_back({LowerAscii(line.substr(0, nColon)), std::string(TrimBlanks(line.substr(nColon + 1)))});
    nLine = nEnd;
  }

  const std::size_t nHeadEnd = strRequest.find(kHeadEnd);
  if (nHeadEnd != std::string_view::npos) parsed.strBody = strRequest.substr(nHeadEnd + kHeadEnd.size());
  request = std::move(parsed);
  return true;
}
