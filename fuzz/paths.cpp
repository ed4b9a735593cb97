// Paths and addresses as text: a request path mapped into the cache and to a
// copy's member name, %XX escapes, and the product web site's bases as the
// setting names them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/HTTPServer.h"
#include "site/ProductSite.h"
#include "site/SitePath.h"
#include "support/ConnectGuard.h"
#include "support/Text.h"

namespace {

constexpr std::string_view kRoot = "/cache/";

// Some '/'-separated piece is empty, ".", or "..".
bool HasDotSegment(std::string_view path, bool bEmptyCounts) {
  for (std::size_t nStart = 0;;) {
    const std::size_t nEnd = path.find('/', nStart);
    const std::string_view segment = path.substr(nStart, nEnd == std::string_view::npos ? nEnd : nEnd - nStart);
    if (segment == ".." || (bEmptyCounts && (segment.empty() || segment == "."))) return true;
    if (nEnd == std::string_view::npos) return false;
    nStart = nEnd + 1;
  }
}

bool HasBackslashOrNul(std::string_view path) { return path.find_first_of(std::string_view("\\\0", 2)) != path.npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
  const std::string text(reinterpret_cast<const char*>(pData), nSize);
  static const auto types = DefaultMimeTypes();

  // What a request leads to stays below the cache directory.
  if (const auto mapping = MapRequestPath(text, std::string(kRoot), types)) {
    const std::string_view local = mapping->strLocalPath;
    if (!local.starts_with(kRoot) || HasDotSegment(local.substr(kRoot.size()), false) || HasBackslashOrNul(local))
      __builtin_trap();
  }
  // A copy's member is a plain relative name.
  std::string strMember;
  if (SiteMemberName(text, strMember) && (HasDotSegment(strMember, true) || HasBackslashOrNul(strMember)))
    __builtin_trap();

  // Escapes decode to no more bytes, and what is escaped comes back whole.
  std::string strDecoded;
  support::PercentDecode(text, strDecoded);
  if (strDecoded.size() > text.size()) __builtin_trap();
  if (!support::PercentDecode(support::PercentEncode(text), strDecoded) || strDecoded != text) __builtin_trap();

  // The setting that names the site: every base is read, and looked at.
  CProductSite(text).Problems();
  std::string strAddress;
  if (support::CanonicalAddress(text, strAddress)) support::ReachOf(strAddress);
  return 0;
}
