#include "server/SitePath.h"

#include <cctype>

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsUsableSegment(std::string_view segment) { return !segment.empty() && segment != "." && segment != ".."; }

}  // namespace

std::string PercentDecode(std::string_view str) {
  std::string strDecoded;
  for (std::size_t i = 0; i < str.size(); ++i) {
    if (str[i] == '%' && i + 2 < str.size() && HexValue(str[i + 1]) >= 0 && HexValue(str[i + 2]) >= 0) {
      strDecoded += static_cast<char>(HexValue(str[i + 1]) * 16 + HexValue(str[i + 2]));
      i += 2;
    } else {
      strDecoded += str[i];
    }
  }
  return strDecoded;
}

bool SiteMemberName(std::string_view strPath, std::string& strMember) {
  // A web server ends the path at the first '?'.
  strPath = strPath.substr(0, strPath.find('?'));
  strMember = PercentDecode(strPath);
  if (strMember.find_first_of(std::string_view("\\\0", 2)) != std::string::npos) return false;
  for (std::size_t nStart = 0;;) {
    const std::size_t nEnd = strMember.find('/', nStart);
    if (!IsUsableSegment(std::string_view(strMember).substr(nStart, nEnd - nStart))) return false;
    if (nEnd == std::string::npos) return true;
    nStart = nEnd + 1;
  }
}

bool StartsWithNoCase(std::string_view text, std::string_view lowerPrefix) {
  if (text.size() < lowerPrefix.size()) return false;
  for (std::size_t i = 0; i < lowerPrefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != lowerPrefix[i]) return false;
  return true;
}
