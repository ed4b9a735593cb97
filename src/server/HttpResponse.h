#pragma once
// The resource server's replies, byte for byte: every head the server and
// its reserved handler send is formatted here.
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "server/Reply.h"

// "%a, %d %b %Y %H:%M:%S GMT" for tNow in UTC, with English day and month
// names whatever the process's locale, e.g. "Tue, 06 Mar 2012 08:05:09 GMT".
std::string FormatHttpDate(std::time_t tNow);

// The head in front of a served file. nContentLength is the real size, also
// past 2 GiB. A cache directive, when given, follows the course's fields.
std::string FormatFileHeader(const std::string& strStatus, const std::string& strDate, std::uint64_t nContentLength,
                             bool bKeepAlive, const std::string& strContentType, std::string_view strCacheControl = {});

// The whole reply for a file that cannot be served or a method other than GET:
// no body, Content-Length 0.
std::string FormatErrorResponse(const std::string& strStatus, const std::string& strDate);

// "200 OK" and the regular file at strPath from disk: a small one inside the
// reply's bytes, a larger one as its file. False, with reply untouched, when
// there is no regular file there that can be opened for reading.
bool MakeFileReply(const std::string& strPath, bool bKeepAlive, const std::string& strContentType, CReply& reply,
                   std::string_view strCacheControl = {});
// strBody in the file head's format, on a connection that closes after it.
CReply MakeTextReply(const std::string& strStatus, const std::string& strContentType, const std::string& strBody,
                     std::string_view strCacheControl = {});
// The error format: the status alone, the connection closes after it.
CReply MakeEmptyReply(const std::string& strStatus);

// The whole reply in memory, the file's bytes included; false when the file
// ended before its length (strReply then holds what it had).
bool ReadWholeReply(CReply reply, std::string& strReply);
