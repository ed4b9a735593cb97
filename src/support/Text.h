#pragma once
// Small text helpers shared by the server, the host and the tools.
#include <optional>
#include <string>
#include <string_view>

namespace support {

// %XX escapes to bytes. A '%' not followed by two hex digits stays as it
// is; the result then is false, for callers that refuse such text.
bool PercentDecode(std::string_view in, std::string& out);
// The lenient form: whatever escapes decode, the rest stays.
std::string PercentDecode(std::string_view in);
// Every byte but ASCII letters, digits and those in keep as %XX. The default
// keeps what a URL's query never escapes, so URLSearchParams reads it back
// exactly ('+' included).
std::string PercentEncode(std::string_view in, std::string_view keep = "-_.~");

// A-Z to a-z only: protocol words, file extensions and header names are
// ASCII, and the C library's tolower would follow the user's locale.
std::string ToLowerAscii(std::string text);

// text, in the character set iconv knows by pszCharset ("CP936"), as UTF-8;
// nothing when it is not valid text of that set ("UTF-8" checks UTF-8).
std::optional<std::string> ToUtf8(std::string_view text, const char* pszCharset);

// The whole file as bytes; nothing when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

}  // namespace support
