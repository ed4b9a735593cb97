#include "site/SitePath.h"

#include <cctype>

#include "support/Text.h"

namespace {

bool IsUsableSegment(std::string_view segment) { return !segment.empty() && segment != "." && segment != ".."; }

}  // namespace

bool SiteMemberName(std::string_view strPath, std::string& strMember) {
  // A web server ends the path at the first '?'.
  strPath = strPath.substr(0, strPath.find('?'));
  // What a web server makes of %XX escapes; malformed ones stay as they are.
  strMember = support::PercentDecode(strPath);
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
