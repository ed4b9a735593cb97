#include "support/Text.h"

#include <iconv.h>

#include <fstream>
#include <iterator>

namespace support {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool PercentDecode(std::string_view in, std::string& out) {
  out.clear();
  bool bWhole = true;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out += in[i];
    } else if (i + 2 < in.size() && HexValue(in[i + 1]) >= 0 && HexValue(in[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(in[i + 1]) * 16 + HexValue(in[i + 2]));
      i += 2;
    } else {
      out += in[i];
      bWhole = false;
    }
  }
  return bWhole;
}

std::string PercentDecode(std::string_view in) {
  std::string out;
  PercentDecode(in, out);
  return out;
}

std::string PercentEncode(std::string_view in, std::string_view keep) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : in) {
    const bool bPlain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        keep.find(static_cast<char>(c)) != std::string_view::npos;
    if (bPlain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string ToLowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::optional<std::string> ToUtf8(std::string_view text, const char* pszCharset) {
  const iconv_t converter = ::iconv_open("UTF-8", pszCharset);
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  // No character of any set takes more than four bytes in UTF-8.
  std::string out(text.size() * 4, '\0');
  char* pIn = const_cast<char*>(text.data());
  std::size_t nInLeft = text.size();
  char* pOut = out.data();
  std::size_t nOutLeft = out.size();
  const bool bWhole = ::iconv(converter, &pIn, &nInLeft, &pOut, &nOutLeft) != static_cast<std::size_t>(-1);
  ::iconv_close(converter);
  if (!bWhole) return std::nullopt;
  out.resize(out.size() - nOutLeft);
  return out;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes(std::istreambuf_iterator<char>(in), {});
  if (in.bad()) return std::nullopt;
  return bytes;
}

}  // namespace support
