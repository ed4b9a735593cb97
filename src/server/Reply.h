#pragma once
// What a connection sends for one request: bytes held in memory (the head,
// and a small body with it), then maybe nFileLength bytes of an open file
// from its start, sent as the connection drains so that a large file is
// never held in memory.
#include <cstdint>
#include <string>

#include "server/Socket.h"

struct CReply {
  std::string strBytes;
  CFileDescriptor file;
  std::uint64_t nFileLength = 0;
};
