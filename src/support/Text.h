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

// A-Z to a-z only: protocol words, file extensions and header names are
// ASCII, and the C library's tolower would follow the user's locale.
std::string ToLowerAscii(std::string text);

// The whole file as bytes; nothing when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

}  // namespace support
