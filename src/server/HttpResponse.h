#pragma once
// The two response formats of the resource server, byte for byte.
#include <cstdint>
#include <ctime>
#include <string>

// "%a, %d %b %Y %H:%M:%S GMT" for tNow in UTC, with English day and month
// names whatever the process's locale, e.g. "Tue, 06 Mar 2012 08:05:09 GMT".
std::string FormatHttpDate(std::time_t tNow);

// The header in front of a served file. nContentLength is the real size,
// also past 2 GiB.
std::string FormatFileHeader(const std::string& strStatus, const std::string& strDate, std::uint64_t nContentLength,
                             bool bKeepAlive, const std::string& strContentType);

// The whole reply for a file that cannot be served or a method other than GET:
// no body, Content-Length 0.
std::string FormatErrorResponse(const std::string& strStatus, const std::string& strDate);
